#pragma once

#include <vector>

#include <QAbstractTableModel>

#include "history/history_records.h"

// The outages shown: server, start, end (进行中 while open), duration, category and the first fault line.
class OutageTableModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kStart, kEnd, kDuration, kCategory, kLine, kColumns };

    using QAbstractTableModel::QAbstractTableModel;

    // `now` is the end of an open outage's duration.
    void Reset(std::vector<history::OutageRecord> outages, history::TimePoint now);
    const std::vector<history::OutageRecord>& Outages() const { return m_outages; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<history::OutageRecord> m_outages;
    history::TimePoint m_now;
};
