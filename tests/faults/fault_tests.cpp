// The real window and server list dialog, offscreen, when the disk refuses a write, the alarm sound is
// missing, or the window is closed at an awkward moment of a round.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/alarm_log.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"
#include "servers/setting_file.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/support/child_process.h"
#include "tests/support/modal_watchdog.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Entries = std::vector<std::string>;

// As in the dialog tests: the Windows style paints on the calling thread, out of ThreadSanitizer's way.
class PlainStyle final : public testing::Environment {
public:
    void SetUp() override { QApplication::setStyle(QStringLiteral("Windows")); }
};
[[maybe_unused]] testing::Environment* const kPlainStyle = testing::AddGlobalTestEnvironment(new PlainStyle);

constexpr qint64 kPromptCloseMs = 3000;

std::string CrLfLines(const Entries& entries) {
    std::string text;
    for (const std::string& line : entries) text += line + "\r\n";
    return text;
}

// Files a failed save could have left beside the setting file: its temporaries start with ".".
int Leftovers(const fs::path& folder) {
    int count = 0;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder, error))
        if (item.path().filename().string().starts_with(".")) ++count;
    return count;
}

// Every visible top-level widget other than `except`: a message box or a dialog left behind.
std::vector<QWidget*> OtherVisibleWindows(const QWidget* except) {
    std::vector<QWidget*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget != except && widget->isVisible()) found.push_back(widget);
    return found;
}

// Limits the size of any file this process writes, as a full disk would; writes past it fail with EFBIG
// instead of killing the process. The old limit and signal disposition come back at the end of the scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        ::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok() const { return m_ok; }

private:
    rlimit m_old{};
    sighandler_t m_oldHandler = SIG_DFL;
    bool m_ok = false;
};

// The alarm sound looks for sos.wav in the current directory.
class CurrentDir {
public:
    explicit CurrentDir(const fs::path& path)
        : m_previous(QDir::currentPath()), m_ok(QDir::setCurrent(QString::fromStdString(path.string()))) {}
    ~CurrentDir() { QDir::setCurrent(m_previous); }
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;
    bool ok() const { return m_ok; }

private:
    QString m_previous;
    bool m_ok;
};

class Faults : public testing::Test {
protected:
    // Monitoring never starts by itself: only what a test does happens.
    MonitorSettings Quiet(const fs::path& dataDir) {
        MonitorSettings settings;
        settings.dataDir = dataDir;
        settings.pacing.startDelay = 1h;
        settings.pacing.firstRound = 1h;
        return settings;
    }

    // Rounds start at once; the pauses are the test's choice.
    MonitorSettings Running(std::chrono::milliseconds entryPause, std::chrono::milliseconds nextRound) {
        MonitorSettings settings = Quiet(dir.path());
        settings.pacing = {0ms, 0ms, entryPause, nextRound};
        return settings;
    }

    // The window on `entries` written to its folder's setting file.
    std::unique_ptr<CTessivDlg> OpenWindow(const Entries& entries, MonitorSettings settings) {
        WriteFileBytes(settings.dataDir / kSettingFileName, CrLfLines(entries));
        return std::make_unique<CTessivDlg>(std::move(settings));
    }

    // Closes the window as the exit button does; the time it took.
    static qint64 Close(CTessivDlg& window) {
        QElapsedTimer clock;
        clock.start();
        window.OnExit();
        return clock.elapsed();
    }

    // What a round does comes well within this, on a loaded machine too; the window's events keep flowing.
    static bool Soon(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }

    // Closed mid-round or not, the window ends within kPromptCloseMs and leaves no round running.
    static void ClosePromptly(CTessivDlg& window) {
        EXPECT_LT(Close(window), kPromptCloseMs);
        EXPECT_FALSE(window.Core().IsRoundRunning());
    }

    // A moment for the round to settle into what it waits on, then closed there.
    static void CloseMidRound(CTessivDlg& window) {
        QTest::qWait(20);
        ASSERT_TRUE(window.Core().IsRoundRunning());
        ClosePromptly(window);
    }

