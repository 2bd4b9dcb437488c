#include "polling/status_query.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "tools/scenario_file.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

class CurlEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
        // A developer's proxy setting must not send the local test hosts through it.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    }
    void TearDown() override { curl_global_cleanup(); }
};
testing::Environment* const curlEnvironment = testing::AddGlobalTestEnvironment(new CurlEnvironment);

constexpr std::time_t kWhen = 1714552200;

// Short enough that a fault in the time-outs shows as a slow test rather than a stuck one.
QueryOptions Options(QueryLimits limits = {2000ms, 5000ms, 5}) {
    QueryOptions options;
    options.clock = [] { return kWhen; };
    options.limits = limits;
    return options;
}

// Failure counters are process-wide, so every test asks with URLs of its own.
std::string CaseUrl(const std::string& base, const std::string& tag = "") {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return base + "?case=" + info->test_suite_name() + "." + info->name() + tag;
}

Scenario WithStatus(int status) {
    Scenario scenario;
    scenario.status = status;
    scenario.apps = {{"数据采集", "2024-05-01 08:30:00.0"}};
    return scenario;
}

Scenario WithBody(std::string body) {
    Scenario scenario;
    scenario.rawBody = std::move(body);
    return scenario;
}

Scenario Redirecting(std::string location) {
    Scenario scenario;
    scenario.redirect = std::move(location);
    return scenario;
}

Scenario Hanging() {
    Scenario scenario;
    scenario.hang = true;
    return scenario;
}

std::string PatternBytes(std::size_t length) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

// A listening port nobody answers on: a connection attempt still completes into its backlog, which shows
// whether the query connected at all.
class ConnectionWatch {
public:
    ConnectionWatch() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        m_port = ntohs(address.sin_port);
    }
    ~ConnectionWatch() { ::close(m_fd); }
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    std::string hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    bool Connected() const {
        pollfd pending{m_fd, POLLIN, 0};
        return ::poll(&pending, 1, 0) > 0;
    }

private:
    int m_fd;
    int m_port = 0;
};

// Tells whether anything opened a file since the watch began.
class OpenWatch {
public:
    explicit OpenWatch(const std::filesystem::path& file) : m_fd(::inotify_init1(IN_NONBLOCK)) {
        if (m_fd < 0 || ::inotify_add_watch(m_fd, file.c_str(), IN_OPEN | IN_ACCESS) < 0)
            throw std::runtime_error("cannot watch " + file.string());
    }
    ~OpenWatch() { ::close(m_fd); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool Opened() const {
        char events[4096];
        return ::read(m_fd, events, sizeof events) > 0;
    }

private:
    int m_fd;
};

// Asks `url` once and expects a counted failure: true, the fault report in place of the old text, and the
// URL's counter one higher.
void ExpectFault(const std::string& url, const QueryOptions& options = Options()) {
    SCOPED_TRACE(url);
    const std::uint32_t before = FailureCount(url).value_or(0);
    std::string report = "earlier text";
    EXPECT_TRUE(QueryServerStatus(url, report, options));
    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
    EXPECT_EQ(FailureCount(url), before + 1);
}

TEST(ConnectionFaultReport, IsTheFixedGbkReportWithTheGivenTime) {
    const std::string sep = "\t\t\t\t\t\t ";
    const std::string time = FormatLocalTime(kWhen, "%Y-%m-%d %H:%M:%S.0");
    const std::string expected = "<msg>" + sep + "<apps>" + sep + "<app>" + sep +
                                 "<appname>\xCD\xF8\xD5\xBE</appname>" + sep + "<activetime>" + time +
                                 "</activetime>" + sep + "</app>" + sep + "</apps>" + sep + "</msg>";
    const std::string report = ConnectionFaultReport(kWhen);

    EXPECT_EQ(report, expected);
    EXPECT_EQ(report.size(), 153u);
    const std::size_t open = report.find("<activetime>") + std::string("<activetime>").size();
    EXPECT_EQ(report.substr(open, report.find("</", open) - open), time);
    EXPECT_NE(ConnectionFaultReport(kWhen + 61), report);
}

TEST(StatusQuerySuccess, AppendsTheReportAfterTheTextAlreadyThere) {
    Scenario scenario;
    scenario.apps = {{"数据采集", "2024-05-01 08:30:00.0"}, {"磁盘 空间", "2024-05-01 08:31:00.0"}};
    StatusHost host(scenario);
    const std::string url = CaseUrl(host.url());
    std::string report = "kept|";

    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report,
              "kept|<msg><apps>"
              "<app><appname>\xCA\xFD\xBE\xDD\xB2\xC9\xBC\xAF</appname>"
              "<activetime>2024-05-01 08:30:00.0</activetime></app>"
              "<app><appname>\xB4\xC5\xC5\xCC \xBF\xD5\xBC\xE4</appname>"
              "<activetime>2024-05-01 08:31:00.0</activetime></app>"
              "</apps></msg>");
    EXPECT_EQ(FailureCount(url), std::nullopt) << "a success creates no counter";

