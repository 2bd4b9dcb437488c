#include "servers/ui/add_server_dialog.h"

#include <utility>

#include <QFont>
#include <QMessageBox>
#include <QValidator>

#include "servers/entry_input.h"
#include "servers/ui/dialog_units.h"

namespace {

// Refuses an edit that would take name plus IP past the bytes an entry has room for. Undo is not checked, so
// the two can still end up over; an edit that does not lengthen its field therefore always passes, or neither
// field could be cut down. Confirming checks the bytes again.
class EntryBudgetValidator final : public QValidator {
public:
    EntryBudgetValidator(QLineEdit& field, const QLineEdit& other)
        : QValidator(&field), m_other(other), m_bytes(entry::InputBytes(field.text())) {
        // Runs after validate() has passed an edit, so m_bytes is the size before the next one.
        connect(&field, &QLineEdit::textChanged, this,
                [this](const QString& text) { m_bytes = entry::InputBytes(text); });
    }

    State validate(QString& input, int&) const override {
        std::size_t bytes = entry::InputBytes(input);
        if (bytes <= m_bytes || bytes + entry::InputBytes(m_other.text()) <= entry::kMaxInputBytes)
            return Acceptable;
        return Invalid;
    }

private:
    const QLineEdit& m_other;
    std::size_t m_bytes;
};

}  // namespace

CAddServer::CAddServer(ServerLists& lists, QWidget* parent) : QDialog(parent), m_lists(lists) {
    setWindowTitle(QStringLiteral("AddServers"));
    // The template's font size; the children, made before this runs, take it on too.
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    setFixedSize(dialog_units::Size(221, 127));

    m_okButton->setDefault(true);
    for (QLineEdit* field : {m_strName, m_strIP}) {
        // Characters, not bytes: a first bound only; the validators count bytes.
        field->setMaxLength(static_cast<int>(entry::kMaxInputBytes));
    }
    m_strName->setValidator(new EntryBudgetValidator(*m_strName, *m_strIP));
    m_strIP->setValidator(new EntryBudgetValidator(*m_strIP, *m_strName));

    setTabOrder(m_okButton, m_cancelButton);
    setTabOrder(m_cancelButton, m_strName);
    setTabOrder(m_strName, m_strIP);

    connect(m_okButton, &QPushButton::clicked, this, &CAddServer::OnConfirmAdd);
    connect(m_cancelButton, &QPushButton::clicked, this, &CAddServer::reject);
}

QPushButton* CAddServer::AddButton(const QString& text, const char* objectName, int x, int y) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(objectName));
    button->setGeometry(dialog_units::Rect(x, y, 50, 14));
    return button;
}

QLineEdit* CAddServer::AddEdit(const char* objectName, int x, int y) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QLatin1String(objectName));
    edit->setGeometry(dialog_units::Rect(x, y, 122, 17));
    return edit;
}

QLabel* CAddServer::AddLabel(const QString& text, int x, int y, int width, int height) {
    auto* label = new QLabel(text, this);
    label->setGeometry(dialog_units::Rect(x, y, width, height));
    return label;
}

void CAddServer::OnConfirmAdd() {
    entry::InputResult input = entry::EntryFromInput(m_strName->text(), m_strIP->text());
    if (!input.ok()) {
        QMessageBox::warning(this, windowTitle(), input.problem);
        return;
    }
    {
        // One hold, so a poll round never sees the entry without its state.
        ServerLists::Locked locked = m_lists.Lock();
        locked.m_arrServers.push_back(std::move(input.entry));
        locked.m_arrServerStates.emplace_back(kStateTrue);
    }
    accept();
}
