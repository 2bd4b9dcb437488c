#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "history/history_records.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class HistoryQueries;
class HostTableModel;
class OutageTableModel;
class TimelineDelegate;

// What the window asks of its surroundings; tests put their own in place.
struct HistoryWindowOptions {
    std::function<history::TimePoint()> now = [] { return history::Clock::now(); };
    // The file the export goes to; an empty text cancels it. By default the file dialog asks.
    std::function<QString(QWidget* parent, const QString& suggested)> exportFile;
    // The hosts as the running monitor holds them now; without it the state columns stay empty.
    std::function<history::HostsNow()> hostsNow;
};

// 历史记录: the hosts' state now and since when, and the hosts over the last 24 hours, 7 or 30 days (uptime
// share, outages, the longest, a timeline strip), the outages of the selected host (of all hosts while none
// is selected), and their export as CSV. Non-modal; Refresh() reads the history again, after each round while
// it is open. The reads run on a thread of their own: the window shows what it has until the new answer is
// there, and lists outages a page at a time as the list is scrolled. Without a reader it says that there is
// no history.
class HistoryWindow final : public QWidget {
    Q_OBJECT
public:
    explicit HistoryWindow(std::unique_ptr<history::HistoryReader> reader, HistoryWindowOptions options = {},
                           QWidget* parent = nullptr);
    ~HistoryWindow() override;
    HistoryWindow(const HistoryWindow&) = delete;
    HistoryWindow& operator=(const HistoryWindow&) = delete;

    void Refresh();

private:
    void BuildControls();
    std::chrono::hours Span() const;
    int Buckets() const;
    using HostKey = std::optional<std::pair<std::string, std::string>>;
    struct Page;
    void ShowOutages();
    void ShowHosts(std::vector<history::HostSummary> hosts, const HostKey& asked);
    void ShowPage(Page page, bool append);
    void FetchMoreOutages();
    void ExportCsv();
    void ShowStatus(const QString& text);
    void UpdateStatus();
    HostKey SelectedHost() const;

    HistoryQueries* m_queries = nullptr;
    HistoryWindowOptions m_options;
    history::TimePoint m_from;
    history::TimePoint m_to;
    // The outage list: which it is (a new one makes pages of an older one stale), where it goes on.
    std::uint64_t m_listSerial = 0;
    history::TimePoint m_listFrom;
    history::TimePoint m_listTo;
    HostKey m_listHost;
    std::optional<history::OutageKey> m_listLast;
    bool m_listMore = false;
    bool m_fetching = false;
    QString m_statusText;

    QComboBox* m_range = nullptr;
    QPushButton* m_export = nullptr;
    QTableView* m_hostView = nullptr;
    QTableView* m_outageView = nullptr;
    QLabel* m_status = nullptr;
    TimelineDelegate* m_timeline = nullptr;
    HostTableModel* m_hosts = nullptr;
    OutageTableModel* m_outages = nullptr;
};

inline constexpr const char* kHistoryTitle = "历史记录";
