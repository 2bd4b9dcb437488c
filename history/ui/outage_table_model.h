#pragma once

#include <functional>
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
    void Append(std::vector<history::OutageRecord> outages);
    const std::vector<history::OutageRecord>& Outages() const { return m_outages; }
    // Whether more rows can be had, and how to ask for them; they come later by Append.
    void SetFetcher(std::function<bool()> canFetch, std::function<void()> fetch);

    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<history::OutageRecord> m_outages;
    history::TimePoint m_now;
    std::function<bool()> m_canFetch;
    std::function<void()> m_fetch;
};