    std::string upper;
    EXPECT_TRUE(QueryServerStatus("HTTP" + url.substr(4), upper, Options()));
    EXPECT_EQ(upper, report.substr(5)) << "the scheme is matched without regard to case";
}

TEST(StatusQuerySuccess, KeepsOnlyTheFirst1024Bytes) {
    const std::string body = PatternBytes(1500);
    StatusHost host(WithBody(body));
    std::string report = "x";

    EXPECT_TRUE(QueryServerStatus(CaseUrl(host.url()), report, Options()));
    EXPECT_EQ(report, "x" + body.substr(0, 1024));

    // The host dying after the first 1024 bytes costs nothing: they were all that was wanted.
    Scenario dropped = WithBody(body);
    dropped.announcedLength = 4000;
    host.SetScenario(dropped);
    report.clear();
    EXPECT_TRUE(QueryServerStatus(CaseUrl(host.url(), "dropped"), report, Options()));
    EXPECT_EQ(report, body.substr(0, 1024));

    host.SetScenario(WithBody(PatternBytes(1024)));
    report.clear();
    EXPECT_TRUE(QueryServerStatus(CaseUrl(host.url(), "exact"), report, Options()));
    EXPECT_EQ(report, PatternBytes(1024));
}

TEST(StatusQuerySuccess, StopsAtTheFirstZeroByte) {
    StatusHost host(WithBody(std::string("0123456789\0<msg>after</msg>", 27)));
    std::string report = "x";

    EXPECT_TRUE(QueryServerStatus(CaseUrl(host.url()), report, Options()));
    EXPECT_EQ(report, "x0123456789");
}

TEST(StatusQuerySuccess, EmptyBodyLeavesTheReportAndResetsTheCounter) {
    StatusHost host(WithStatus(500));
    const std::string url = CaseUrl(host.url());
    ExpectFault(url);
    host.SetScenario(WithBody(""));
    std::string report = "untouched";

    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report, "untouched");
    EXPECT_EQ(FailureCount(url), 0u);
}

TEST(StatusQuerySuccess, FollowsAnHttpRedirect) {
    StatusHost target(WithBody("<msg>moved</msg>"));
    StatusHost host(Redirecting(target.url()));
    std::string report;

    EXPECT_TRUE(QueryServerStatus(CaseUrl(host.url()), report, Options()));
    EXPECT_EQ(report, "<msg>moved</msg>");
}

TEST(StatusQueryFailure, StatusOtherThan200CountsAndDropsTheBody) {
    StatusHost host(WithStatus(404));
    const std::string url = CaseUrl(host.url());
    std::string report = "earlier text";

    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
    EXPECT_EQ(FailureCount(url), 1u);

    for (int status : {500, 204, 201, 304}) {
        host.SetScenario(WithStatus(status));
        ExpectFault(CaseUrl(host.url(), std::to_string(status)));
    }
    ExpectFault(CaseUrl(host.baseUrl() + "/no/such/path"));
}

TEST(StatusQueryFailure, NoHostOrNoUsableUrl) {
    ExpectFault(CaseUrl("http://127.0.0.1:" + std::to_string(FreePort()) + "/status"));
    ExpectFault("");
    ExpectFault("http://[::1");
    ExpectFault("http://127.0.0.1:99999/");
    ExpectFault("::: not a url :::");
}

TEST(StatusQueryFailure, OtherSchemesAreRefusedWithoutConnecting) {
    // Short limits: were the scheme allowed, the silent port would hold the query until its time-out.
    // An address typed without any scheme is refused too, though libcurl would take it for http.
    const QueryOptions options = Options({500ms, 500ms, 5});
    for (const char* scheme : {"https://", "ftp://", ""}) {
        ConnectionWatch watch;
        ExpectFault(CaseUrl(scheme + watch.hostPort() + "/status"), options);
        EXPECT_FALSE(watch.Connected()) << scheme;
    }
}

