#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "servers/entry_input.h"
#include "servers/server_entry.h"
#include "servers/server_lists.h"
#include "servers/setting_file.h"
#include "servers/ui/add_server_dialog.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/support/modal_watchdog.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::string>;

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

std::string Address(std::string_view host) {
    return "http://" + std::string(host) + ":89/Interface/tarv/tarvAction_appreg.action";
}

// An entry as Setting.ini holds it; an empty flag leaves the "@" part off.
std::string Line(std::string_view name, std::string_view host, std::string_view flag) {
    std::string line = std::string(name) + "," + Address(host);
    return flag.empty() ? line : line + "@" + std::string(flag);
}

std::string CrLfLines(const Entries& entries) {
    std::string bytes;
    for (const std::string& line : entries) bytes += line + "\r\n";
    return bytes;
}

template <typename W>
W& Child(QWidget& parent, const char* name) {
    W* child = parent.findChild<W*>(QLatin1String(name));
    if (child == nullptr) throw std::logic_error(std::string("no child named ") + name);
    return *child;
}

QTableWidget& List(QWidget& dialog) {
    return Child<QTableWidget>(dialog, "m_listServers");
}

void Click(QWidget& dialog, const char* buttonName) {
    QTest::mouseClick(&Child<QPushButton>(dialog, buttonName), Qt::LeftButton);
}

// Types text the way a keyboard or input method delivers it: one key event per character, carrying its text.
// (QTest::keyClicks only handles Latin-1.)
void Type(QWidget& widget, const QString& text) {
    for (char32_t c : text.toUcs4()) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&c, 1));
        QApplication::sendEvent(&widget, &press);
    }
}

// Toggles the rows' check boxes the way the keyboard does: make each current, press Space.
void ToggleCheck(QWidget& dialog, std::initializer_list<int> rows) {
    QTableWidget& list = List(dialog);
    for (const int row : rows) {
        list.setCurrentCell(row, 0);
        QTest::keyClick(&list, Qt::Key_Space);
    }
}

struct Row {
    std::string name;
    std::string status;
    std::string address;
    bool checked = false;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << "{\"" << row.name << "\", \"" << row.status << "\", \"" << row.address << "\", "
         << (row.checked ? "checked" : "unchecked") << "}";
}

std::vector<Row> Rows(QWidget& dialog) {
    QTableWidget& list = List(dialog);
    std::vector<Row> rows;
    for (int row = 0; row < list.rowCount(); ++row) {
        auto text = [&](int column) {
            const QTableWidgetItem* item = list.item(row, column);
            return item == nullptr ? std::string("<none>") : item->text().toStdString();
        };
        const QTableWidgetItem* name = list.item(row, 0);
        rows.push_back({text(0), text(1), text(2), name != nullptr && name->checkState() == Qt::Checked});
    }
    return rows;
}

std::vector<bool> Checks(QWidget& dialog) {
    std::vector<bool> checks;
    for (const Row& row : Rows(dialog)) checks.push_back(row.checked);
    return checks;
}

// Acts once on the next modal widget of type W, from inside the event loop that runs it.
template <typename W>
class OnModal {
public:
    explicit OnModal(std::function<void(W&)> action) : m_action(std::move(action)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            W* widget = qobject_cast<W*>(QApplication::activeModalWidget());
            if (widget == nullptr) return;
            m_timer.stop();
            ++m_seen;
            m_action(*widget);
        });
        m_timer.start(5);
    }

    int seen() const { return m_seen; }

private:
    std::function<void(W&)> m_action;
    QTimer m_timer;
    int m_seen = 0;
};

// Records and closes every message box, so a test can say how many came up and what they said.
class MessageBoxes {
public:
    MessageBoxes() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || box->isHidden()) return;
            m_texts.push_back(box->text());
            box->done(QMessageBox::Ok);
        });
        m_timer.start(5);
    }
    const std::vector<QString>& texts() const { return m_texts; }

private:
    QTimer m_timer;
    std::vector<QString> m_texts;
};

