#pragma once

#include <QStyledItemDelegate>

#include "history/history_records.h"

// Paints a host's timeline as one strip coloured by state, a rectangle per run of equal stretches: no widget
// per cell, so a month of a hundred hosts costs a hundred strips. Over a day a thin mark stands at each full
// hour of local time (a longer one every six hours); over longer ranges at each local midnight.
class TimelineDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The range the strips cover, oldest first.
    void SetRange(history::TimePoint from, history::TimePoint to);

private:
    struct Mark {
        double at;  // 0 to 1 along the strip
        bool major;
    };
    std::vector<Mark> m_marks;
};