    static int RefusedPort() {
        StatusHost gone;
        return gone.port();
    }

    ModalWatchdog watchdog;
    TempDir dir;
};

enum class SaveOutcome { Reported, Saved };

// Opens the server list from the window, pauses the first entry, lets `breakIt` spoil the setting file's
// place, closes the list, and checks that it closed with the edit still in memory and, for a failed save,
// exactly one message that names the file.
void ManageServersWithBrokenSave(CTessivDlg& window, const std::function<void()>& breakIt,
                                 SaveOutcome outcome = SaveOutcome::Reported) {
    const Entries before = window.Core().Servers().Entries();
    ASSERT_FALSE(before.empty());
    bool sawDialog = false;
    QStringList messages;
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box->isHidden()) return;
        messages << box->text();
        box->done(QMessageBox::Ok);
    });
    boxCloser.start(5);
    QTimer::singleShot(0, &window, [&] {
        auto* dialog = qobject_cast<CServerInfodlg*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        sawDialog = true;
        auto* list = dialog->findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        list->item(0, 0)->setCheckState(Qt::Checked);
        dialog->findChild<QPushButton*>(QStringLiteral("pauseButton"))->click();
        breakIt();
        dialog->close();
    });
    window.OnManageServers();  // returns when the list closes
    ASSERT_TRUE(sawDialog);

    QTest::qWait(50);  // a second message box would be up by now
    if (outcome == SaveOutcome::Reported) {
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains(QString::fromUtf8(kSettingFileName))) << messages[0].toStdString();
    } else {
        EXPECT_TRUE(messages.isEmpty());
    }
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(OtherVisibleWindows(&window).empty());
    EXPECT_TRUE(window.findChildren<CServerInfodlg*>().empty());
    Entries expected = before;
    expected[0] = expected[0].substr(0, expected[0].find('@')) + "@0";
    EXPECT_EQ(window.Core().Servers().Entries(), expected);
    EXPECT_EQ(window.Core().Servers().States(), Entries(before.size(), kStateTrue));
}

const Entries kEntries = {"A,http://127.0.0.1:1/a@1", "B,http://127.0.0.1:1/b@1"};

TEST_F(Faults, UnwritableSettingFileIsReportedAndKeepsTheEdit) {
    {
        SCOPED_TRACE("the folder is replaced by a file while the list is open");
        const fs::path data = dir / "data";
        fs::create_directory(data);
        auto window = OpenWindow(kEntries, Quiet(data));
        ManageServersWithBrokenSave(*window, [&] {
            fs::rename(data, dir / "moved");
            WriteFileBytes(data, "not a folder");
        });
        EXPECT_EQ(ReadFileBytes(data), "not a folder");
        EXPECT_EQ(ReadFileBytes(dir / "moved" / kSettingFileName), CrLfLines(kEntries));
        EXPECT_EQ(Leftovers(dir / "moved"), 0);
    }
    {
        SCOPED_TRACE("Setting.ini is a folder");
        const fs::path data = dir / "folder-ini";
        fs::create_directories(data / kSettingFileName);
        WriteFileBytes(data / kSettingFileName / "keep", "kept");
        EXPECT_TRUE(LoadServerEntries(data / kSettingFileName).empty());
        CTessivDlg window(Quiet(data));
        EXPECT_TRUE(window.Core().Servers().Entries().empty());
        window.Core().Servers().Reset(
            kEntries);  // nothing loads from a folder; the entries come from elsewhere
        ManageServersWithBrokenSave(window, [] {});
        EXPECT_TRUE(fs::is_directory(data / kSettingFileName));
        EXPECT_EQ(ReadFileBytes(data / kSettingFileName / "keep"), "kept");
        EXPECT_EQ(Leftovers(data), 0);
    }
    {
        // Even root cannot create the temporary when its path is longer than the system allows, while the
        // setting file itself, a few bytes shorter, can be written: it is rewritten in place.
        SCOPED_TRACE("no room in the path for the temporary beside Setting.ini");
        fs::path data = dir.path();
        const std::size_t target = PATH_MAX - 6 - std::string("/Setting.ini").size();
        while (data.string().size() + 201 < target) data /= std::string(200, 'd');
        data /= std::string(target - data.string().size() - 1, 'e');
        fs::create_directories(data);
        const fs::path file = data / kSettingFileName;
        ASSERT_LT(file.string().size(), static_cast<std::size_t>(PATH_MAX));
        ASSERT_GE(file.string().size() + std::string(".XXXXXX.").size(), static_cast<std::size_t>(PATH_MAX));
        auto window = OpenWindow(kEntries, Quiet(data));
        ASSERT_EQ(window->Core().Servers().Entries(), kEntries);
        ManageServersWithBrokenSave(
            *window, [] {}, SaveOutcome::Saved);
        EXPECT_EQ(ReadFileBytes(file), CrLfLines(window->Core().Servers().Entries()));
        EXPECT_EQ(Leftovers(data), 0);
    }
}

