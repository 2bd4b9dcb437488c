#include "history/ui/timeline_delegate.h"

#include <QPainter>

#include <chrono>
#include <ctime>

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
    // Marks in the view's background colour, mostly opaque, so they show on every state's colour.
    QColor mark = option.palette.color(QPalette::Base);
    mark.setAlphaF(0.7f);
    painter->setBrush(mark);
    for (const Mark& at : m_marks) {
        const double x = strip.left() + at.at * strip.width();
        const double height = at.major ? strip.height() : strip.height() / 3;
        painter->drawRect(QRectF(x, strip.bottom() - height, 1.0, height));
    }
    painter->restore();
}

void TimelineDelegate::SetRange(history::TimePoint from, history::TimePoint to) {
    using namespace std::chrono;
    m_marks.clear();
    const double span = duration<double>(to - from).count();
    if (span <= 0) return;
    const bool hourly = to - from <= hours(25);
    std::time_t at = system_clock::to_time_t(from);
    std::tm local{};
    if (localtime_r(&at, &local) == nullptr) return;
    // The first full hour (or midnight) after `from`, then each following one by local time.
    local.tm_min = 0;
    local.tm_sec = 0;
    if (!hourly) local.tm_hour = 0;
    for (int step = 1; step <= 800; ++step) {
        std::tm next = local;
        if (hourly)
            next.tm_hour += step;
        else
            next.tm_mday += step;
        next.tm_isdst = -1;
        const std::time_t when = std::mktime(&next);
        const double offset = duration<double>(system_clock::from_time_t(when) - from).count();
        if (offset >= span) break;
        std::tm shown{};
        localtime_r(&when, &shown);
        m_marks.push_back({offset / span, !hourly || shown.tm_hour % 6 == 0});
    }
}

QSize TimelineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(std::max(size.width(), 240));
    return size;
}
