#include "servers/ui/server_list_dialog.h"

#include <initializer_list>
#include <optional>
#include <utility>

#include <QByteArray>
#include <QFont>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QShowEvent>

#include "servers/server_entry.h"
#include "servers/setting_file.h"
#include "servers/ui/add_server_dialog.h"
#include "servers/ui/dialog_units.h"
#include "text/gbk.h"

namespace {

enum Column { kNameColumn = 0, kStatusColumn = 1, kAddressColumn = 2 };

// The row's name as GBK bytes, so a refill compares names byte for byte, not as shown after decoding.
constexpr int kNameBytesRole = Qt::UserRole;

const QString kRunningText = QStringLiteral("运行中");
// Rows filled from the entries mark a paused server with an ASCII "!", the pause button with a full-width
// "！"; both mean paused, and the next open shows the ASCII one.
const QString kPausedText = QStringLiteral("暂停!");
const QString kJustPausedText = QStringLiteral("暂停！");

QTableWidgetItem* MakeItem(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

}  // namespace

CServerInfodlg::CServerInfodlg(ServerLists& lists, std::filesystem::path settingFile, QWidget* parent)
    : QDialog(parent),
      m_lists(lists),
      m_ownStore(std::make_unique<SettingStore>(std::move(settingFile))),
      m_store(*m_ownStore) {
    m_store.Load();
    Build();
}

CServerInfodlg::CServerInfodlg(ServerLists& lists, SettingStore& store, QWidget* parent)
    : QDialog(parent), m_lists(lists), m_store(store) {
    Build();
}

void CServerInfodlg::Build() {
    setWindowTitle(QStringLiteral("ServersInfo"));
    // The template's font size; the children, made before this runs, take it on too.
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    setFixedSize(dialog_units::Size(316, 198));

    m_deleteButton->setDefault(true);
    // The cancel button only gives Esc and the close box somewhere to go; it is never shown.
    m_cancelButton->hide();
    m_groupBox->setGeometry(dialog_units::Rect(7, 7, 294, 176));
    m_groupBox->lower();

    QWidget* previous = m_deleteButton;
    for (QWidget* next :
         std::initializer_list<QWidget*>{m_cancelButton, m_listServers, m_selectAllButton, m_invertButton,
                                         m_addButton, m_groupBox, m_pauseButton, m_enableButton}) {
        setTabOrder(previous, next);
        previous = next;
    }

    connect(m_deleteButton, &QPushButton::clicked, this, &CServerInfodlg::OnDeleteChecked);
    connect(m_cancelButton, &QPushButton::clicked, this, &CServerInfodlg::OnSaveAndClose);
    connect(m_selectAllButton, &QPushButton::clicked, this, &CServerInfodlg::OnSelectAll);
    connect(m_invertButton, &QPushButton::clicked, this, &CServerInfodlg::OnInvertChecks);
    connect(m_addButton, &QPushButton::clicked, this, &CServerInfodlg::OnAddServer);
    connect(m_pauseButton, &QPushButton::clicked, this, &CServerInfodlg::OnPauseChecked);
    connect(m_enableButton, &QPushButton::clicked, this, &CServerInfodlg::OnEnableChecked);
}

QPushButton* CServerInfodlg::AddButton(const QString& text, const char* objectName, int x, int y) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(objectName));
    button->setGeometry(dialog_units::Rect(x, y, 36, 13));
    return button;
}

QTableWidget* CServerInfodlg::AddList() {
    auto* list = new QTableWidget(0, 3, this);
    list->setObjectName(QStringLiteral("m_listServers"));
    list->setGeometry(dialog_units::Rect(21, 17, 265, 144));
    list->setHorizontalHeaderLabels(
        {QStringLiteral("服务器名称"), QStringLiteral("状态"), QStringLiteral("服务器地址")});
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->horizontalHeader()->setStretchLastSection(false);
    list->setColumnWidth(kNameColumn, 80);
    list->setColumnWidth(kStatusColumn, 80);
    list->setColumnWidth(kAddressColumn, 120);
    list->verticalHeader()->hide();
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(false);
    return list;
}

void CServerInfodlg::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        // Opening starts from the entries as they are now, as a fresh dialog would.
        m_listServers->setRowCount(0);
        FillServerList();
        m_entriesAtOpen = m_lists.Entries();
        m_tookFileVersion = false;
    }
    QDialog::showEvent(event);
}

bool CServerInfodlg::IsChecked(int row) const {
    const QTableWidgetItem* item = m_listServers->item(row, kNameColumn);
    return item != nullptr && item->checkState() == Qt::Checked;
}