TEST_F(Faults, DiskFillingUpMidSaveKeepsTheOldFile) {
    const fs::path file = dir / kSettingFileName;
    const std::string old = CrLfLines(kEntries);
    Entries many;
    for (int i = 0; i < 400; ++i)
        many.push_back("Host-" + std::to_string(i) + ",http://127.0.0.1:1/" + std::string(100, 'p') + "@1");
    {
        SCOPED_TRACE("SaveServerEntries");
        WriteFileBytes(file, old);
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        // Small enough to fit: the limit alone does not make every save fail.
        EXPECT_TRUE(SaveServerEntries(dir / "small.ini", {"x"}));
        EXPECT_FALSE(SaveServerEntries(file, many));  // 4 KB land, then the write fails
        EXPECT_EQ(ReadFileBytes(file), old);
        EXPECT_EQ(ReadFileBytes(dir / "small.ini"), "x\r\n");
        EXPECT_EQ(Leftovers(dir.path()), 0);
    }
    {
        SCOPED_TRACE("closing the server list");
        auto window = OpenWindow(kEntries, Quiet(dir.path()));
        {
            ServerLists::Locked lists = window->Core().Servers().Lock();
            for (const std::string& line : many) {
                lists.m_arrServers.push_back(line);
                lists.m_arrServerStates.push_back(kStateTrue);
            }
        }
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        ManageServersWithBrokenSave(*window, [] {});
        EXPECT_EQ(ReadFileBytes(file), old);
        EXPECT_EQ(Leftovers(dir.path()), 0);
    }
}

TEST_F(Faults, UnwritableLogStillShowsSoundsAndTitlesTheAlarm) {
    fs::create_directory(dir / kAlarmLogFileName);
    const std::string line = gbk::FromUtf8("001 <2024-05-01 08:30:00> ------ A 空间不足 t 异常 ------");
    EXPECT_FALSE(AppendAlarmRecord(dir / kAlarmLogFileName, line, true));
    {
        SCOPED_TRACE("an alarm raised on the window");
        CTessivDlg window(Quiet(dir.path()));
        window.Core().RaiseAlarm(line, true);
        EXPECT_EQ(window.Core().AlarmLog(), line + "\r\n");
        EXPECT_TRUE(window.IsSounding());
        EXPECT_EQ(window.windowTitle(), QString::fromUtf8(kAlarmTitle));
        EXPECT_TRUE(window.isVisible());
    }
    {
        SCOPED_TRACE("an alarm from a round");
        StatusHost host(Scenario{.apps = {{"位置服务器", "2024-05-01 08:30:00.0"}}});
        auto window = OpenWindow({"Center," + host.url() + "@1"}, Running(0ms, 1h));
        ASSERT_TRUE(Soon([&] { return window->Core().Servers().States() == Entries{kStateFalse}; }));
        EXPECT_NE(window->Core().AlarmLog().find(
                      gbk::FromUtf8(" ------ Center 位置服务器 2024-05-01 08:30:00.0 异常 ------")),
                  std::string::npos);
        EXPECT_TRUE(window->IsSounding());
        EXPECT_EQ(window->windowTitle(), QString::fromUtf8(kAlarmTitle));
        ClosePromptly(*window);
    }
    EXPECT_TRUE(fs::is_directory(dir / kAlarmLogFileName));
}

