#pragma once

#include <vector>

#include <QAbstractTableModel>

#include "history/history_records.h"

// One row per host: name, its state now and since when, address, uptime share, outages, the longest, and the
// timeline. The timeline column
// hands its states to the delegate as bytes (TimelineRole), one per stretch.
class HostTableModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kState, kSince, kUrl, kUptime, kOutages, kLongest, kTimeline, kColumns };
    static constexpr int TimelineRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    void Reset(std::vector<history::HostSummary> hosts, history::HostsNow now = {});
    const history::HostSummary* Host(int row) const;
    // The row of the host with this name and URL, -1 when it is not listed.
    int RowOf(const std::string& name, const std::string& url) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<history::HostSummary> m_hosts;
    history::HostsNow m_now;
};
