#include "history/ui/outage_table_model.h"

#include "history/ui/outcome_text.h"
#include "text/gbk.h"

void OutageTableModel::Reset(std::vector<history::OutageRecord> outages, history::TimePoint now) {
    beginResetModel();
    m_outages = std::move(outages);
    m_now = now;
    endResetModel();
}

void OutageTableModel::Append(std::vector<history::OutageRecord> outages) {
    if (outages.empty()) return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(outages.size()) - 1);
    m_outages.insert(m_outages.end(), std::make_move_iterator(outages.begin()),
                     std::make_move_iterator(outages.end()));
    endInsertRows();
}

void OutageTableModel::SetFetcher(std::function<bool()> canFetch, std::function<void()> fetch) {
    m_canFetch = std::move(canFetch);
    m_fetch = std::move(fetch);
}

bool OutageTableModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && m_canFetch && m_canFetch();
}

void OutageTableModel::fetchMore(const QModelIndex& parent) {
    if (!parent.isValid() && m_fetch) m_fetch();
}

int OutageTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_outages.size());
}

int OutageTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant OutageTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole && role != Qt::ToolTipRole) return {};
    const history::OutageRecord& outage = m_outages[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
        case kName:
            return gbk::ToQString(outage.name);
        case kStart:
            return history_text::LocalTime(outage.start);
        case kEnd:
            if (!outage.end) return QString::fromUtf8("进行中");
            // What came after the monitor's own stop is not known: the host was not seen to recover.
            if (outage.endedBy == history::kMonitorStopped)
                return history_text::LocalTime(*outage.end) + QString::fromUtf8("（监控停止）");
            return history_text::LocalTime(*outage.end);
        case kDuration:
            return history_text::Duration(
                std::chrono::duration_cast<std::chrono::seconds>(outage.end.value_or(m_now) - outage.start));
        case kCategory:
            return history_text::OutcomeName(outage.category);
        case kLine:
            return gbk::ToQString(outage.firstLine).trimmed();
        default:
            return {};
    }
}

QVariant OutageTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeaders[kColumns] = {"服务器", "开始", "结束", "时长", "类别", "首条异常"};
    return section >= 0 && section < kColumns ? QString::fromUtf8(kHeaders[section]) : QVariant();
}