std::string CServerInfodlg::RowName(int row) const {
    const QTableWidgetItem* item = m_listServers->item(row, kNameColumn);
    if (item == nullptr) return {};
    QByteArray bytes = item->data(kNameBytesRole).toByteArray();
    return bytes.toStdString();
}

void CServerInfodlg::InsertRow(int row, const std::string& entryText) {
    entry::DisplayView view = entry::ForDisplay(entryText);
    m_listServers->insertRow(row);
    QTableWidgetItem* name = MakeItem(gbk::ToQString(view.name));
    name->setFlags(name->flags() | Qt::ItemIsUserCheckable);
    name->setCheckState(Qt::Unchecked);
    name->setData(kNameBytesRole, QByteArray::fromStdString(view.name));
    m_listServers->setItem(row, kNameColumn, name);
    m_listServers->setItem(row, kStatusColumn, MakeItem(view.running() ? kRunningText : kPausedText));
    m_listServers->setItem(row, kAddressColumn, MakeItem(gbk::ToQString(view.address)));
    ShowMaintenanceEnd(row, entryText);
}

// The end on every cell of the row, so it shows wherever the pointer rests; no tool tip without maintenance.
void CServerInfodlg::ShowMaintenanceEnd(int row, const std::string& entryText) {
    std::optional<std::time_t> end =
        m_maintenance != nullptr ? m_maintenance->EndOf(entryText) : std::nullopt;
    const QString tip = end ? QString::fromStdString(MaintenanceUntilText(*end)) : QString();
    for (int column : {kNameColumn, kStatusColumn, kAddressColumn})
        if (QTableWidgetItem* item = m_listServers->item(row, column)) item->setToolTip(tip);
}

void CServerInfodlg::FillServerList() {
    for (int row = 0;; ++row) {
        std::string entryText;
        {
            // Counted afresh for every row, and released before touching the list.
            ServerLists::Locked locked = m_lists.Lock();
            if (static_cast<std::size_t>(row) >= locked.m_arrServers.size()) break;
            entryText = locked.m_arrServers[static_cast<std::size_t>(row)];
        }
        if (row < m_listServers->rowCount() && RowName(row) == entry::DisplayName(entryText)) continue;
        InsertRow(row, entryText);
    }
}

void CServerInfodlg::OnSelectAll() {
    for (int row = 0; row < m_listServers->rowCount(); ++row) {
        if (QTableWidgetItem* item = m_listServers->item(row, kNameColumn)) item->setCheckState(Qt::Checked);
    }
}

void CServerInfodlg::OnInvertChecks() {
    for (int row = 0; row < m_listServers->rowCount(); ++row) {
        if (QTableWidgetItem* item = m_listServers->item(row, kNameColumn))
            item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
}

void CServerInfodlg::OnDeleteChecked() {
    std::vector<std::string> deleted;
    {
        // Held for the whole loop so a poll round never sees the arrays half way through.
        ServerLists::Locked locked = m_lists.Lock();
        for (int row = m_listServers->rowCount() - 1; row >= 0; --row) {
            if (!IsChecked(row)) continue;
            m_listServers->removeRow(row);
            // A row past the end of an array has nothing behind it to erase.
            auto index = static_cast<std::size_t>(row);
            if (index < locked.m_arrServers.size()) {
                deleted.push_back(locked.m_arrServers[index]);
                locked.m_arrServers.erase(locked.m_arrServers.begin() + row);
            }
            if (index < locked.m_arrServerStates.size())
                locked.m_arrServerStates.erase(locked.m_arrServerStates.begin() + row);
        }
    }
    // A deleted entry's maintenance goes with it; the file is written outside the lock.
    if (m_maintenance == nullptr) return;
    if (SaveResult saved = m_maintenance->End(deleted); !saved) ReportFailedMaintenanceSave(saved);
}

std::vector<int> CServerInfodlg::SetCheckedFlags(std::string_view flag, const QString& statusText) {
    std::vector<int> changed;
    ServerLists::Locked locked = m_lists.Lock();
    for (int row = m_listServers->rowCount() - 1; row >= 0; --row) {
        auto index = static_cast<std::size_t>(row);
        // A row with no entry behind it is left as it is rather than showing a change that did not happen.
        if (!IsChecked(row) || index >= locked.m_arrServers.size()) continue;
        locked.m_arrServers[index] = entry::WithFlag(locked.m_arrServers[index], flag);
        if (QTableWidgetItem* status = m_listServers->item(row, kStatusColumn)) status->setText(statusText);
        changed.push_back(row);
    }
    return changed;
}

void CServerInfodlg::OnPauseChecked() {
    SetCheckedFlags(entry::kPausedFlag, kJustPausedText);
}

void CServerInfodlg::OnEnableChecked() {
    for (int row : SetCheckedFlags(entry::kEnabledFlag, kRunningText)) CloseMaintenance(row);
}

void CServerInfodlg::OfferMaintenance(Maintenance& state, Clock clock,
                                      std::function<void(std::string)> runLine) {
    m_maintenance = &state;
    m_clock = std::move(clock);
    m_runLine = std::move(runLine);
    m_listServers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_listServers, &QWidget::customContextMenuRequested, this, &CServerInfodlg::ShowRowMenu,
            Qt::UniqueConnection);
}