TEST_F(Faults, MissingOrBrokenSosWavFallsBackToTheBuiltInSound) {
    CurrentDir inDir(dir.path());
    ASSERT_TRUE(inDir.ok());
    const fs::path wav = dir / "sos.wav";
    struct Case {
        const char* name;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"missing", [] {}},
        {"empty", [&] { WriteFileBytes(wav, ""); }},
        {"text", [&] { WriteFileBytes(wav, "this is not a sound"); }},
        {"RIFF of another kind", [&] { WriteFileBytes(wav, std::string("RIFF\x10\0\0\0AVI LIST", 16)); }},
        {"cut after the RIFF tag", [&] { WriteFileBytes(wav, "RIFF"); }},
        {"a folder", [&] { fs::create_directory(wav); }},
        {"a FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(wav.c_str(), 0644), 0); }},
    };
    {
        CTessivDlg window(Quiet(dir.path()));
        auto* sound = window.findChild<AlarmSound*>();
        ASSERT_NE(sound, nullptr);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            fs::remove_all(wav);
            c.make();
            QElapsedTimer clock;
            clock.start();
            window.Core().RaiseAlarm("alarm", true);
            EXPECT_TRUE(window.IsSounding());
            EXPECT_EQ(sound->Source(), AlarmSound::kBuiltInSound);
            EXPECT_EQ(window.windowTitle(), QString::fromUtf8(kAlarmTitle));
            window.OnSilence();
            EXPECT_FALSE(window.IsSounding());
            // There is no audio server here: starting and stopping must not wait for one.
            EXPECT_LT(clock.elapsed(), kPromptCloseMs);
        }
        SCOPED_TRACE("a real WAV file is taken, so the cases above did fall back");
        fs::remove_all(wav);
        const std::string wave =
            ReadFileBytes(fs::path(TESSIV_TEST_DATA) / ".." / ".." / "res" / "alarm.wav");
        ASSERT_FALSE(wave.empty());
        WriteFileBytes(wav, wave);
        window.Core().RaiseAlarm("alarm", true);
        EXPECT_EQ(sound->Source(), QUrl::fromLocalFile(QString::fromStdString(wav.string())));
        EXPECT_TRUE(window.IsSounding());

        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 50; ++i) {
            window.Core().RaiseAlarm("again", true);
            window.OnSilence();
        }
        EXPECT_FALSE(window.IsSounding());
        EXPECT_LT(clock.elapsed(), 10'000);
    }
}

TEST_F(Faults, ClosingDuringAHangingQueryEndsPromptly) {
    StatusHost host(Scenario{.hang = true});
    auto window = OpenWindow({"Hang," + host.url() + "@1"}, Running(0ms, 0ms));
    ASSERT_TRUE(Soon([&] { return host.requestCount() >= 1; }));
    CloseMidRound(*window);
}

