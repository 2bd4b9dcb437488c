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
#include "history/ui/host_table_model.h"
#include "history/ui/outage_table_model.h"
#include "history/ui/timeline_delegate.h"

namespace {

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

QString DefaultExportFile(QWidget* parent, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QString::fromUtf8("导出中断记录"), suggested,
                                        QString::fromUtf8("CSV 文件 (*.csv)"));
}

}  // namespace

HistoryWindow::HistoryWindow(std::unique_ptr<history::HistoryReader> reader, HistoryWindowOptions options,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), m_reader(std::move(reader)), m_options(std::move(options)) {
    if (!m_options.exportFile) m_options.exportFile = DefaultExportFile;
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
    m_hostView->setItemDelegateForColumn(HostTableModel::kTimeline, new TimelineDelegate(m_hostView));
    m_hostView->setAccessibleDescription(QString::fromUtf8("选中一台服务器，下方列出它的中断"));
    m_outageView = MakeTable(splitter, m_outages, "中断记录");
    splitter->setAccessibleName(QString::fromUtf8("服务器与中断记录"));

    auto* top = new QHBoxLayout;
    top->addWidget(rangeLabel);
    top->addWidget(m_range);
    top->addStretch(1);
    top->addWidget(m_export);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_status);

    connect(m_range, &QComboBox::currentIndexChanged, this, &HistoryWindow::Refresh);
    connect(m_hostView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryWindow::ShowOutages);
    connect(m_export, &QPushButton::clicked, this, &HistoryWindow::ExportCsv);
}

std::chrono::hours HistoryWindow::Span() const {
    return kRanges[std::clamp(m_range->currentIndex(), 0, static_cast<int>(std::size(kRanges)) - 1)].span;
}

int HistoryWindow::Buckets() const {
    return kRanges[std::clamp(m_range->currentIndex(), 0, static_cast<int>(std::size(kRanges)) - 1)].buckets;
}

std::optional<std::pair<std::string, std::string>> HistoryWindow::SelectedHost() const {
    const QModelIndexList rows = m_hostView->selectionModel()->selectedRows();
    if (rows.isEmpty()) return std::nullopt;
    const history::HostSummary* host = m_hosts->Host(rows.front().row());
    if (host == nullptr) return std::nullopt;
    return std::pair{host->name, host->url};
}

// The selected host stays selected across a refresh as long as it is listed.
void HistoryWindow::Refresh() {
    if (!m_reader) {
        m_status->setText(QString::fromUtf8("没有历史记录可读"));
        m_range->setEnabled(false);
        m_export->setEnabled(false);
        return;
    }
    const auto selected = SelectedHost();
    m_to = m_options.now();
    m_from = m_to - Span();
    {
        const QSignalBlocker quiet(m_hostView->selectionModel());
        m_hosts->Reset(m_reader->Summaries(m_from, m_to, Buckets()),
                       m_options.hostsNow ? m_options.hostsNow() : history::HostsNow{});
        if (selected) {
            if (const int row = m_hosts->RowOf(selected->first, selected->second); row >= 0)
                m_hostView->selectRow(row);
        }
    }
    m_status->setText(QString::fromUtf8("%1 台服务器").arg(m_hosts->rowCount()));
    ShowOutages();
}

void HistoryWindow::ShowOutages() {
    const auto selected = SelectedHost();
    m_outages->Reset(selected ? m_reader->Outages(m_from, m_to, &selected->first, &selected->second)
                              : m_reader->Outages(m_from, m_to),
                     m_to);
    m_outageView->setColumnHidden(OutageTableModel::kName, selected.has_value());
}

void HistoryWindow::ExportCsv() {
    const QString suggested = QDir::home().filePath(QStringLiteral("tessiv-outages.csv"));
    const QString file = m_options.exportFile(this, suggested);
    if (file.isEmpty()) return;
    const std::string csv = "\xEF\xBB\xBF" + history::OutagesCsv(m_outages->Outages(), m_to);
    QSaveFile out(file);
    const bool written =
        out.open(QIODevice::WriteOnly) &&
        out.write(csv.data(), static_cast<qint64>(csv.size())) == static_cast<qint64>(csv.size()) &&
        out.commit();
    m_status->setText(
        written ? QString::fromUtf8("已导出 %1 条中断记录到 %2").arg(m_outages->rowCount()).arg(file)
                : QString::fromUtf8("无法写入 %1：%2").arg(file, out.errorString()));
}