void CServerInfodlg::OfferAcknowledge(AcknowledgeOffer offer) {
    m_acknowledge = std::move(offer);
    m_listServers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_listServers, &QWidget::customContextMenuRequested, this, &CServerInfodlg::ShowRowMenu,
            Qt::UniqueConnection);
}

std::optional<std::string> CServerInfodlg::EntryAt(int row) {
    ServerLists::Locked locked = m_lists.Lock();
    if (row < 0 || static_cast<std::size_t>(row) >= locked.m_arrServers.size()) return std::nullopt;
    return locked.m_arrServers[static_cast<std::size_t>(row)];
}

bool CServerInfodlg::SetFlag(int row, std::string_view flag, const QString& statusText) {
    {
        ServerLists::Locked locked = m_lists.Lock();
        if (row < 0 || static_cast<std::size_t>(row) >= locked.m_arrServers.size()) return false;
        std::string& entryText = locked.m_arrServers[static_cast<std::size_t>(row)];
        entryText = entry::WithFlag(entryText, flag);
    }
    if (QTableWidgetItem* status = m_listServers->item(row, kStatusColumn)) status->setText(statusText);
    return true;
}

// Shown as the table shows its own menus, without a nested event loop; the actions look the row's entry up
// again when chosen.
void CServerInfodlg::ShowRowMenu(const QPoint& position) {
    const int row = m_listServers->rowAt(position.y());
    std::optional<std::string> entryText = EntryAt(row);
    if (!entryText || (m_maintenance == nullptr && !m_acknowledge.state)) return;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (m_acknowledge.state) AddAcknowledgeActions(*menu, row, *entryText);
    if (m_maintenance == nullptr) {
        menu->popup(m_listServers->viewport()->mapToGlobal(position));
        return;
    }
    const auto hours = [this](int count) { return m_clock() + static_cast<std::time_t>(count) * 60 * 60; };
    connect(menu->addAction(QStringLiteral("维护 1 小时")), &QAction::triggered, this,
            [this, row, hours] { StartMaintenance(row, hours(1)); });
    connect(menu->addAction(QStringLiteral("维护 4 小时")), &QAction::triggered, this,
            [this, row, hours] { StartMaintenance(row, hours(4)); });
    connect(menu->addAction(QStringLiteral("维护到明天 08:00")), &QAction::triggered, this,
            [this, row] { StartMaintenance(row, NextMorning(m_clock())); });
    menu->addSeparator();
    QAction* end = menu->addAction(QStringLiteral("结束维护"));
    end->setEnabled(m_maintenance->EndOf(*entryText).has_value());
    connect(end, &QAction::triggered, this, [this, row] { EndMaintenance(row); });
    menu->popup(m_listServers->viewport()->mapToGlobal(position));
}

void CServerInfodlg::AddAcknowledgeActions(QMenu& menu, int row, const std::string& entryText) {
    const std::string name = entry::ForPolling(entryText).name;
    const AcknowledgeOffer::State state = m_acknowledge.state(name);
    const auto set = [this, row](bool acknowledge) {
        // The row may hold another entry by now.
        if (std::optional<std::string> now = EntryAt(row))
            m_acknowledge.set(entry::ForPolling(*now).name, acknowledge);
    };
    QAction* acknowledge = menu.addAction(QStringLiteral("确认异常"));
    acknowledge->setEnabled(state == AcknowledgeOffer::State::InFault);
    connect(acknowledge, &QAction::triggered, this, [set] { set(true); });
    QAction* takeBack = menu.addAction(QStringLiteral("取消确认"));
    takeBack->setEnabled(state == AcknowledgeOffer::State::Acknowledged);
    connect(takeBack, &QAction::triggered, this, [set] { set(false); });
    menu.addSeparator();
}

