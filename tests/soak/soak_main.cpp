// tessiv-soak: runs the real monitor window offscreen for many rounds against ten status hosts on 127.0.0.1
// whose answers change every few rounds, and checks that the process does not grow (resident memory, file
// descriptors, threads) and that every alarm raised reached log.txt, in order.
//
//   tessiv-soak [--rounds N] [--warmup W] [--time-limit SECONDS] [--history]
//
// Exit status 0 when every target is met, 1 when one is missed, 2 on a usage error, 3 when it hung.
#include <curl/curl.h>
#include <dirent.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history/history_store.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"
#include "servers/server_lists.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

constexpr int kHosts = 10;
constexpr int kHoldRounds = 3;  // a host keeps its answer this many rounds
constexpr int kStepsPerCycle = 8;
constexpr long kMaxRssGrowthKb = 1024;
// A sanitizer's shadow memory and history grow with the run, so there the memory figure is only shown.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryTarget = false;
#else
constexpr bool kMemoryTarget = true;
#endif
const char* const kAppTime = "2024-05-01 08:30:00.0";

// What a host answers in one round.
enum class Answer {
    Normal,
    Slow,  // normal, after a few milliseconds
    Quarlex,
    Location,
    DiskSpace,
    DbLog,
    Security,
    Unclassified,
    Several,  // disk space, an unclassified application and a security alarm in one report
    NotFound,
    ServerError,
    Unreachable,  // the entry points at a port nobody listens on
};

constexpr std::array kFaultRotation{Answer::Normal,       Answer::Quarlex,    Answer::Location,
                                    Answer::DiskSpace,    Answer::DbLog,      Answer::Security,
                                    Answer::Unclassified, Answer::Several,    Answer::NotFound,
                                    Answer::ServerError,  Answer::Unreachable};

const char* const kQuarlex = "QUARLEX服务器";
const char* const kLocation = "位置服务器";
const char* const kDiskSpace = "空间不足";
const char* const kDbLog = "数据库日志需要清理";
const char* const kSecurity = "安全报警";
const char* const kUnclassified = "报表生成器";
const char* const kConnection = "网站";

// Every host changes its answer every kHoldRounds rounds; the last step of each cycle is calm for all, so the
// all-clear comes regularly. Host 0 counts the rounds and is never unreachable.
Answer Plan(int host, int round) {
    const int step = (round / kHoldRounds) % kStepsPerCycle;
    if (step == kStepsPerCycle - 1) return host % 2 == 0 ? Answer::Normal : Answer::Slow;
    const int cycle = round / (kHoldRounds * kStepsPerCycle);
    Answer answer = kFaultRotation[static_cast<std::size_t>(host * 5 + step + cycle) % kFaultRotation.size()];
    if (host == 0 && answer == Answer::Unreachable) return Answer::Normal;
    return answer;
}

std::vector<StatusApp> Apps(Answer answer) {
    switch (answer) {
        case Answer::Quarlex:
            return {{kQuarlex, kAppTime}};
        case Answer::Location:
            return {{kLocation, kAppTime}};
        case Answer::DiskSpace:
            return {{kDiskSpace, kAppTime}};
        case Answer::DbLog:
            return {{kDbLog, kAppTime}};
        case Answer::Security:
            return {{kSecurity, kAppTime}};
        case Answer::Unclassified:
            return {{kUnclassified, kAppTime}};
        case Answer::Several:
            return {{kDiskSpace, kAppTime}, {kUnclassified, kAppTime}, {kSecurity, kAppTime}};
        default:
            return {};
    }
}

Scenario ScenarioFor(Answer answer) {
    Scenario scenario;
    scenario.apps = Apps(answer);
    if (answer == Answer::Slow) scenario.delay = 4ms;
    if (answer == Answer::NotFound) scenario.status = 404;
    if (answer == Answer::ServerError) scenario.status = 500;
    return scenario;
}

bool IsNormal(Answer answer) {
    return answer == Answer::Normal || answer == Answer::Slow;
}
bool IsConnectionFault(Answer answer) {
    return answer == Answer::NotFound || answer == Answer::ServerError || answer == Answer::Unreachable;
}

std::string HostName(int host) {
    return (host < 10 ? "Host-0" : "Host-") + std::to_string(host);
}

// One alarm as log.txt must hold it.
struct Record {
    int number;          // the entry's display number
    std::string middle;  // GBK " ------ NAME APP " that the line must contain
    bool sound;
};