// A name server that swallows every query: the status URL's host name is never resolved. The test runs
// itself again in a private mount namespace whose resolv.conf names that server (root only, as in CI).
TEST_F(Faults, ClosingDuringAHungNameLookupEndsPromptly) {
    const char* host = "Slow,http://status.tessiv-test.invalid:89/Interface/tarv/tarvAction_appreg.action@1";
    if (std::getenv("TESSIV_PRIVATE_RESOLVER") != nullptr) {
        auto window = OpenWindow({host}, Running(0ms, 1h));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->Core().IsRoundRunning(); }, 5000));
        QTest::qWait(300);  // the lookup is under way and will not return
        ASSERT_TRUE(window->Core().IsRoundRunning());
        EXPECT_LT(Close(*window), 1500);
        return;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "a private resolv.conf needs root";

    int silent = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(0x7F350001);  // 127.53.0.1, out of the way of any local resolver
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    WriteFileBytes(dir / "resolv.conf", "nameserver 127.53.0.1\noptions timeout:30 attempts:1\n");

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RerunInPrivateMounts("TESSIV_PRIVATE_RESOLVER", "1",
                                   PrivateMount::Bind(dir / "resolv.conf", "/etc/resolv.conf")),
              0);
    EXPECT_LT(clock.elapsed(), 15'000) << "the process did not end while the lookup hung";
    char query[512];
    EXPECT_GT(::recv(silent, query, sizeof query, MSG_DONTWAIT), 0) << "the lookup never reached the server";
    ::close(silent);
}

// A system without the GBK converter: the program says so and ends, instead of handing iconv a converter
// that is not there. The converters' folder is hidden in a private mount namespace (root only, as in CI).
TEST_F(Faults, MissingGbkConverterEndsTheProgramWithAClearMessage) {
    if (::geteuid() != 0) GTEST_SKIP() << "hiding the converters needs root";
    const fs::path converters = "/usr/lib/x86_64-linux-gnu/gconv";
    ASSERT_TRUE(fs::is_directory(converters));
    const fs::path errors = dir / "stderr.txt";
    ChildProcess program({"unshare", "-m", "--", "sh", "-c", "mount -t tmpfs none \"$1\" && exec \"$2\"",
                          "sh", converters.string(), TESSIV_EXECUTABLE},
                         {.stderrFile = errors});
    ASSERT_TRUE(program.WaitEnd(30s)) << ReadFileBytes(errors);  // it ends at its start
    EXPECT_EQ(program.ExitCode(), 1) << program.Describe();
    EXPECT_NE(ReadFileBytes(errors).find("cannot convert GBK text"), std::string::npos)
        << ReadFileBytes(errors);
}

TEST_F(Faults, ClosingDuringThePausesEndsPromptly) {
    {
        SCOPED_TRACE("the pause after an entry");
        StatusHost first;
        StatusHost second;
        auto window = OpenWindow({"A," + first.url() + "@1", "B," + second.url() + "@1"}, Running(10s, 0ms));
        ASSERT_TRUE(Soon([&] { return window->Core().RunLog().find("001 <") != std::string::npos; }));
        CloseMidRound(*window);
        EXPECT_EQ(second.requestCount(), 0);  // the round was still pausing after the first entry
    }
    {
        SCOPED_TRACE("the pause before the next round is armed");
        StatusHost host;
        // A paused entry is skipped without a pause, so the round goes straight to the all-clear and the
        // last pause.
        auto window = OpenWindow({"P," + host.url() + "@0"}, Running(10s, 0ms));
        ASSERT_TRUE(Soon([&] { return window->windowTitle() == QString::fromUtf8(kQuietTitle); }));
        CloseMidRound(*window);
    }
}

