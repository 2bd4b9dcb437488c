#pragma once

#include <QStyledItemDelegate>

// Paints a host's timeline as one strip coloured by state, a rectangle per run of equal stretches: no widget
// per cell, so a month of a hundred hosts costs a hundred strips.
class TimelineDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
