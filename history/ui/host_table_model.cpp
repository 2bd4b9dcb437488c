#include "history/ui/host_table_model.h"

#include <QByteArray>

#include "history/ui/outcome_text.h"
#include "text/gbk.h"

void HostTableModel::Reset(std::vector<history::HostSummary> hosts, history::HostsNow now) {
    beginResetModel();
    m_hosts = std::move(hosts);
    m_now = std::move(now);
    endResetModel();
}

const history::HostSummary* HostTableModel::Host(int row) const {
    return row >= 0 && row < rowCount() ? &m_hosts[static_cast<std::size_t>(row)] : nullptr;
}

int HostTableModel::RowOf(const std::string& name, const std::string& url) const {
    for (std::size_t i = 0; i < m_hosts.size(); ++i)
        if (m_hosts[i].name == name && m_hosts[i].url == url) return static_cast<int>(i);
    return -1;
}

int HostTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_hosts.size());
}

int HostTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant HostTableModel::data(const QModelIndex& index, int role) const {
    const history::HostSummary* host = Host(index.row());
    if (host == nullptr) return {};
    if (role == TimelineRole && index.column() == kTimeline) {
        QByteArray states;
        states.reserve(static_cast<qsizetype>(host->timeline.size()));
        for (history::Outcome outcome : host->timeline) states.append(static_cast<char>(outcome));
        return states;
    }
    if (role == Qt::TextAlignmentRole && index.column() >= kUptime && index.column() <= kLongest)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) return {};
    const auto now = m_now.find({host->name, host->url});
    switch (index.column()) {
        case kName:
            return gbk::ToQString(host->name);
        case kState:
            // A host of the history that the list no longer holds has no state now.
            return now == m_now.end() ? QString() : QString::fromStdString(now->second.state);
        case kSince:
            return now == m_now.end() || !now->second.since ? QString()
                                                            : history_text::LocalTime(*now->second.since);
        case kUrl:
            return gbk::ToQString(host->url);
        case kUptime:
            return host->rounds == 0 ? QString::fromUtf8("无数据")
                                     : QString::number(host->uptimePercent, 'f', 1) + QLatin1Char('%');
        case kOutages:
            return host->outages;
        case kLongest:
            return host->outages == 0 ? QString() : history_text::Duration(host->longest);
        case kTimeline:
            // Painted by the delegate; a screen reader hears the share instead.
            return role == Qt::AccessibleTextRole
                       ? QString::fromUtf8("正常 %1%").arg(QString::number(host->uptimePercent, 'f', 1))
                       : QVariant();
        default:
            return {};
    }
}

QVariant HostTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeaders[kColumns] = {"服务器", "当前状态", "起始时间", "地址",
                                                   "可用率", "中断次数", "最长中断", "时间线"};
    return section >= 0 && section < kColumns ? QString::fromUtf8(kHeaders[section]) : QVariant();
}