void CServerInfodlg::StartMaintenance(int row, std::time_t end) {
    if (!SetFlag(row, entry::kPausedFlag, kJustPausedText)) return;
    {
        // A host under maintenance is expected to fail: a fault it had no longer holds the alarm, so the
        // next round's end can give the all-clear.
        ServerLists::Locked locked = m_lists.Lock();
        if (static_cast<std::size_t>(row) < locked.m_arrServerStates.size())
            locked.m_arrServerStates[static_cast<std::size_t>(row)] = kStateTrue;
    }
    const std::string entryText = EntryAt(row).value_or(std::string());
    // Kept in memory when the file cannot be written: the entry stays paused until the end all the same.
    if (SaveResult saved = m_maintenance->Start(entryText, end); !saved) ReportFailedMaintenanceSave(saved);
    ShowMaintenanceEnd(row, entryText);
    if (m_runLine) m_runLine(MaintenanceStartedLine(entry::ForDisplay(entryText).name, end, m_clock()));
}

void CServerInfodlg::EndMaintenance(int row) {
    std::optional<std::string> entryText = EntryAt(row);
    if (!entryText || !m_maintenance->EndOf(*entryText)) return;
    SetFlag(row, entry::kEnabledFlag, kRunningText);
    CloseMaintenance(row);
}

void CServerInfodlg::CloseMaintenance(int row) {
    if (m_maintenance == nullptr) return;
    std::optional<std::string> entryText = EntryAt(row);
    if (!entryText || !m_maintenance->EndOf(*entryText)) return;
    if (SaveResult saved = m_maintenance->End({*entryText}); !saved) ReportFailedMaintenanceSave(saved);
    ShowMaintenanceEnd(row, *entryText);
    if (m_runLine) m_runLine(MaintenanceEndedLine(entry::ForDisplay(*entryText).name, m_clock()));
}

void CServerInfodlg::ReportFailedMaintenanceSave(const SaveResult& saved) {
    const QString text = QString::fromUtf8("无法保存维护时间到 %1：%2。")
                             .arg(QString::fromStdString(m_maintenance->File().string()),
                                  QString::fromStdString(saved.Reason()));
    QMessageBox::warning(this, QString::fromUtf8("保存失败"), text);
}

void CServerInfodlg::OnAddServer() {
    CAddServer dialog(m_lists, this);
    dialog.exec();
    FillServerList();
}

void CServerInfodlg::OnSaveAndClose() {
    reject();
}

void CServerInfodlg::done(int result) {
    // Esc, the close box, reject() and accept() all end here, once per close. A dialog that is not open has
    // nothing to close and saves nothing.
    if (isVisible()) SaveOnClose();
    QDialog::done(result);
}

void CServerInfodlg::SaveOnClose() {
    const std::vector<std::string> entries = m_lists.Entries();
    std::optional<DiskVersion> disk = m_store.ChangedOnDisk();
    if (disk && entries == m_entriesAtOpen) {
        // Nothing changed here but the file did: it is the newer list, and writing would undo its edit.
        m_lists.Replace(disk->entries);
        m_store.Take(*disk);
        m_tookFileVersion = true;
        return;
    }
    if (disk) {
        // Both lists changed: the operator's is saved, the other one kept whole beside it first.
        const std::filesystem::path conflict = m_store.ConflictFile();
        if (SaveResult kept = SaveFileContent(conflict, disk->file.content); !kept) {
            ReportFailedSave(conflict, kept);
            return;
        }
        if (SaveResult saved = m_store.Save(entries); !saved) {
            ReportFailedSave(m_store.File(), saved);
            return;
        }
        const QString text = QString::fromUtf8(
                                 "%1 在本窗口打开期间已被其他程序修改。\n本窗口中的服务器列表已保存，"
                                 "其他程序的版本另存为 %2。")
                                 .arg(QString::fromStdString(m_store.File().string()),
                                      QString::fromStdString(conflict.string()));
        QMessageBox::warning(this, QString::fromUtf8("服务器列表冲突"), text);
        return;
    }
    if (SaveResult saved = m_store.Save(entries); !saved) ReportFailedSave(m_store.File(), saved);
}

// A failed save leaves the old file as it was; the entries stay in memory for the next save, and the operator
// is told, so an edit is never lost without a word.
void CServerInfodlg::ReportFailedSave(const std::filesystem::path& file, const SaveResult& saved) {
    const QString text =
        QString::fromUtf8("无法保存服务器列表到 %1：%2。\n修改仍保留在程序中，下次关闭本窗口时会再次保存。")
            .arg(QString::fromStdString(file.string()), QString::fromStdString(saved.Reason()));
    QMessageBox::warning(this, QString::fromUtf8("保存失败"), text);
}
