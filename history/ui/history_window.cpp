#include "history/ui/history_window.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include "history/csv.h"
#include "history/ui/history_queries.h"
#include "history/ui/host_table_model.h"
#include "history/ui/outage_table_model.h"
#include "history/ui/outcome_text.h"
#include "history/ui/timeline_delegate.h"

namespace {

// What the strip's colours mean, as the strip shows them: our own words, never a host's.
QLabel* TimelineLegend(QWidget* parent) {
    using history::Outcome;
    QString html;
    for (const Outcome outcome : {Outcome::Normal, Outcome::Connection, Outcome::ServerFault,
                                  Outcome::DiskSpace, Outcome::DbLog, Outcome::Security, Outcome::NoData})
        html += QStringLiteral("<span style=\"color:%1\">&#9632;</span>&nbsp;%2 ")
                    .arg(history_text::OutcomeColor(outcome).name(), history_text::OutcomeName(outcome));
    auto* legend = new QLabel(html, parent);
    legend->setObjectName(QStringLiteral("timelineLegend"));
    legend->setTextFormat(Qt::RichText);
    legend->setAccessibleName(QString::fromUtf8("时间线图例"));
    return legend;
}

struct Range {
    const char* caption;
    std::chrono::hours span;
    int buckets;  // a stretch of 15 min, 1 h, 4 h
};
constexpr Range kRanges[] = {
    {"24 小时", std::chrono::hours(24), 96},
    {"7 天", std::chrono::hours(24 * 7), 168},
    {"30 天", std::chrono::hours(24 * 30), 180},
};

QTableView* MakeTable(QWidget* parent, QAbstractItemModel* model, const char* name) {
    auto* view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    // Fixed row heights: sizing rows to their contents would measure every cell of a long list.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setAccessibleName(QString::fromUtf8(name));
    return view;
}

using Kind = HistoryQueries::Kind;

QString DefaultExportFile(QWidget* parent, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QString::fromUtf8("导出中断记录"), suggested,
                                        QString::fromUtf8("CSV 文件 (*.csv)"));
}

}  // namespace

// A page of the outage list, and what list it belongs to.
struct HistoryWindow::Page {
    std::uint64_t serial = 0;
    history::TimePoint from;
    history::TimePoint to;
    HostKey host;
    std::vector<history::OutageRecord> rows;
    std::optional<history::OutageKey> last;
    bool more = false;

    // Reads up to a page of the list after `after`.
    void Read(history::HistoryReader& reader, const history::OutageKey* after) {
        reader.VisitOutages(from, to, host ? &host->first : nullptr, host ? &host->second : nullptr, after,
                            [&](const history::OutageRecord& record, const history::OutageKey& key) {
                                rows.push_back(record);
                                last = key;
                                return rows.size() < static_cast<std::size_t>(history::kOutagePage);
                            });
        more = rows.size() == static_cast<std::size_t>(history::kOutagePage);
    }
};

