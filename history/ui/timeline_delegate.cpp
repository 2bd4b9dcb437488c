#include "history/ui/timeline_delegate.h"

#include <QPainter>

#include "history/ui/host_table_model.h"
#include "history/ui/outcome_text.h"

void TimelineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);  // the selection background
    const QByteArray states = index.data(HostTableModel::TimelineRole).toByteArray();
    if (states.isEmpty()) return;
    const QRectF strip = QRectF(option.rect).adjusted(2, 3, -2, -3);
    const double width = strip.width() / static_cast<double>(states.size());
    painter->save();
    painter->setPen(Qt::NoPen);
    for (qsizetype first = 0; first < states.size();) {
        qsizetype last = first + 1;
        while (last < states.size() && states[last] == states[first]) ++last;
        const auto outcome = static_cast<history::Outcome>(states[first]);
        painter->setBrush(history_text::OutcomeColor(outcome));
        painter->drawRect(QRectF(strip.left() + static_cast<double>(first) * width, strip.top(),
                                 static_cast<double>(last - first) * width, strip.height()));
        first = last;
    }
    painter->restore();
}

QSize TimelineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(std::max(size.width(), 240));
    return size;
}
