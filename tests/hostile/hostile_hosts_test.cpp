// Hosts that misbehave on the wire: every query must end within its limits with the right outcome, and a poll
// round over such a host and a normal one must still reach the normal one.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "polling/poll_round.h"
#include "polling/round_control.h"
#include "polling/status_query.h"
#include "tests/hostile/raw_host.h"
#include "tests/support/recorder_port.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;
using Kind = RecorderPort::Kind;
using Clock = std::chrono::steady_clock;

constexpr std::time_t kWhen = 1'700'000'000;
const QueryLimits kLimits{500ms, 1500ms, 5};
// Room for a loaded machine (and sanitizers) on top of the total time-out; the default limits are 10 s and
// 30 s, so a query that ignored the short ones would still blow well past this.
constexpr auto kMargin = 1500ms;

const std::string kNormalReport = "<msg><apps></apps></msg>";

std::string Response200(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// What the query must give for a host.
enum class Expect {
    ConnectionFault,  // true, the connection-fault report, one more failure counted
    BodyFailure,      // false after a 200: the report is left alone and the entry is skipped
    Report,           // true, the given bytes appended
};

std::chrono::milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

class HostileHost : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    static QueryOptions Options() {
        return QueryOptions{nullptr, [] { return kWhen; }, kLimits};
    }

    // One query on its own, then a round over the hostile host and a normal one.
    void Check(const std::string& url, Expect expect, const std::string& expectedReport = {}) {
        {
            SCOPED_TRACE("query alone");
            const std::uint32_t failuresBefore = FailureCount(url).value_or(0);
            std::string report = "before";
            const auto start = Clock::now();
            const bool result = QueryServerStatus(url, report, Options());
            const auto took = Since(start);
            EXPECT_LT(took, kLimits.totalTimeout + kMargin);
            switch (expect) {
                case Expect::ConnectionFault:
                    EXPECT_TRUE(result);
                    EXPECT_EQ(report, ConnectionFaultReport(kWhen));
                    EXPECT_EQ(FailureCount(url), failuresBefore + 1);
                    break;
                case Expect::BodyFailure:
                    EXPECT_FALSE(result);
                    EXPECT_EQ(report, "before");
                    EXPECT_EQ(FailureCount(url).value_or(0), 0u);
                    break;
                case Expect::Report:
                    EXPECT_TRUE(result);
                    EXPECT_EQ(report, "before" + expectedReport);
                    EXPECT_EQ(FailureCount(url).value_or(0), 0u);
                    break;
            }
        }
        SCOPED_TRACE("poll round");
        StatusHost normal;
        RecorderPort port;
        port.Servers().Reset({"Bad," + url + "@1", "Good," + normal.url() + "@1"});
        RoundControl control;
        StatusQuery query = [](const std::string& queried, std::string& report) {
            return QueryServerStatus(queried, report, Options());
        };
        PollRoundContext context{port, control, query, Pacing::Immediate(), [] { return kWhen; }};
        const auto start = Clock::now();
        PollRoundThread(context);
        EXPECT_LT(Since(start), kLimits.totalTimeout + kMargin + 1s);

        EXPECT_EQ(normal.requestCount(), 1);
        const std::vector<std::string> states = port.Servers().States();
        ASSERT_EQ(states.size(), 2u);
        EXPECT_EQ(states[1], kStateTrue);
        EXPECT_EQ(port.CallsOf(Kind::ArmTimer).size(), 1u);
        bool goodLine = false;
        int badAlarms = 0;
        int badLines = 0;
        for (const RecorderPort::Call& call : port.Calls()) {
            if (call.line.starts_with("002 ") && call.kind == Kind::RunLog &&
                call.line.find(gbk::FromUtf8(" Good 正常... ")) != std::string::npos)
                goodLine = true;
            if (!call.line.starts_with("001 ")) continue;
            ++badLines;
            if (call.kind == Kind::Alarm && call.line.find(gbk::FromUtf8("Bad 网站 ")) != std::string::npos)
                ++badAlarms;
        }
        EXPECT_TRUE(goodLine);
        switch (expect) {
            case Expect::ConnectionFault:
                EXPECT_EQ(states[0], kStateFalse);
                EXPECT_EQ(badAlarms, 1);
                EXPECT_EQ(badLines, 1);
                break;
            case Expect::BodyFailure:
                // Skipped: no line, and the state stays what it was.
                EXPECT_EQ(states[0], kStateTrue);
                EXPECT_EQ(badLines, 0);
                break;
            case Expect::Report:
                EXPECT_EQ(states[0], kStateTrue);
                EXPECT_EQ(badLines, 1);
                EXPECT_EQ(badAlarms, 0);
                break;
        }
    }
};