HistoryWindow::HistoryWindow(std::unique_ptr<history::HistoryReader> reader, HistoryWindowOptions options,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), m_options(std::move(options)) {
    if (!m_options.exportFile) m_options.exportFile = DefaultExportFile;
    if (reader) {
        m_queries = new HistoryQueries(std::move(reader), this);
        connect(m_queries, &HistoryQueries::Answered, this, &HistoryWindow::UpdateStatus);
    }
    BuildControls();
    Refresh();
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::BuildControls() {
    setWindowTitle(QString::fromUtf8(kHistoryTitle));
    resize(900, 560);

    m_range = new QComboBox(this);
    for (const Range& range : kRanges) m_range->addItem(QString::fromUtf8(range.caption));
    m_range->setAccessibleName(QString::fromUtf8("时间范围"));
    auto* rangeLabel = new QLabel(QString::fromUtf8("范围："), this);
    rangeLabel->setBuddy(m_range);
    m_export = new QPushButton(QString::fromUtf8("导出 CSV…"), this);
    m_export->setAccessibleName(QString::fromUtf8("导出中断记录为 CSV"));
    m_status = new QLabel(this);
    m_status->setAccessibleName(QString::fromUtf8("状态"));

    m_hosts = new HostTableModel(this);
    m_outages = new OutageTableModel(this);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    m_hostView = MakeTable(splitter, m_hosts, "服务器");
    m_timeline = new TimelineDelegate(m_hostView);
    m_hostView->setItemDelegateForColumn(HostTableModel::kTimeline, m_timeline);
    m_hostView->setAccessibleDescription(QString::fromUtf8("选中一台服务器，下方列出它的中断"));
    m_outageView = MakeTable(splitter, m_outages, "中断记录");
    splitter->setAccessibleName(QString::fromUtf8("服务器与中断记录"));

    auto* top = new QHBoxLayout;
    top->addWidget(rangeLabel);
    top->addWidget(m_range);
    top->addStretch(1);
    top->addWidget(TimelineLegend(this));
    top->addWidget(m_export);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_status);

    connect(m_range, &QComboBox::currentIndexChanged, this, &HistoryWindow::Refresh);
    connect(m_hostView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryWindow::ShowOutages);
    connect(m_export, &QPushButton::clicked, this, &HistoryWindow::ExportCsv);
    m_outages->SetFetcher([this] { return m_listMore && !m_fetching; }, [this] { FetchMoreOutages(); });
}

std::chrono::hours HistoryWindow::Span() const {
    return kRanges[std::clamp(m_range->currentIndex(), 0, static_cast<int>(std::size(kRanges)) - 1)].span;
}

int HistoryWindow::Buckets() const {
    return kRanges[std::clamp(m_range->currentIndex(), 0, static_cast<int>(std::size(kRanges)) - 1)].buckets;
}

HistoryWindow::HostKey HistoryWindow::SelectedHost() const {
    const QModelIndexList rows = m_hostView->selectionModel()->selectedRows();
    if (rows.isEmpty()) return std::nullopt;
    const history::HostSummary* host = m_hosts->Host(rows.front().row());
    if (host == nullptr) return std::nullopt;
    return std::pair{host->name, host->url};
}

void HistoryWindow::Refresh() {
    if (!m_queries) {
        m_status->setText(QString::fromUtf8("没有历史记录可读"));
        m_range->setEnabled(false);
        m_export->setEnabled(false);
        return;
    }
    const history::TimePoint to = m_options.now();
    const history::TimePoint from = to - Span();
    const int buckets = Buckets();
    auto page = std::make_shared<Page>(Page{++m_listSerial, from, to, SelectedHost(), {}, {}, false});
    m_queries->Ask(Kind::Hosts,
                   [this, buckets, page](history::HistoryReader& reader) -> HistoryQueries::Answer {
                       auto hosts = std::make_shared<std::vector<history::HostSummary>>(
                           reader.Summaries(page->from, page->to, buckets));
                       page->Read(reader, nullptr);
                       return [this, hosts, page] {
                           m_from = page->from;
                           m_to = page->to;
                           m_timeline->SetRange(m_from, m_to);
                           ShowHosts(std::move(*hosts), page->host);
                           ShowPage(std::move(*page), false);
                       };
                   });
    UpdateStatus();
}

// The selected host stays selected across a refresh as long as it is listed.
void HistoryWindow::ShowHosts(std::vector<history::HostSummary> hosts, const HostKey& asked) {
    const auto selected = SelectedHost();
    {
        const QSignalBlocker quiet(m_hostView->selectionModel());
        m_hosts->Reset(std::move(hosts), m_options.hostsNow ? m_options.hostsNow() : history::HostsNow{});
        if (selected) {
            if (const int row = m_hosts->RowOf(selected->first, selected->second); row >= 0)
                m_hostView->selectRow(row);
        }
    }
    // A time is read to the second: its column is as wide as it.
    m_hostView->resizeColumnToContents(HostTableModel::kSince);
    ShowStatus(QString::fromUtf8("%1 台服务器").arg(m_hosts->rowCount()));
    // The outages came for the host selected when they were asked for; another one is asked for now.
    if (SelectedHost() != asked) ShowOutages();
}