TEST(StatusQueryFailure, RedirectToAnotherSchemeIsNotFollowed) {
    const QueryOptions options = Options({500ms, 500ms, 5});
    for (const char* scheme : {"https://", "ftp://"}) {
        ConnectionWatch watch;
        StatusHost host(Redirecting(scheme + watch.hostPort() + "/status"));
        ExpectFault(CaseUrl(host.url()), options);
        EXPECT_FALSE(watch.Connected()) << scheme;
        EXPECT_EQ(host.requestCount(), 1);
    }
}

TEST(StatusQueryFailure, LocalFilesAreNeverRead) {
    TempDir dir;
    const std::filesystem::path file = dir / "report.xml";
    WriteFileBytes(file, "<msg>local file</msg>");
    const std::string fileUrl = "file://" + file.string();
    OpenWatch watch(file);
    StatusHost redirect(Redirecting(fileUrl));

    ExpectFault(fileUrl);
    ExpectFault(CaseUrl(redirect.url()));
    EXPECT_FALSE(watch.Opened());
    EXPECT_EQ(redirect.requestCount(), 1);

    StatusHost passwd(Redirecting("file:///etc/passwd"));
    std::string report;
    EXPECT_TRUE(QueryServerStatus("file:///etc/passwd", report, Options()));
    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
    report.clear();
    EXPECT_TRUE(QueryServerStatus(CaseUrl(passwd.url()), report, Options()));
    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
    EXPECT_EQ(FailureCount(CaseUrl(passwd.url())), 1u);
}

TEST(StatusQueryFailure, RedirectsAreBoundedByTheLimit) {
    StatusHost host;
    const std::string url = CaseUrl(host.url());
    host.SetScenario(Redirecting(url));

    ExpectFault(url, Options({2000ms, 5000ms, 2}));
    EXPECT_EQ(host.requestCount(), 3) << "the first request and two redirects";
}

TEST(StatusQueryFailure, HostThatNeverAnswersTimesOut) {
    auto host = std::make_unique<StatusHost>(Hanging());
    // Turns a missing time-out into a failed test instead of a stuck one.
    std::atomic<bool> watchdog{false};
    QueryOptions options = Options({300ms, 300ms, 5});
    options.cancel = &watchdog;
    std::thread guard([&] {
        WaitFor([&] { return watchdog.load(); }, 5s);
        watchdog = true;
    });
    const std::string url = CaseUrl(host->url());
    std::string report;
    const auto start = SteadyClock::now();
    const bool result = QueryServerStatus(url, report, options);
    const auto elapsed = SteadyClock::now() - start;
    watchdog = true;
    guard.join();

    EXPECT_TRUE(result);
    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
    EXPECT_EQ(FailureCount(url), 1u);
    EXPECT_LT(elapsed, 3s);

    const auto stopping = SteadyClock::now();
    host.reset();
    EXPECT_LT(SteadyClock::now() - stopping, 3s) << "the host stops even with a request still hanging";
}

TEST(StatusQueryFailure, BodyCutShortReturnsFalseAndResetsTheCounter) {
    StatusHost host(WithStatus(503));
    const std::string url = CaseUrl(host.url());
    ExpectFault(url);
    Scenario cut = WithBody(PatternBytes(100));
    cut.announcedLength = 500;
    host.SetScenario(cut);
    std::string report = "untouched";

    EXPECT_FALSE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report, "untouched");
    EXPECT_EQ(FailureCount(url), 0u);

    const std::string fresh = CaseUrl(host.url(), "fresh");
    EXPECT_FALSE(QueryServerStatus(fresh, report, Options()));
    EXPECT_EQ(FailureCount(fresh), std::nullopt);
}

TEST(StatusQueryCounters, CountConsecutiveFailuresUntilASuccess) {
    StatusHost host(WithStatus(500));
    const std::string url = CaseUrl(host.url());
    std::string report;
    for (std::uint32_t expected : {1u, 2u, 3u}) {
        EXPECT_TRUE(QueryServerStatus(url, report, Options()));
        EXPECT_EQ(FailureCount(url), expected);
    }
    host.SetScenario(WithStatus(200));
    report.clear();
    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(FailureCount(url), 0u);
    EXPECT_NE(report.find("</msg>"), std::string::npos);

    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(FailureCount(url), 0u);
}

