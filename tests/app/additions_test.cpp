// What tessiv.conf adds to the monitor, attached as `tessiv --headless` attaches it: the core with the
// service's own view (standard output, which never sounds), status hosts on 127.0.0.1, a hook script that
// records every notice, and a clock the test sets. No GUI library.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "app/additions.h"
#include "app/monitor_command.h"
#include "core/monitor_core.h"
#include "guard/single_instance.h"
#include "service/stdout_view.h"
#include "tests/integrations/support.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "text/time_text.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

const Scenario kFault{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}};
constexpr const char* kFaultLine = "位置服务器 2012-05-06 06:00:00 异常";

// A file the view writes its lines to, as the service's standard output.
class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& file)
        : m_fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
    ~OutputFile() { ::close(m_fd); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

class HeadlessAdditions : public testing::Test {
protected:
    // Writes Setting.ini and tessiv.conf (the hook script and `alarm` as its [alarm] section), then makes and
    // starts the core with the additions as the headless front does.
    void Open(const std::string& entry, const std::string& alarm) {
        WriteFileBytes(dir / "Setting.ini", gbk::FromUtf8(entry) + "\r\n");
        WriteScript(dir.path(), "hook.sh",
                    "printf 'category=%s\\nline=%s\\n---\\n' \"$TESSIV_CATEGORY\" \"$TESSIV_LINE\" >> " +
                        (dir / "seen").string());
        WriteConf(alarm);
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 30ms};
        settings.clock = [this] { return now.load(); };
        additions.Prepare(settings);
        core = std::make_unique<MonitorCore>(std::move(settings), view);
        additions.Attach(*core);
        core->Start();
    }
    void WriteConf(const std::string& alarm) {
        WriteFileBytes(dir / "tessiv.conf",
                       "[hooks]\ncommand = " + (dir / "hook.sh").string() + "\n[alarm]\n" + alarm);
    }

    std::string Seen() const { return ReadFileBytes(dir / "seen"); }
    std::string Output() const { return ReadFileBytes(dir / "stdout.txt"); }
    std::size_t Escalations() const { return Count(Seen(), "category=escalation"); }
    static bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }
    bool WaitForRequests(const StatusHost& host, int count) {
        return WaitFor([&] { return host.requestCount() >= count; });
    }

    int argc = 1;
    char name[10] = "additions";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
    std::atomic<std::time_t> now{std::time(nullptr)};
    TempDir dir;
    OutputFile output{dir / "stdout.txt"};
    StdoutView view{output.Fd()};
    Additions additions;
    std::unique_ptr<MonitorCore> core;  // goes first
};

TEST_F(HeadlessAdditions, AnAlarmNobodyDealsWithIsEscalatedOnceWithoutASound) {
    StatusHost host(kFault);
    const std::time_t start = now;
    Open("中心-A," + host.url() + "@1", "escalate_after = 1\n");
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=server") >= 1; })) << Seen();
    EXPECT_TRUE(WaitFor([&] { return Count(Output(), std::string("<3>")) >= 1; })) << Output();
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 3));
    EXPECT_FALSE(view.IsSounding());
    EXPECT_EQ(Escalations(), 0u) << "not before its time";

    // A minute on, the alarm is told once more with the lines still in fault.
    now = start + 61;
    ASSERT_TRUE(WaitFor([&] { return Escalations() == 1; })) << Seen();
    const std::string seen = Seen();
    const std::size_t lineAt = seen.find("line=", seen.find("category=escalation"));
    EXPECT_NE(seen.substr(lineAt, seen.find('\n', lineAt) - lineAt).find(kFaultLine), std::string::npos)
        << seen;

    // Once per alarm.
    now = start + 3600;
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 10));
    QTest::qWait(50);
    EXPECT_EQ(Escalations(), 1u) << Seen();
}

TEST_F(HeadlessAdditions, AnAlarmTheAllClearEndedIsNotEscalated) {
    StatusHost host([](int request) { return request == 0 ? kFault : Scenario{}; });
    const std::time_t start = now;
    Open("中心-A," + host.url() + "@1", "escalate_after = 1\n");
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=clear") >= 1; })) << Seen();

    now = start + 3600;
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 10));
    QTest::qWait(50);
    EXPECT_EQ(Count(Seen(), "category=server"), 1u) << Seen();
    EXPECT_EQ(Escalations(), 0u) << Seen();
}