void HistoryWindow::ShowOutages() {
    if (!m_queries) return;
    auto page = std::make_shared<Page>(Page{++m_listSerial, m_from, m_to, SelectedHost(), {}, {}, false});
    m_queries->Ask(Kind::Outages, [this, page](history::HistoryReader& reader) -> HistoryQueries::Answer {
        page->Read(reader, nullptr);
        return [this, page] { ShowPage(std::move(*page), false); };
    });
    UpdateStatus();
}

void HistoryWindow::FetchMoreOutages() {
    if (!m_queries || !m_listMore || m_fetching || !m_listLast) return;
    m_fetching = true;
    auto page = std::make_shared<Page>(Page{m_listSerial, m_listFrom, m_listTo, m_listHost, {}, {}, false});
    const history::OutageKey after = *m_listLast;
    m_queries->Ask(Kind::MoreOutages,
                   [this, page, after](history::HistoryReader& reader) -> HistoryQueries::Answer {
                       page->Read(reader, &after);
                       return [this, page] { ShowPage(std::move(*page), true); };
                   });
    UpdateStatus();
}

void HistoryWindow::ShowPage(Page page, bool append) {
    // A page of a list asked for before the one wanted now is dropped.
    if (page.serial != m_listSerial) return;
    m_listFrom = page.from;
    m_listTo = page.to;
    m_listHost = page.host;
    m_listMore = page.more;
    m_fetching = false;
    if (page.last) m_listLast = page.last;
    if (append) {
        m_outages->Append(std::move(page.rows));
    } else {
        m_outages->Reset(std::move(page.rows), page.to);
        m_outageView->setColumnHidden(OutageTableModel::kName, page.host.has_value());
        for (const int column : {OutageTableModel::kStart, OutageTableModel::kEnd})
            m_outageView->resizeColumnToContents(column);
    }
}

void HistoryWindow::ShowStatus(const QString& text) {
    m_statusText = text;
    UpdateStatus();
}

void HistoryWindow::UpdateStatus() {
    const bool busy = m_queries && m_queries->Busy();
    m_status->setText(busy ? m_statusText + QString::fromUtf8(" · 正在读取…") : m_statusText);
}

// The whole list, written on the reading thread as it is read.
void HistoryWindow::ExportCsv() {
    if (!m_queries) return;
    const QString suggested = QDir::home().filePath(QStringLiteral("tessiv-outages.csv"));
    const QString file = m_options.exportFile(this, suggested);
    if (file.isEmpty()) return;
    auto page = std::make_shared<Page>(Page{m_listSerial, m_listFrom, m_listTo, m_listHost, {}, {}, false});
    m_queries->Ask(
        Kind::Export, [this, page, file](history::HistoryReader& reader) -> HistoryQueries::Answer {
            QSaveFile out(file);
            const auto put = [&out](const std::string& bytes) {
                return out.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                       static_cast<qint64>(bytes.size());
            };
            int count = 0;
            bool written = out.open(QIODevice::WriteOnly) &&
                           put(std::string("\xEF\xBB\xBF") + history::kOutagesCsvHeader);
            if (written) {
                const HostKey& host = page->host;
                reader.VisitOutages(page->from, page->to, host ? &host->first : nullptr,
                                    host ? &host->second : nullptr, nullptr,
                                    [&](const history::OutageRecord& record, const history::OutageKey&) {
                                        written = put(history::OutageCsvRow(record, page->to));
                                        count += written ? 1 : 0;
                                        return written;
                                    });
            }
            written = written && out.commit();
            const QString error = out.errorString();
            return [this, written, count, file, error] {
                ShowStatus(written ? QString::fromUtf8("已导出 %1 条中断记录到 %2").arg(count).arg(file)
                                   : QString::fromUtf8("无法写入 %1：%2").arg(file, error));
            };
        });
    UpdateStatus();
}