// Counts the saves of one file: a save lands its new list with one rename onto the name.
class SaveCounter {
public:
    SaveCounter(const fs::path& folder, std::string fileName)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_fileName(std::move(fileName)) {
        if (m_fd < 0 || ::inotify_add_watch(m_fd, folder.c_str(), IN_MOVED_TO) < 0)
            throw std::runtime_error("inotify unavailable");
    }
    ~SaveCounter() { ::close(m_fd); }
    SaveCounter(const SaveCounter&) = delete;
    SaveCounter& operator=(const SaveCounter&) = delete;

    int Count() {
        alignas(inotify_event) char buffer[4096];
        ssize_t length;
        while ((length = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && m_fileName == event->name) ++m_count;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return m_count;
    }

private:
    int m_fd;
    std::string m_fileName;
    int m_count = 0;
};

class ServerDialogs : public testing::Test {
protected:
    std::unique_ptr<CServerInfodlg> Open(const Entries& entries) {
        lists.Reset(entries);
        return Open();
    }
    std::unique_ptr<CServerInfodlg> Open() {
        auto dialog = std::make_unique<CServerInfodlg>(lists, settingFile);
        dialog->show();
        return dialog;
    }

    // Runs the add button's dialog, acting on it with `action` once it is up.
    void AddThrough(CServerInfodlg& dialog, std::function<void(CAddServer&)> action) {
        OnModal<CAddServer> driver(std::move(action));
        Click(dialog, "addButton");
        EXPECT_EQ(driver.seen(), 1);
    }
    // Adds an entry as typed into the add button's dialog and taken with OK.
    void AddTyped(CServerInfodlg& dialog, const char* name, const char* ip) {
        AddThrough(dialog, [&](CAddServer& add) {
            QTest::keyClicks(&Child<QLineEdit>(add, "m_strName"), name);
            QTest::keyClicks(&Child<QLineEdit>(add, "m_strIP"), ip);
            Click(add, "okButton");
        });
    }

    ModalWatchdog watchdog;
    TempDir dir;
    fs::path settingFile = dir / kSettingFileName;
    ServerLists lists;
};

const std::string kA = Line("A", "10.0.0.1", "1");
const std::string kB = Line("B", "10.0.0.2", "1");
const std::string kC = Line("C", "10.0.0.3", "1");
const std::string kD = Line("D", "10.0.0.4", "1");

TEST_F(ServerDialogs, OpeningShowsEveryEntryUncheckedWithItsStatus) {
    std::string chinese = gbk::FromUtf8("服务器甲");
    auto dialog = Open({Line("S1", "10.0.0.1", "1"), Line("  S2 ", " 10.0.0.2", "0"),
                        Line("S3", "10.0.0.3", ""), Line(chinese, "10.0.0.4", "1")});
    EXPECT_EQ(Rows(*dialog), (std::vector<Row>{
                                 {"S1", "运行中", Address("10.0.0.1"), false},
                                 {"S2", "暂停!", Address(" 10.0.0.2"), false},
                                 {"S3", "暂停!", Address("10.0.0.3"), false},
                                 {"服务器甲", "运行中", Address("10.0.0.4"), false},
                             }));
}

TEST_F(ServerDialogs, FillingKeepsMatchingRowsAndInsertsOthersWhereTheirEntriesAre) {
    auto dialog = Open({kA, "", kC});
    ASSERT_EQ(Rows(*dialog)[1], (Row{"", "暂停!", "", false}));
    ToggleCheck(*dialog, {1, 2});
    ASSERT_EQ(Checks(*dialog), (std::vector<bool>{false, true, true}));

    // Refilling after an add that was cancelled finds every row in place, the empty one included.
    AddThrough(*dialog, [](CAddServer& add) { Click(add, "cancelButton"); });
    EXPECT_EQ(Checks(*dialog), (std::vector<bool>{false, true, true}));
    EXPECT_EQ(lists.Entries(), (Entries{kA, "", kC}));

    // An entry that appeared in front gets a row in front; the rows after it still match and keep their
    // marks.
    {
        ServerLists::Locked locked = lists.Lock();
        locked.m_arrServers.insert(locked.m_arrServers.begin(), kD);
        locked.m_arrServerStates.insert(locked.m_arrServerStates.begin(), kStateTrue);
    }
    dialog->FillServerList();
    std::vector<Row> rows = Rows(*dialog);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].name, "D");
    EXPECT_EQ(Checks(*dialog), (std::vector<bool>{false, false, true, true}));
}

