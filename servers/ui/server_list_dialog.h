#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QTableWidget>

#include "servers/maintenance.h"
#include "servers/server_lists.h"
#include "servers/setting_store.h"
#include "text/time_text.h"

class QPoint;
class QShowEvent;

// "ServersInfo": the server entries, one checkable row each, with buttons to select, delete, pause, enable
// and add. Every way of closing it (Esc, the close box, reject(), accept(), done()) saves the entries to the
// setting file once; a failed save is reported in a message box and the dialog closes anyway. A setting file
// another program changed while the dialog was open is never overwritten unseen: with no change made here
// nothing is written and the entries become the file's; with changes made here they are saved and the other
// version is kept beside the file as "<file>.conflict", which a message names.
// With maintenance offered, a row's context menu pauses its entry until a set time (维护 1 小时, 维护 4 小时,
// 维护到明天 08:00) or ends that at once (结束维护); the row's tool tip shows the end. Enabling the entry by
// hand ends its maintenance, deleting it drops it. With acknowledging offered, the same menu acknowledges the
// fault of a host in fault (确认异常) or takes that back (取消确认).
// Child object names (for tests and style sheets): m_listServers, deleteButton, cancelButton (hidden),
// selectAllButton, invertButton, addButton, pauseButton, enableButton.
// What the monitor offers for acknowledging a host's fault, by the entry's name (GBK) as the round polls it.
struct AcknowledgeOffer {
    enum class State { Normal, InFault, Acknowledged };
    std::function<State(const std::string& name)> state;
    std::function<void(const std::string& name, bool acknowledge)> set;
};

class CServerInfodlg final : public QDialog {
    Q_OBJECT

public:
    // Saves to `settingFile`, taking it as the dialog finds it as the version the entries came from.
    CServerInfodlg(ServerLists& lists, std::filesystem::path settingFile, QWidget* parent = nullptr);
    // Saves through the window's store, which knows the version the entries came from.
    CServerInfodlg(ServerLists& lists, SettingStore& store, QWidget* parent = nullptr);

    // Offers the maintenance menu; `state` must outlive the dialog. `runLine` takes the GBK run-pane lines
    // for a maintenance started or ended here.
    void OfferMaintenance(Maintenance& state, Clock clock, std::function<void(std::string)> runLine);
    // Offers 确认异常 and 取消确认 in the row menu.
    void OfferAcknowledge(AcknowledgeOffer offer);

    // Whether the last close took the entries from a setting file another program had changed.
    bool TookFileVersion() const { return m_tookFileVersion; }

    // Every way of closing ends here: saves the entries once, then closes.
    void done(int result) override;

public slots:
    // Adds a row for each entry the list does not show yet at its position; rows that match keep their
    // status text and check mark. Runs on every open and after every add.
    void FillServerList();
    void OnSelectAll();
    void OnInvertChecks();
    void OnDeleteChecked();
    void OnPauseChecked();
    void OnEnableChecked();
    // Runs the add dialog modally, then refreshes the list whatever its outcome.
    void OnAddServer();
    // The hidden cancel button's slot; closing saves, as above.
    void OnSaveAndClose();

protected:
    // Opening (show, exec) rebuilds the list from the entries.
    void showEvent(QShowEvent* event) override;

private:
    void Build();
    QPushButton* AddButton(const QString& text, const char* objectName, int x, int y);
    QTableWidget* AddList();
    bool IsChecked(int row) const;
    std::string RowName(int row) const;
    void InsertRow(int row, const std::string& entryText);
    // The rows whose entry took the flag.
    std::vector<int> SetCheckedFlags(std::string_view flag, const QString& statusText);
    std::optional<std::string> EntryAt(int row);
    bool SetFlag(int row, std::string_view flag, const QString& statusText);
    void ShowRowMenu(const QPoint& position);
    void AddAcknowledgeActions(QMenu& menu, int row, const std::string& entryText);
    void StartMaintenance(int row, std::time_t end);
    void EndMaintenance(int row);
    // The entry at `row` took its flag by hand or by 结束维护: its maintenance, if any, is over.
    void CloseMaintenance(int row);
    void ShowMaintenanceEnd(int row, const std::string& entryText);
    void ReportFailedMaintenanceSave(const SaveResult& saved);
    void SaveOnClose();
    void ReportFailedSave(const std::filesystem::path& file, const SaveResult& saved);

    ServerLists& m_lists;
    std::unique_ptr<SettingStore> m_ownStore;
    SettingStore& m_store;
    std::vector<std::string> m_entriesAtOpen;
    bool m_tookFileVersion = false;
    Maintenance* m_maintenance = nullptr;
    Clock m_clock;
    std::function<void(std::string)> m_runLine;
    AcknowledgeOffer m_acknowledge;
    // Declared in tab order: creation order is the focus chain.
    QPushButton* m_deleteButton = AddButton(QStringLiteral("删除"), "deleteButton", 162, 168);
    QPushButton* m_cancelButton = AddButton(QStringLiteral("暂停"), "cancelButton", 273, 146);
    QTableWidget* m_listServers = AddList();
    QPushButton* m_selectAllButton = AddButton(QStringLiteral("全选"), "selectAllButton", 15, 168);
    QPushButton* m_invertButton = AddButton(QStringLiteral("反选"), "invertButton", 64, 168);
    QPushButton* m_addButton = AddButton(QStringLiteral("添加"), "addButton", 113, 168);
    QGroupBox* m_groupBox = new QGroupBox(QStringLiteral("服务器信息列表"), this);
    QPushButton* m_pauseButton = AddButton(QStringLiteral("暂停"), "pauseButton", 211, 168);
    QPushButton* m_enableButton = AddButton(QStringLiteral("启用"), "enableButton", 260, 168);
};