// The alarms of rounds [0, rounds) in the order the rounds raise them, with the sound flag each must carry:
// classified applications sound (nothing is muted), a connection fault only after a round that was not
// normal.
std::vector<Record> ExpectedRecords(int rounds) {
    std::vector<Record> records;
    std::array<bool, kHosts> previousNormal;
    previousNormal.fill(true);
    for (int round = 0; round < rounds; ++round) {
        for (int host = 0; host < kHosts; ++host) {
            const Answer answer = Plan(host, round);
            auto add = [&](const char* app, bool sound) {
                records.push_back(
                    {host + 1, gbk::FromUtf8(" ------ " + HostName(host) + " " + app + " "), sound});
            };
            if (IsConnectionFault(answer)) add(kConnection, !previousNormal[host]);
            for (const StatusApp& app : Apps(answer))
                if (app.name != kUnclassified) add(app.name.c_str(), true);
            previousNormal[host] = IsNormal(answer);
        }
    }
    return records;
}

struct LoggedRecord {
    std::string line;
    bool sound = false;
};

std::vector<LoggedRecord> ReadLog(const std::filesystem::path& file) {
    const std::string text = ReadFileBytes(file);
    std::vector<LoggedRecord> records;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line == "alarm sound ..." && !records.empty() && !records.back().sound)
            records.back().sound = true;
        else
            records.push_back({std::move(line), false});
    }
    return records;
}

std::string Utf8(const std::string& gbkText) {
    return gbk::ToQString(gbkText).toStdString();
}

// Empty when log.txt holds exactly the expected records; otherwise the first difference.
std::string CompareLog(const std::vector<Record>& expected, const std::vector<LoggedRecord>& logged) {
    const std::size_t common = std::min(expected.size(), logged.size());
    for (std::size_t i = 0; i < common; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%03d", expected[i].number);
        const LoggedRecord& got = logged[i];
        if (!got.line.starts_with(number) || got.line.find(expected[i].middle) == std::string::npos ||
            got.sound != expected[i].sound) {
            return "record " + std::to_string(i) + ": expected entry " + number + Utf8(expected[i].middle) +
                   (expected[i].sound ? " with sound" : " silent") + ", got \"" + Utf8(got.line) + "\"" +
                   (got.sound ? " with sound" : " silent");
        }
    }
    if (expected.size() != logged.size())
        return "expected " + std::to_string(expected.size()) + " records, log.txt holds " +
               std::to_string(logged.size());
    return {};
}

struct Sample {
    long rssKb = -1;
    int fds = -1;
    int threads = -1;
    bool taken = false;
};

long StatusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string key;
    const std::string wanted = std::string(name) + ":";
    while (in >> key) {
        if (key == wanted) {
            long value = -1;
            in >> value;
            return value;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* item = ::readdir(dir))
        if (item->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the one opendir holds
}

Sample TakeSample() {
    return {StatusField("VmRSS"), OpenDescriptors(), static_cast<int>(StatusField("Threads")), true};
}

// The offscreen platform warns at every alarm that it cannot raise a window; thousands of those would bury
// the report. Everything else goes through.
QtMessageHandler g_defaultHandler = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.contains(QLatin1String("does not support raise()"))) return;
    if (g_defaultHandler != nullptr) g_defaultHandler(type, context, message);
}

struct Options {
    int rounds = 10000;
    int warmup = -1;
    int timeLimitSeconds = -1;
    bool history = false;  // record the rounds and alarms in history.sqlite, as the program does by default
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](int& out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (end == nullptr || *end != '\0' || value <= 0 || value > 10'000'000) return false;
            out = static_cast<int>(value);
            return true;
        };
        bool ok = false;
        if (arg == "--history") ok = options.history = true;
        if (arg == "--rounds") ok = number(options.rounds);
        if (arg == "--warmup") ok = number(options.warmup);
        if (arg == "--time-limit") ok = number(options.timeLimitSeconds);
        if (!ok) return std::nullopt;
    }
    if (options.warmup < 0) options.warmup = std::min(200, options.rounds / 2);
    if (options.warmup >= options.rounds) return std::nullopt;
    // Generous: a round takes milliseconds; this only ends a run that stopped moving.
    if (options.timeLimitSeconds < 0) options.timeLimitSeconds = 120 + options.rounds / 10;
    return options;
}

// Ends the process if the run, the close included, is still going a minute past its time limit: a close that
// hangs must fail the script that called us, not stall it.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock hold(m_mutex);
              if (m_wake.wait_for(hold, limit, [this] { return m_done; })) return;
              std::fprintf(stderr, "tessiv-soak: still running after %lld s, giving up\n",
                           static_cast<long long>(limit.count()));
              std::fflush(stderr);
              std::_Exit(3);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard hold(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;  // last: starts once the members it uses exist
};