TEST_F(HeadlessAdditions, AReloadTakesEscalationUp) {
    StatusHost host(kFault);
    Open("中心-A," + host.url() + "@1", "");
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=server") >= 1; })) << Seen();

    // As SIGHUP reloads: tessiv.conf is taken again once no round runs.
    WriteConf("escalate_after = 1\n");
    bool reloaded = false;
    core->Reload([&] {
        additions.Reload();
        reloaded = true;
    });
    ASSERT_TRUE(WaitFor([&] { return reloaded; }));
    now = now.load() + 3600;
    ASSERT_TRUE(WaitFor([&] { return Escalations() == 1; })) << Seen();
}

// `tessiv --ack NAME` against a running monitor: the host's known fault stays quiet (log.txt without "alarm
// sound", no hook) until it recovers; then it alarms again; a fault of another category ends it at once.
TEST_F(HeadlessAdditions, AnAcknowledgedFaultStaysQuietUntilItChanges) {
    StatusHost host(kFault);
    const int metrics = FreePort();
    const int page = FreePort();
    Open("中心-A," + host.url() + "@1", "[metrics]\nlisten = " + std::to_string(metrics) +
                                            "\n[web]\nlisten = " + std::to_string(page) + "\n");
    SingleInstance instance(dir.path());
    instance.SetWindowless();
    ASSERT_EQ(instance.TakeOrHandOver({}), SingleInstance::Claim::First) << instance.Note();
    ServeAcknowledgements(instance, *additions.Acknowledgements());
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=server") >= 1; })) << Seen();

    const auto command = [&](const std::string& verb, const std::string& hostName,
                             const std::vector<std::string>& as = {}) {
        std::vector<std::string> words = as;
        for (const std::string& word :
             {std::string(TESSIV_EXECUTABLE), verb, hostName, std::string("--data-dir"), dir.path().string()})
            words.push_back(word);
        ChildProcess child(words, {.stdoutFile = dir / "command.txt", .stderrFile = dir / "command.txt"});
        // The monitor answers on this thread: keep its loop turning while the command waits.
        EXPECT_TRUE(WaitFor([&] { return child.Ended(); }));
        return std::pair{child.ExitCode(), ReadFileBytes(dir / "command.txt")};
    };
    EXPECT_EQ(command("--ack", "无此主机").first, 1);
    const auto [status, said] = command("--ack", "中心-A");
    ASSERT_EQ(status, 0) << said;
    EXPECT_TRUE(std::filesystem::exists(dir / "acknowledged.ini"));

    // From now on the lines carry another time: three more faulty rounds, each recorded, none sounding,
    // none told to the hook.
    now = now.load() + 100;
    const std::string quiet = "<" + FormatLocalTime(now, kPaneTimeFormat) + ">";
    ASSERT_TRUE(WaitFor([&] { return Count(ReadFileBytes(dir / "log.txt"), quiet) >= 3; }));
    const std::string log = ReadFileBytes(dir / "log.txt");
    EXPECT_EQ(Count(log.substr(log.find(quiet)), "alarm sound"), 0u) << log;
    // The metrics and the status page say so.
    EXPECT_EQ(Scrape(metrics)["tessiv_server_acknowledged{address=\"" + host.url() + "\",server=\"中心-A\"}"],
              1);
    httplib::Client client("127.0.0.1", page);
    const auto answer = client.Get("/api/status");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->body.find("\"acknowledged\":true"), std::string::npos) << answer->body;

    // Recovered, then down again: told, and the alarm is back.
    host.SetScenario({});
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=clear") == 1; })) << Seen();
    EXPECT_EQ(Count(Seen(), quiet), 0u) << Seen();
    EXPECT_FALSE(std::filesystem::exists(dir / "acknowledged.ini"));
    host.SetScenario(kFault);
    now = now.load() + 100;
    const std::string again = "<" + FormatLocalTime(now, kPaneTimeFormat) + ">";
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), again) >= 1; })) << Seen();

    // Another category ends the acknowledgement: the disk fault alarms.
    ASSERT_EQ(command("--ack", "中心-A").first, 0);
    host.SetScenario(Scenario{.apps = {{"空间不足", "t"}}});
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=disk") == 1; })) << Seen();

    // Only the monitor's own user may acknowledge.
    if (::geteuid() == 0) {
        host.SetScenario(kFault);
        const std::size_t before = Count(Seen(), "category=server");
        ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "category=server") > before; })) << Seen();
        const auto [refused, why] =
            command("--ack", "中心-A", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        EXPECT_EQ(refused, 1) << why;
        EXPECT_NE(why.find("another user"), std::string::npos) << why;
        EXPECT_FALSE(std::filesystem::exists(dir / "acknowledged.ini"));
    }
}

}  // namespace