TEST_F(ServerDialogs, SelectAllAndInvertSetEveryMark) {
    auto dialog = Open({kA, kB, kC});
    ToggleCheck(*dialog, {1});
    Click(*dialog, "invertButton");
    EXPECT_EQ(Checks(*dialog), (std::vector<bool>{true, false, true}));
    Click(*dialog, "selectAllButton");
    EXPECT_EQ(Checks(*dialog), (std::vector<bool>{true, true, true}));
    Click(*dialog, "invertButton");
    EXPECT_EQ(Checks(*dialog), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(lists.Entries(), (Entries{kA, kB, kC}));
}

TEST_F(ServerDialogs, PausingChangesOnlyCheckedEntriesAndShowsOnReopen) {
    auto dialog = Open({kA, kB, kC, kD});
    {
        ServerLists::Locked locked = lists.Lock();
        locked.m_arrServerStates = {kStateTrue, kStateFalse, kStateTrue, kStateFalse};
    }
    ToggleCheck(*dialog, {1, 3});
    Click(*dialog, "pauseButton");

    Entries paused{kA, Line("B", "10.0.0.2", "0"), kC, Line("D", "10.0.0.4", "0")};
    EXPECT_EQ(lists.Entries(), paused);
    EXPECT_EQ(lists.States(), (Entries{kStateTrue, kStateFalse, kStateTrue, kStateFalse}));
    EXPECT_EQ(Rows(*dialog), (std::vector<Row>{
                                 {"A", "运行中", Address("10.0.0.1"), false},
                                 {"B", "暂停！", Address("10.0.0.2"), true},
                                 {"C", "运行中", Address("10.0.0.3"), false},
                                 {"D", "暂停！", Address("10.0.0.4"), true},
                             }));

    QTest::keyClick(&List(*dialog), Qt::Key_Escape);
    ASSERT_FALSE(dialog->isVisible());
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines(paused));

    auto reopened = Open();
    std::vector<Row> rows = Rows(*reopened);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1], (Row{"B", "暂停!", Address("10.0.0.2"), false}));
    EXPECT_EQ(rows[3].status, "暂停!");
}

TEST_F(ServerDialogs, PauseAndEnableRewriteTheFlagWhateverItWas) {
    // Already paused, no flag at all, enabled.
    auto dialog = Open({Line("A", "h1", "0"), Line("B", "h2", ""), Line("C", "h3", "1")});
    Click(*dialog, "selectAllButton");
    Click(*dialog, "pauseButton");
    EXPECT_EQ(lists.Entries(), (Entries{Line("A", "h1", "0"), Line("B", "h2", "0"), Line("C", "h3", "0")}));
    for (const Row& row : Rows(*dialog)) EXPECT_EQ(row.status, "暂停！");

    ToggleCheck(*dialog, {1});
    Click(*dialog, "enableButton");
    EXPECT_EQ(lists.Entries(), (Entries{Line("A", "h1", "1"), Line("B", "h2", "0"), Line("C", "h3", "1")}));
    EXPECT_EQ(Rows(*dialog), (std::vector<Row>{
                                 {"A", "运行中", Address("h1"), true},
                                 {"B", "暂停！", Address("h2"), false},
                                 {"C", "运行中", Address("h3"), true},
                             }));
    EXPECT_EQ(lists.States(), (Entries{kStateTrue, kStateTrue, kStateTrue}));
}

TEST_F(ServerDialogs, DeletingTakesEntriesAndTheirStatesWithTheRows) {
    auto dialog = Open({kA, kB, kC});
    lists.Lock().m_arrServerStates[1] = kStateFalse;
    ToggleCheck(*dialog, {0, 2});
    Click(*dialog, "deleteButton");
    EXPECT_EQ(lists.Entries(), Entries{kB});
    EXPECT_EQ(lists.States(), Entries{kStateFalse});
    EXPECT_EQ(Rows(*dialog), (std::vector<Row>{{"B", "运行中", Address("10.0.0.2"), false}}));
}