TEST_F(Faults, ClosingWhileTheWorkerWaitsOnTheWindowEndsPromptly) {
    {
        SCOPED_TRACE("the alarm call is waiting in the window's queue");
        std::atomic<bool> asked{false};
        StatusHost host([&](int) {
            asked = true;
            return Scenario{.apps = {{"空间不足", "t"}, {"安全报警", "t"}}, .delay = 100ms};
        });
        auto window = OpenWindow({"F," + host.url() + "@1"}, Running(0ms, 1h));
        ASSERT_TRUE(Soon([&] { return asked.load(); }));
        // The window thread stops serving events; the answer comes and the worker's alarm call waits for it.
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(window->Core().AlarmLog().empty());
        ASSERT_TRUE(window->Core().IsRoundRunning());
        ClosePromptly(*window);
        // The waiting call was served while closing: the line reached the pane and log.txt, but a closing
        // window neither sounds nor comes to the front.
        EXPECT_NE(window->Core().AlarmLog().find(gbk::FromUtf8("F 空间不足")), std::string::npos);
        EXPECT_NE(ReadFileBytes(dir / kAlarmLogFileName).find(gbk::FromUtf8("F 空间不足")),
                  std::string::npos);
        EXPECT_FALSE(window->IsSounding());
    }
    {
        SCOPED_TRACE("many faulty hosts, closed at random moments");
        StatusHost faulty(
            Scenario{.apps = {{"QUARLEX服务器", "t"}, {"数据库日志需要清理", "t"}, {"报表", "t"}}});
        StatusHost normal;
        Entries entries;
        for (int i = 0; i < 8; ++i) entries.push_back("F" + std::to_string(i) + "," + faulty.url() + "@1");
        entries.push_back("N," + normal.url() + "@1");
        entries.push_back("X,http://127.0.0.1:" + std::to_string(RefusedPort()) + "/x@1");
        const unsigned seed = std::random_device{}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> delayMs(0, 40);
        int closedMidRound = 0;
        for (int attempt = 0; attempt < 40; ++attempt) {
            auto window = OpenWindow(entries, Running(0ms, 0ms));
            QTest::qWait(delayMs(random));
            if (window->Core().IsRoundRunning()) ++closedMidRound;
            SCOPED_TRACE("attempt " + std::to_string(attempt));
            ClosePromptly(*window);
        }
        EXPECT_GT(closedMidRound, 0);
        EXPECT_GT(faulty.requestCount(), 0);
    }
}

TEST_F(Faults, ClosingRightAfterTheNextRoundWasArmedStartsNoOtherRound) {
    {
        SCOPED_TRACE("closed as the round reports its end");
        StatusHost host;
        auto window = OpenWindow({"A," + host.url() + "@1"}, Running(0ms, 50ms));
        qint64 closeMs = -1;
        int requestsAtClose = -1;
        QObject::connect(window.get(), &CTessivDlg::RoundFinished, window.get(), [&] {
            if (closeMs >= 0) return;
            requestsAtClose = host.requestCount();
            closeMs = Close(*window);
        });
        ASSERT_TRUE(Soon([&] { return closeMs >= 0; }));
        EXPECT_LT(closeMs, kPromptCloseMs);
        EXPECT_FALSE(window->Core().IsRoundRunning());
        QTest::qWait(300);  // six times the next-round delay
        EXPECT_EQ(host.requestCount(), requestsAtClose);
        EXPECT_FALSE(window->Core().IsRoundRunning());
    }
    {
        SCOPED_TRACE("closed before the window has handled the arming");
        std::atomic<bool> asked{false};
        // No "msg": a normal report that writes nothing, so the worker needs no call into the window.
        StatusHost host([&](int) {
            asked = true;
            return Scenario{.rawBody = "quiet", .delay = 50ms};
        });
        auto window = OpenWindow({"P,http://127.0.0.1:1/p@0", "Q," + host.url() + "@1"}, Running(0ms, 0ms));
        {
            // A paused entry that is not normal holds the all-clear back, which would call into the window.
            ServerLists::Locked lists = window->Core().Servers().Lock();
            lists.m_arrServerStates[0] = kStateFalse;
        }
        ASSERT_TRUE(Soon([&] { return asked.load(); }));
        std::this_thread::sleep_for(500ms);  // the worker finishes and asks for the next round meanwhile
        ASSERT_FALSE(window->Core().IsRoundRunning());
        ASSERT_EQ(window->Core().RunLog().find("002 <"), std::string::npos);
        EXPECT_LT(Close(*window), kPromptCloseMs);
        QTest::qWait(300);  // the arming is handled now, by a closed window
        EXPECT_EQ(host.requestCount(), 1);
        EXPECT_FALSE(window->Core().IsRoundRunning());
    }
}

}  // namespace