TEST_F(HostileHost, SlowDripEndsAtTheTimeOut) {
    const std::string response = Response200(kNormalReport);
    {
        SCOPED_TRACE("whole response a byte a second: no status line in time");
        RawHost host([&](RawHost::Connection& connection) {
            if (!connection.ReadRequest()) return;
            for (char byte : response)
                if (!connection.Send(std::string_view(&byte, 1)) || !connection.Wait(1s)) return;
        });
        Check(host.url(), Expect::ConnectionFault);
    }
    {
        SCOPED_TRACE("head at once, body a byte a second: a 200 that never completes is a connection fault");
        const std::size_t bodyStart = response.find("\r\n\r\n") + 4;
        RawHost host([&](RawHost::Connection& connection) {
            if (!connection.ReadRequest() || !connection.Send(response.substr(0, bodyStart))) return;
            for (std::size_t i = bodyStart; i < response.size(); ++i)
                if (!connection.Send(response.substr(i, 1)) || !connection.Wait(1s)) return;
        });
        Check(host.url(), Expect::ConnectionFault);
    }
}

TEST_F(HostileHost, EndlessBodyIsCutAt1024Bytes) {
    std::string stream = kNormalReport;
    for (int i = 0; stream.size() < 8192; ++i) stream += "<pad>" + std::to_string(i) + "</pad>";
    const std::string expected = stream.substr(0, 1024);
    // Sends until the client hangs up, for 20 s at most.
    auto endless = [&](const std::string& head, bool chunked) {
        return [&stream, head, chunked](RawHost::Connection& connection) {
            if (!connection.ReadRequest() || !connection.Send(head)) return;
            const auto stop = Clock::now() + 20s;
            while (Clock::now() < stop) {
                char size[16];
                std::snprintf(size, sizeof size, "%zx\r\n", stream.size());
                if (chunked && !connection.Send(size)) return;
                if (!connection.Send(stream)) return;
                if (chunked && !connection.Send("\r\n")) return;
            }
        };
    };
    {
        SCOPED_TRACE("no length, the body runs until the connection ends");
        RawHost host(endless("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n", false));
        Check(host.url(), Expect::Report, expected);
    }
    {
        SCOPED_TRACE("chunks without end");
        RawHost host(endless("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true));
        Check(host.url(), Expect::Report, expected);
    }
}

TEST_F(HostileHost, HugeHeadersAreRefused) {
    // libcurl gives up on a response head beyond its limits; the status line has been read by then, so it is
    // a 200 whose body never came.
    std::string manyLines = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; manyLines.size() < 1024 * 1024; ++i)
        manyLines += "X-Filler-" + std::to_string(i) + ": " + std::string(200, 'f') + "\r\n";
    const std::string oneLine = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(1024 * 1024, 'f') + "\r\n";
    for (const std::string& head : {manyLines, oneLine}) {
        SCOPED_TRACE(head.size() == oneLine.size() ? "one 1 MB line" : "1 MB of short lines");
        RawHost host([head](RawHost::Connection& connection) {
            if (!connection.ReadRequest()) return;
            connection.Send(head + "Content-Length: 24\r\nConnection: close\r\n\r\n" + kNormalReport);
        });
        Check(host.url(), Expect::BodyFailure);
    }
}

TEST_F(HostileHost, MalformedStatusLineIsAConnectionFault) {
    for (const char* reply : {"HTTP/1.1 abc\r\n\r\n<msg></msg>", "garbage\r\n\r\n<msg></msg>",
                              "HTTP/1.1 2000000000000 OK\r\nContent-Length: 0\r\n\r\n", "\r\n\r\n",
                              "HTTP/1.1 -200 OK\r\nContent-Length: 0\r\n\r\n"}) {
        SCOPED_TRACE(reply);
        RawHost host([reply](RawHost::Connection& connection) {
            if (connection.ReadRequest()) connection.Send(reply);
        });
        Check(host.url(), Expect::ConnectionFault);
    }
}

TEST_F(HostileHost, RedirectsThatGoNowhereAreConnectionFaults) {
    {
        SCOPED_TRACE("302 to itself");
        StatusHost host;
        host.SetScenario(Scenario{.redirect = host.url()});
        Check(host.url(), Expect::ConnectionFault);
        // One query and one round: the first request and at most five redirects each.
        EXPECT_LE(host.requestCount(), 2 * (1 + kLimits.maxRedirects));
        EXPECT_GE(host.requestCount(), 2);
    }
    {
        SCOPED_TRACE("302 to a local file");
        StatusHost host(Scenario{.redirect = "file:///etc/passwd"});
        std::string report;
        QueryServerStatus(host.url(), report, Options());
        EXPECT_EQ(report.find("root:"), std::string::npos);
        Check(host.url(), Expect::ConnectionFault);
    }
    {
        SCOPED_TRACE("raw 301 loop with a body");
        RawHost host([](RawHost::Connection& connection) {
            if (!connection.ReadRequest()) return;
            connection.Send("HTTP/1.1 301 Moved\r\nLocation: /status\r\nContent-Length: 24\r\n\r\n" +
                            kNormalReport);
        });
        Check(host.url(), Expect::ConnectionFault);
        EXPECT_LE(host.connections(), 2 * (1 + kLimits.maxRedirects));
    }
}

TEST_F(HostileHost, ResetMidBodyIsABodyFailure) {
    const std::string body = kNormalReport + std::string(476, ' ');
    RawHost host([&](RawHost::Connection& connection) {
        if (!connection.ReadRequest()) return;
        const std::string response = Response200(body);
        if (!connection.Send(response.substr(0, response.size() - 400)) || !connection.Wait(50ms)) return;
        connection.Reset();
    });
    Check(host.url(), Expect::BodyFailure);
}

TEST_F(HostileHost, SilentOrVanishingHostsAreConnectionFaults) {
    {
        SCOPED_TRACE("accepts and never answers");
        RawHost host([](RawHost::Connection& connection) {
            connection.ReadRequest();
            connection.Wait(60s);  // woken when the host stops
        });
        const auto start = Clock::now();
        Check(host.url(), Expect::ConnectionFault);
        // Both the query and the round waited out the total time-out, no less.
        EXPECT_GE(Since(start), 2 * kLimits.totalTimeout - 100ms);
    }
    {
        SCOPED_TRACE("reads the request and closes");
        RawHost host([](RawHost::Connection& connection) {
            connection.ReadRequest();
            connection.Close();
        });
        Check(host.url(), Expect::ConnectionFault);
    }
    {
        SCOPED_TRACE("closes at once, before the request is read");
        RawHost host([](RawHost::Connection& connection) { connection.Reset(); });
        Check(host.url(), Expect::ConnectionFault);
    }
    {
        SCOPED_TRACE("status line only, then closes");
        RawHost host([](RawHost::Connection& connection) {
            if (connection.ReadRequest()) connection.Send("HTTP/1.1 500 Broken\r\n");
        });
        Check(host.url(), Expect::ConnectionFault);
    }
}

}  // namespace