TEST_F(ServerDialogs, EnterDeletesTheCheckedRows) {
    auto dialog = Open({kA, kB, kC});
    ToggleCheck(*dialog, {1});
    QTest::keyClick(&List(*dialog), Qt::Key_Return);
    EXPECT_EQ(lists.Entries(), (Entries{kA, kC}));
    ASSERT_EQ(Rows(*dialog).size(), 2u);
    EXPECT_EQ(Rows(*dialog)[1].name, "C");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(ServerDialogs, RowsBeyondTheEntriesChangeNothingBehindThem) {
    auto dialog = Open({kA, kB, kC});
    lists.Reset({kA});  // shorter than the list, as no other thread does but a careless one might
    Click(*dialog, "selectAllButton");
    Click(*dialog, "pauseButton");
    EXPECT_EQ(lists.Entries(), Entries{Line("A", "10.0.0.1", "0")});
    EXPECT_EQ(Rows(*dialog)[2].status, "运行中");  // nothing behind it was paused
    Click(*dialog, "deleteButton");
    EXPECT_TRUE(lists.Entries().empty());
    EXPECT_TRUE(lists.States().empty());
    EXPECT_TRUE(Rows(*dialog).empty());
}

TEST_F(ServerDialogs, AddingAppendsTheEntryEnabledAndKeepsTheListAsItWas) {
    auto dialog = Open({kA, kB});
    ToggleCheck(*dialog, {0});
    Click(*dialog, "pauseButton");

    AddThrough(*dialog, [](CAddServer& add) {
        QTest::keyClicks(&Child<QLineEdit>(add, "m_strName"), "X");
        Click(add, "cancelButton");
    });
    AddThrough(*dialog, [](CAddServer& add) { QTest::keyClick(&add, Qt::Key_Escape); });
    EXPECT_EQ(lists.Entries(), (Entries{Line("A", "10.0.0.1", "0"), kB}));
    EXPECT_EQ(Rows(*dialog).size(), 2u);

    AddTyped(*dialog, "A1", "192.0.2.10");
    EXPECT_EQ(lists.Entries(),
              (Entries{Line("A", "10.0.0.1", "0"), kB,
                       "A1,http://192.0.2.10:89/Interface/tarv/tarvAction_appreg.action@1"}));
    EXPECT_EQ(lists.States(), (Entries{kStateTrue, kStateTrue, kStateTrue}));
    EXPECT_EQ(Rows(*dialog), (std::vector<Row>{
                                 {"A", "暂停！", Address("10.0.0.1"), true},
                                 {"B", "运行中", Address("10.0.0.2"), false},
                                 {"A1", "运行中", Address("192.0.2.10"), false},
                             }));
}

TEST_F(ServerDialogs, EveryWayOfClosingSavesOnce) {
    struct Way {
        const char* name;
        std::function<void(CServerInfodlg&)> close;
    };
    const Way ways[] = {
        {"Esc", [](CServerInfodlg& d) { QTest::keyClick(&List(d), Qt::Key_Escape); }},
        {"close box", [](CServerInfodlg& d) { d.close(); }},
        {"reject", [](CServerInfodlg& d) { d.reject(); }},
        {"accept", [](CServerInfodlg& d) { d.accept(); }},
        {"done", [](CServerInfodlg& d) { d.done(7); }},
        {"hidden cancel button",
         [](CServerInfodlg& d) {
             QPushButton& cancel = Child<QPushButton>(d, "cancelButton");
             EXPECT_TRUE(cancel.isHidden());
             cancel.click();
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        TempDir folder;
        CServerInfodlg dialog(lists, folder / kSettingFileName);
        lists.Reset({kA, kB});
        dialog.show();
        ToggleCheck(dialog, {1});
        Click(dialog, "pauseButton");
        SaveCounter saves(folder.path(), kSettingFileName);

        way.close(dialog);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(ReadFileBytes(folder / kSettingFileName),
                  kA + "\r\n" + Line("B", "10.0.0.2", "0") + "\r\n");
        EXPECT_EQ(saves.Count(), 1);

        // Closing what is already closed saves nothing more.
        dialog.close();
        dialog.reject();
        EXPECT_EQ(saves.Count(), 1);
    }
}

TEST_F(ServerDialogs, ClosingARunningDialogSavesWhenItsLoopEnds) {
    WriteFileBytes(settingFile, "old\r\n");
    lists.Reset({kA});
    CServerInfodlg dialog(lists, settingFile);
    OnModal<CServerInfodlg> escape([](CServerInfodlg& d) { QTest::keyClick(&List(d), Qt::Key_Escape); });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(escape.seen(), 1);
    EXPECT_EQ(ReadFileBytes(settingFile), kA + "\r\n");
}

TEST_F(ServerDialogs, DeletingEveryRowLeavesAnEmptyFile) {
    WriteFileBytes(settingFile, CrLfLines({kA, kB}));
    auto dialog = Open(LoadServerEntries(settingFile));
    Click(*dialog, "selectAllButton");
    Click(*dialog, "deleteButton");
    dialog->close();
    EXPECT_TRUE(fs::exists(settingFile));
    EXPECT_EQ(fs::file_size(settingFile), 0u);
    EXPECT_TRUE(lists.Entries().empty());
}

TEST_F(ServerDialogs, AFailedSaveIsReportedOnceAndTheNextCloseTriesAgain) {
    struct Case {
        const char* name;
        fs::path file;
        std::function<void()> breakIt;
        std::function<void()> mendIt;
    };
    const fs::path sub = dir / "sub";
    const Case cases[] = {
        {"folder missing", dir / "missing" / kSettingFileName, [] {},
         [&] { fs::create_directory(dir / "missing"); }},
        {"folder replaced by a file", sub / kSettingFileName,
         [&] {
             fs::remove_all(sub);
             WriteFileBytes(sub, "not a folder");
         },
         [&] {
             fs::remove(sub);
             fs::create_directory(sub);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(sub);
        lists.Reset({kA, kB});
        CServerInfodlg dialog(lists, c.file);
        dialog.show();
        ToggleCheck(dialog, {0});
        Click(dialog, "pauseButton");
        const Entries entries = lists.Entries();
        c.breakIt();

        MessageBoxes boxes;
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.texts().empty(); }, 5000));
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(finished.count(), 1);
        ASSERT_EQ(boxes.texts().size(), 1u);
        EXPECT_TRUE(boxes.texts()[0].contains(QString::fromStdString(c.file.string())));
        EXPECT_TRUE(boxes.texts()[0].contains(QString::fromUtf8(std::strerror(ENOTDIR))) ||
                    boxes.texts()[0].contains(QString::fromUtf8(std::strerror(ENOENT))));
        EXPECT_EQ(lists.Entries(), entries);
        EXPECT_FALSE(fs::exists(c.file));

        c.mendIt();
        dialog.show();
        dialog.close();
        EXPECT_EQ(ReadFileBytes(c.file), entries[0] + "\r\n" + entries[1] + "\r\n");
        EXPECT_EQ(boxes.texts().size(), 1u);
    }
}

class AddServerDialog : public testing::Test {
protected:
    AddServerDialog() {
        lists.Reset({kA});
        dialog.show();
    }

    QLineEdit& Name() { return Child<QLineEdit>(dialog, "m_strName"); }
    QLineEdit& Ip() { return Child<QLineEdit>(dialog, "m_strIP"); }

    ModalWatchdog watchdog;
    ServerLists lists;
    CAddServer dialog{lists};
};

TEST_F(AddServerDialog, EnterAddsTheTextsAsTyped) {
    Type(Name(), U(" 服务器甲 "));
    QTest::keyClicks(&Ip(), " 10.0.0.9");
    QTest::keyClick(&Ip(), Qt::Key_Return);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(lists.Entries(),
              (Entries{kA, gbk::FromUtf8(" 服务器甲 ") + "," + Address(" 10.0.0.9") + "@1"}));
    EXPECT_EQ(lists.States(), (Entries{kStateTrue, kStateTrue}));
}

TEST_F(AddServerDialog, EmptyFieldsStillMakeAnEntry) {
    Click(dialog, "okButton");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(lists.Entries(), (Entries{kA, "," + Address("") + "@1"}));
}

TEST_F(AddServerDialog, RefusedInputWarnsAndAppendsNothing) {
    struct Case {
        QString name;
        QString ip;
        QString mentions;
    };
    const Case cases[] = {
        {U("a,b"), U("1"), U("“,”")},
        {U("a"), U("10.0.0.1@0"), U("“@”")},
        {U("a\nb"), U("1"), U("换行符")},
        {U("a"), U("1\r"), U("换行符")},
        {U("a") + QChar(0), U("1"), U("U+0000")},
        {U("A\xF0\x9F\x98\x80"), U("1"), U("\xF0\x9F\x98\x80")},
        {QString(150, u'n'), QString(60, u'i'), U("210")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mentions.toStdString());
        Name().setText(c.name);
        Ip().setText(c.ip);
        ASSERT_EQ(Name().text(), c.name);  // the field kept what the check has to catch
        ASSERT_EQ(Ip().text(), c.ip);

        MessageBoxes boxes;
        Click(dialog, "okButton");
        ASSERT_EQ(boxes.texts().size(), 1u);
        EXPECT_TRUE(boxes.texts()[0].contains(c.mentions)) << boxes.texts()[0].toStdString();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(lists.Entries(), Entries{kA});
        EXPECT_EQ(lists.States(), Entries{kStateTrue});
    }
}

TEST_F(AddServerDialog, TypingStopsWhereTheEntryWouldNoLongerFit) {
    // Either field can run into what the other already holds.
    QTest::keyClicks(&Ip(), QString(100, u'i'));
    QTest::keyClicks(&Name(), QString(150, u'n'));
    EXPECT_EQ(Name().text().size(), 102);
    QTest::keyClicks(&Ip(), "1");
    EXPECT_EQ(Ip().text().size(), 100);

    // Chinese characters take two bytes each.
    QTest::keyClick(&Name(), Qt::Key_Backspace);
    QTest::keyClick(&Name(), Qt::Key_Backspace);
    Type(Ip(), U("网网"));
    EXPECT_EQ(Ip().text(), QString(100, u'i') + U("网"));

    Click(dialog, "okButton");
    ASSERT_EQ(lists.Entries().size(), 2u);
    EXPECT_EQ(lists.Entries()[1].size(), entry::kMaxEntryBytes);

    // Undo is not checked, so the two can still end up over the allowance; both fields can then be cut down.
    CAddServer again(lists);
    again.show();
    QLineEdit& name = Child<QLineEdit>(again, "m_strName");
    QLineEdit& ip = Child<QLineEdit>(again, "m_strIP");
    QTest::keyClicks(&name, QString(100, u'n'));
    name.selectAll();
    QTest::keyClick(&name, Qt::Key_Backspace);
    QTest::keyClicks(&ip, QString(150, u'i'));
    QTest::keyClick(&name, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_EQ(name.text().size() + ip.text().size(), 250);
    QTest::keyClick(&ip, Qt::Key_Backspace);
    EXPECT_EQ(ip.text().size(), 149);
    QTest::keyClick(&name, Qt::Key_End);  // undo left the restored text selected
    QTest::keyClick(&name, Qt::Key_Backspace);
    EXPECT_EQ(name.text().size(), 99);
}

TEST(ServerDialogFocus, TabVisitsTheControlsInTemplateOrder) {
    auto tabStops = [](QWidget& dialog) {
        std::vector<std::string> names;
        QWidget* first = dialog.nextInFocusChain();
        for (QWidget* w = first;; w = w->nextInFocusChain()) {
            if ((w->focusPolicy() & Qt::TabFocus) && !w->isHidden() && w->window() == &dialog)
                names.push_back(w->objectName().toStdString());
            if (w->nextInFocusChain() == first) break;
        }
        return names;
    };
    ServerLists lists;
    CServerInfodlg list(lists, "unused");
    EXPECT_EQ(tabStops(list),
              (std::vector<std::string>{"deleteButton", "m_listServers", "selectAllButton", "invertButton",
                                        "addButton", "pauseButton", "enableButton"}));
    CAddServer add(lists);
    EXPECT_EQ(tabStops(add), (std::vector<std::string>{"okButton", "cancelButton", "m_strName", "m_strIP"}));
}

// The captions that do not fit the room their control draws them in: a button's contents rectangle, a
// label's or group box's own size, a list header's section.
std::vector<std::string> ClippedCaptions(QWidget& dialog) {
    std::vector<std::string> clipped;
    auto check = [&](const QString& text, QSize needed, QSize room) {
        if (needed.width() > room.width() || needed.height() > room.height())
            clipped.push_back(text.toStdString());
    };
    for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        check(button->text(), button->fontMetrics().size(Qt::TextShowMnemonic, button->text()), room.size());
    }
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        check(label->text(), label->sizeHint(), label->size());
    for (const QGroupBox* box : dialog.findChildren<QGroupBox*>())
        check(box->title(), box->minimumSizeHint(), box->size());
    for (const QHeaderView* header : dialog.findChildren<QHeaderView*>()) {
        for (int section = 0; section < header->count() && !header->isHidden(); ++section)
            check(header->model()->headerData(section, header->orientation()).toString(),
                  {header->sectionSizeHint(section), 0}, {header->sectionSize(section), 0});
    }
    return clipped;
}

TEST_F(ServerDialogs, BothDialogsUseTheirEightPointFontAndNoCaptionIsClipped) {
    auto list = Open();
    CAddServer add(lists);
    add.show();
    for (QWidget* dialog : {static_cast<QWidget*>(list.get()), static_cast<QWidget*>(&add)}) {
        EXPECT_EQ(dialog->font().pointSize(), 8);
        EXPECT_EQ(ClippedCaptions(*dialog), std::vector<std::string>{});
    }
}

// A poll round's use of the lists: count and copy under the lock, then set the state under it again.
void PollRound(ServerLists& lists, std::atomic<bool>& unevenSeen) {
    for (std::size_t i = 0;; ++i) {
        std::string copy;
        {
            ServerLists::Locked locked = lists.Lock();
            if (locked.m_arrServers.size() != locked.m_arrServerStates.size()) unevenSeen = true;
            if (i >= locked.m_arrServers.size()) return;
            copy = locked.m_arrServers[i];
        }
        bool paused = entry::ForPolling(copy).paused();
        ServerLists::Locked locked = lists.Lock();
        if (i < locked.m_arrServerStates.size())
            locked.m_arrServerStates[i] = paused ? kStateFalse : kStateTrue;
    }
}

TEST_F(ServerDialogs, APollRoundRunningAlongsideOnlyEverSeesWholeChanges) {
    lists.Reset({kA, kB, kC, kD});
    std::atomic<bool> stop = false;
    std::atomic<bool> unevenSeen = false;
    std::atomic<int> rounds = 0;
    std::thread poller([&] {
        while (!stop) {
            PollRound(lists, unevenSeen);
            ++rounds;
        }
    });
    auto waitRounds = [&] {
        int seen = rounds;
        EXPECT_TRUE(QTest::qWaitFor([&] { return rounds > seen + 2; }, 5000));
    };

    auto dialog = Open();
    waitRounds();
    ToggleCheck(*dialog, {0, 2});
    Click(*dialog, "pauseButton");
    waitRounds();
    Click(*dialog, "deleteButton");
    waitRounds();
    for (const char* name : {"N1", "N2"}) {
        AddTyped(*dialog, name, "192.0.2.1");
        waitRounds();
    }
    Click(*dialog, "selectAllButton");
    Click(*dialog, "pauseButton");
    waitRounds();
    dialog->close();

    stop = true;
    poller.join();
    EXPECT_FALSE(unevenSeen);
    Entries expected{Line("B", "10.0.0.2", "0"), Line("D", "10.0.0.4", "0"), Line("N1", "192.0.2.1", "0"),
                     Line("N2", "192.0.2.1", "0")};
    EXPECT_EQ(lists.Entries(), expected);
    EXPECT_EQ(lists.States(), (Entries(4, kStateFalse)));
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines(expected));
}

}  // namespace