TEST(StatusQueryCounters, OneUrlHasOneCounterWhoeverAsks) {
    StatusHost host(WithStatus(500));
    const std::string url = CaseUrl(host.url());
    const std::string other = CaseUrl(host.url(), "&other");
    ExpectFault(url);
    ExpectFault(url);  // a second entry naming the same URL
    ExpectFault(other);

    EXPECT_EQ(FailureCount(url), 2u);
    EXPECT_EQ(FailureCount(other), 1u);
}

TEST(StatusQueryCancel, FlagFromAnotherThreadEndsTheQueryPromptly) {
    StatusHost host(WithStatus(404));
    const std::string url = CaseUrl(host.url());
    ExpectFault(url);
    host.SetScenario(Hanging());

    std::atomic<bool> cancel{false};
    QueryOptions options = Options({10'000ms, 30'000ms, 5});
    options.cancel = &cancel;
    std::thread closer([&] {
        WaitFor([&] { return host.requestCount() >= 2; }, 5s);
        std::this_thread::sleep_for(100ms);
        cancel = true;
    });
    std::string report = "untouched";
    const auto start = SteadyClock::now();
    const bool result = QueryServerStatus(url, report, options);
    const auto elapsed = SteadyClock::now() - start;
    closer.join();

    EXPECT_FALSE(result);
    EXPECT_LT(elapsed, 3s) << "against a 30 s limit";
    EXPECT_EQ(report, "untouched");
    EXPECT_EQ(FailureCount(url), 1u) << "a cancelled query counts as nothing";
    EXPECT_EQ(host.requestCount(), 2);
}

TEST(StatusQueryCancel, FlagSetBeforehandSendsNothing) {
    StatusHost host;
    const std::string url = CaseUrl(host.url());
    std::atomic<bool> cancel{true};
    QueryOptions options = Options();
    options.cancel = &cancel;
    std::string report = "untouched";

    EXPECT_FALSE(QueryServerStatus(url, report, options));
    EXPECT_EQ(report, "untouched");
    EXPECT_EQ(FailureCount(url), std::nullopt);
    EXPECT_EQ(host.requestCount(), 0);
}

// Sets environment variables for one scope and puts the old values back.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        const char* old = ::getenv(name);
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST(StatusQueryProxy, HttpProxyFromTheEnvironmentIsUsed) {
    StatusHost proxy(WithBody("<msg>via proxy</msg>"));
    ScopedEnv env;
    env.Set("http_proxy", proxy.baseUrl().c_str());
    env.Set("no_proxy", nullptr);
    env.Set("NO_PROXY", nullptr);

    // The name cannot resolve, so any answer at all came through the proxy.
    std::string report;
    EXPECT_TRUE(QueryServerStatus(CaseUrl("http://status.tessiv.invalid/x"), report, Options()));
    EXPECT_EQ(proxy.requestCount(), 1);
}

TEST(StatusQueryTestHost, FileScenariosAlternateAndAreReadOnEveryRequest) {
    TempDir dir;
    const std::filesystem::path file = dir / "host.txt";
    WriteFileBytes(file, "app 数据采集 | 2024-05-01 08:30:00.0\n---\napp 空间不足 | now\n");
    StatusHost host([file](int request) { return ScenarioFromFile(file, request, kWhen); });
    const std::string url = CaseUrl(host.url());
    const std::string head = "<msg><apps><app><appname>";

    std::string report;
    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report, head +
                          "\xCA\xFD\xBE\xDD\xB2\xC9\xBC\xAF</appname><activetime>2024-05-01 08:30:00.0"
                          "</activetime></app></apps></msg>");
    report.clear();
    EXPECT_TRUE(QueryServerStatus(url, report, Options()));
    EXPECT_EQ(report, head + "\xBF\xD5\xBC\xE4\xB2\xBB\xD7\xE3</appname><activetime>" +
                          FormatLocalTime(kWhen, kReportTimeFormat) + "</activetime></app></apps></msg>");

    WriteFileBytes(file, "status 404\n");
    ExpectFault(url);
    std::filesystem::remove(file);
    ExpectFault(url);
    EXPECT_EQ(host.requestCount(), 4);
}

}  // namespace