// What host 0's handler tells the driver. Host 0 is the first entry, so its n-th request starts round n; by
// then round n-1 has armed the timer and every record of earlier rounds is in log.txt.
struct Progress {
    std::atomic<int> roundsStarted{0};
    std::mutex mutex;
    Sample warm;
    Sample end;
    Sample peak;
};

int Run(const Options& options) {
    Watchdog watchdog(std::chrono::seconds(options.timeLimitSeconds + 60));
    TempDir dir;
    Progress progress;
    const int closedPort = [] {
        StatusHost gone;
        return gone.port();
    }();
    const std::string unreachableUrl = "http://127.0.0.1:" + std::to_string(closedPort) + kStatusPath;

    std::vector<std::unique_ptr<StatusHost>> hosts;
    history::HistoryStore history;  // outlives the window, which tells it to the end
    std::unique_ptr<CTessivDlg> window;
    std::atomic<ServerLists*> servers{nullptr};

    auto entryLine = [&](int host, int round) {
        const std::string url =
            Plan(host, round) == Answer::Unreachable ? unreachableUrl : hosts[host]->url();
        return HostName(host) + "," + url + "@1";
    };

    // Host 0 also points the other entries at their hosts, or at the closed port, for the round it starts.
    hosts.push_back(std::make_unique<StatusHost>([&](int round) {
        progress.roundsStarted = round + 1;
        if (round == options.warmup || round == options.rounds || round % 100 == 0) {
            const Sample sample = TakeSample();
            std::lock_guard hold(progress.mutex);
            if (round == options.warmup) progress.warm = sample;
            if (round == options.rounds) progress.end = sample;
            if (round >= options.warmup && sample.rssKb > progress.peak.rssKb) progress.peak = sample;
        }
        if (round >= options.rounds)
            return Scenario{.hang = true};  // holds the round until the window closes
        if (ServerLists* lists = servers.load()) {
            ServerLists::Locked locked = lists->Lock();
            for (int host = 1; host < kHosts && host < static_cast<int>(locked.m_arrServers.size()); ++host)
                locked.m_arrServers[host] = entryLine(host, round);
        }
        return ScenarioFor(Plan(0, round));
    }));
    // A host's own request count falls behind the rounds while it is unreachable, so it answers for the round
    // host 0 started.
    for (int host = 1; host < kHosts; ++host) {
        hosts.push_back(std::make_unique<StatusHost>(
            [host, &progress](int) { return ScenarioFor(Plan(host, progress.roundsStarted.load() - 1)); }));
    }

    std::string setting;
    for (int host = 0; host < kHosts; ++host) setting += entryLine(host, 0) + "\r\n";
    WriteFileBytes(dir / "Setting.ini", setting);

    MonitorSettings settings;
    settings.dataDir = dir.path();
    settings.pacing = {0ms, 0ms, 0ms, 0ms};
    settings.queryLimits.connectTimeout = 2s;
    settings.queryLimits.totalTimeout = 5s;

    if (options.history) settings.roundObserver = &history;

    QElapsedTimer clock;
    clock.start();
    window = std::make_unique<CTessivDlg>(settings);
    if (options.history) {
        window->Core().AddAlarmObserver(&history);
        history.Start(dir / history::kHistoryFileName);
    }
    servers = &window->Core().Servers();

    QEventLoop loop;
    QTimer watch;
    int lastReported = 0;
    bool timedOut = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int started = progress.roundsStarted.load();
        if (started > options.rounds) {
            loop.quit();
            return;
        }
        if (clock.elapsed() > options.timeLimitSeconds * 1000LL) {
            timedOut = true;
            loop.quit();
            return;
        }
        if (started / 1000 != lastReported / 1000) {
            std::fprintf(stderr, "tessiv-soak: %d of %d rounds, %.1f s\n", started - 1, options.rounds,
                         static_cast<double>(clock.elapsed()) / 1000.0);
            lastReported = started;
        }
    });
    watch.start(20);
    loop.exec();
    watch.stop();
    const double runSeconds = static_cast<double>(clock.elapsed()) / 1000.0;

    QElapsedTimer closeClock;
    closeClock.start();
    window->OnExit();
    const qint64 closeMs = closeClock.elapsed();
    const bool workerEnded = !window->Core().IsRoundRunning();
    servers = nullptr;
    window.reset();
    hosts.clear();

    const int completed = std::min(progress.roundsStarted.load() - 1, options.rounds);
    const std::vector<Record> expected = ExpectedRecords(completed);
    const std::vector<LoggedRecord> logged = ReadLog(dir / "log.txt");
    const std::string logDifference = CompareLog(expected, logged);
    std::size_t expectedSounds = 0;
    std::size_t loggedSounds = 0;
    for (const Record& record : expected) expectedSounds += record.sound ? 1 : 0;
    for (const LoggedRecord& record : logged) loggedSounds += record.sound ? 1 : 0;

    Sample warm, end, peak;
    {
        std::lock_guard hold(progress.mutex);
        warm = progress.warm;
        end = progress.end;
        peak = progress.peak;
    }

    bool passed = true;
    auto row = [&](const char* name, const std::string& atWarmup, const std::string& atEnd,
                   const std::string& change, const std::string& target, bool ok) {
        std::printf("| %-24s | %12s | %12s | %10s | %-16s | %-4s |\n", name, atWarmup.c_str(), atEnd.c_str(),
                    change.c_str(), target.c_str(), ok ? "ok" : "MISS");
        passed = passed && ok;
    };
    auto text = [](long value) { return std::to_string(value); };
    auto signedText = [](long value) { return (value > 0 ? "+" : "") + std::to_string(value); };

    std::printf("tessiv-soak: %d hosts, %d rounds completed of %d asked, warm-up %d rounds\n", kHosts,
                completed, options.rounds, options.warmup);
    std::printf("| %-24s | %12s | %12s | %10s | %-16s | %-4s |\n", "measure", "warm-up", "end", "change",
                "target", "");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(26, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(12, '-').c_str(), std::string(18, '-').c_str(),
                std::string(6, '-').c_str());
    row("rounds", text(options.warmup), text(completed), signedText(completed - options.warmup),
        "= " + text(options.rounds), !timedOut && completed == options.rounds);
    const bool sampled = warm.taken && end.taken;
    row("resident memory (kB)", text(warm.rssKb), text(end.rssKb), signedText(end.rssKb - warm.rssKb),
        kMemoryTarget ? "< +" + text(kMaxRssGrowthKb) : "(sanitizer)",
        !kMemoryTarget || (sampled && end.rssKb - warm.rssKb < kMaxRssGrowthKb));
    row("peak after warm-up (kB)", "", text(peak.rssKb), signedText(peak.rssKb - warm.rssKb), "(shown only)",
        true);
    row("open descriptors", text(warm.fds), text(end.fds), signedText(end.fds - warm.fds), "no growth",
        sampled && end.fds <= warm.fds);
    row("threads", text(warm.threads), text(end.threads), signedText(end.threads - warm.threads), "no growth",
        sampled && end.threads <= warm.threads);
    row("alarms raised", "", text(static_cast<long>(expected.size())), "", "", true);
    row("log.txt records", "", text(static_cast<long>(logged.size())),
        signedText(static_cast<long>(logged.size()) - static_cast<long>(expected.size())), "all, in order",
        logDifference.empty());
    row("records with sound", "", text(static_cast<long>(loggedSounds)),
        signedText(static_cast<long>(loggedSounds) - static_cast<long>(expectedSounds)),
        "= " + text(static_cast<long>(expectedSounds)), loggedSounds == expectedSounds);
    row("close (ms)", "", text(static_cast<long>(closeMs)), "", "< 3000, ended",
        closeMs < 3000 && workerEnded);
    std::printf("run time %.1f s, %.2f ms a round\n", runSeconds,
                completed > 0 ? runSeconds * 1000.0 / completed : 0.0);
    if (timedOut) std::printf("stopped by the time limit of %d s\n", options.timeLimitSeconds);
    if (!logDifference.empty()) std::printf("log.txt: %s\n", logDifference.c_str());
    if (options.history) {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(dir / history::kHistoryFileName, error);
        std::printf("history.sqlite: %.1f MiB\n", error ? 0.0 : static_cast<double>(bytes) / 1048576);
    }
    std::printf("%s\n", passed ? "tessiv-soak: all targets met" : "tessiv-soak: TARGET MISSED");
    std::fflush(stdout);
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--rounds N] [--warmup W < N] [--time-limit SECONDS] [--history]\n",
                     argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    g_defaultHandler = qInstallMessageHandler(FilterMessages);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = 0;
    {
        QApplication app(argc, argv);
        result = Run(*options);
        if (AudioStackOpened()) {
            // As the program does: Qt Multimedia's exit handlers can deadlock.
            std::fflush(nullptr);
            ::_exit(result);
        }
    }
    curl_global_cleanup();
    return result;
}
