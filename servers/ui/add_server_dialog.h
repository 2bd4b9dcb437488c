#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "servers/server_lists.h"

// "AddServers": asks for a server name and IP and appends the entry built from them, enabled, with the state
// "true". Input the entry format cannot carry is refused with a warning and the dialog stays open.
// Child object names (for tests and style sheets): okButton, cancelButton, m_strName, m_strIP.
class CAddServer final : public QDialog {
    Q_OBJECT

public:
    explicit CAddServer(ServerLists& lists, QWidget* parent = nullptr);

public slots:
    void OnConfirmAdd();

private:
    QPushButton* AddButton(const QString& text, const char* objectName, int x, int y);
    QLineEdit* AddEdit(const char* objectName, int x, int y);
    QLabel* AddLabel(const QString& text, int x, int y, int width, int height);

    ServerLists& m_lists;
    // Declared in tab order: creation order is the focus chain.
    QPushButton* m_okButton = AddButton(QStringLiteral("确定"), "okButton", 35, 91);
    QPushButton* m_cancelButton = AddButton(QStringLiteral("取消"), "cancelButton", 143, 91);
    QLineEdit* m_strName = AddEdit("m_strName", 63, 18);
    QLineEdit* m_strIP = AddEdit("m_strIP", 63, 56);
    QLabel* m_nameLabel = AddLabel(QStringLiteral("服务器名称:"), 15, 23, 47, 12);
    QLabel* m_ipLabel = AddLabel(QStringLiteral("服务器IP:"), 17, 60, 39, 11);
};
