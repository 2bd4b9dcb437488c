// The status page over real HTTP on 127.0.0.1, fed by rounds as the worker tells them and a real history
// file: what a browser or a script gets, and what it cannot do.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <httplib.h>

#include "history/history_store.h"
#include "polling/round_observers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "text/gbk.h"
#include "text/time_text.h"
#include "web/status_web.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

EntryResult Polled(const std::string& name, std::optional<bool> normal, bool paused = false) {
    EntryResult result;
    result.name = gbk::FromUtf8(name);
    result.url = "http://10.0.0.7:89/" + name;
    result.paused = paused;
    result.normal = normal;
    if (normal == false)
        result.faults.push_back(
            {gbk::FromUtf8("2026-12-09 08:00:00 中心A 磁盘空间不足 <b>"), FaultCategory::DiskSpace});
    return result;
}

web::ListedHost Listed(const EntryResult& result, std::optional<std::time_t> maintenance = std::nullopt) {
    return {result.name, result.url, result.paused, maintenance};
}

QJsonObject Json(const httplib::Result& result) {
    return result ? QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object() : QJsonObject{};
}

class StatusPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_history.Start(m_dir / "history.sqlite");
        m_web.Start({}, m_dir / "history.sqlite");
        Configure(false);
    }

    void Configure(bool showUrls) {
        m_web.Configure({ListenAddress{"127.0.0.1", 0, true}, showUrls},
                        [] { return std::string("tessiv_x 1\n"); });
        m_client = std::make_unique<httplib::Client>("127.0.0.1", m_web.Port());
        m_client->set_read_timeout(10, 0);
    }

    // One round of `polled`, written to the history, then the list handed over as after a round; waits
    // until the page shows it.
    void Round(const std::vector<EntryResult>& polled, std::vector<web::ListedHost> listed) {
        for (std::size_t i = 0; i < polled.size(); ++i) {
            EntryResult result = polled[i];
            result.position = i;
            m_rounds.EntryPolled(result);
        }
        m_rounds.RoundEnded(polled.size());
        m_history.Flush();
        m_web.Publish(std::move(listed));
        ++m_round;
        ASSERT_TRUE(
            WaitFor([&] { return Json(m_client->Get("/api/status"))["round"].toInt() == m_round; }, 15s));
    }

    TempDir m_dir;
    history::HistoryStore m_history;
    web::StatusWeb m_web;
    RoundObservers m_rounds{&m_history, &m_web};
    std::unique_ptr<httplib::Client> m_client;
    int m_round = 0;
};

const EntryResult kFaulty = Polled("中心A", false);
const EntryResult kHostile = Polled("<script>alert(1)</script>", true);
const EntryResult kPaused = Polled("暂停B", std::nullopt, true);
const EntryResult kMaintained = Polled("维护C", std::nullopt, true);
constexpr std::time_t kMaintenanceEnd = 1'900'000'000;

// The page, its files and the API answer GET and HEAD, with the policy and nosniff on every answer;
// nothing else is accepted.
TEST_F(StatusPageTest, ServesReadOnlyWithItsHeaders) {
    Round({kFaulty, kHostile}, {Listed(kFaulty), Listed(kHostile)});

    const struct {
        const char* path;
        const char* type;
    } files[] = {{"/", "text/html; charset=utf-8"},
                 {"/api/status", "application/json; charset=utf-8"},
                 {"/api/outages?days=3", "application/json; charset=utf-8"},
                 {"/style.css", "text/css; charset=utf-8"},
                 {"/app.js", "text/javascript; charset=utf-8"},
                 {"/metrics", "text/plain; version=0.0.4; charset=utf-8"}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.path);
        const httplib::Result get = m_client->Get(file.path);
        ASSERT_TRUE(get);
        EXPECT_EQ(get->status, 200);
        EXPECT_EQ(get->get_header_value("Content-Type"), file.type);
        EXPECT_EQ(get->get_header_value("Content-Security-Policy"), kPolicy);
        EXPECT_EQ(get->get_header_value("X-Content-Type-Options"), "nosniff");
        EXPECT_FALSE(get->body.empty());
        const httplib::Result head = m_client->Head(file.path);
        ASSERT_TRUE(head);
        EXPECT_EQ(head->status, 200);
        EXPECT_TRUE(head->body.empty());
    }
    EXPECT_EQ(m_client->Get("/metrics")->body, "tessiv_x 1\n");
    EXPECT_EQ(m_client->Get("/nothing")->status, 404);
    EXPECT_EQ(m_client->Get("/api/outages?days=0")->status, 400);
    EXPECT_EQ(m_client->Get("/api/outages?days=7x")->status, 400);

    for (const httplib::Result& refused :
         {m_client->Post("/", "x", "text/plain"), m_client->Put("/api/status", "{}", "application/json"),
          m_client->Delete("/api/outages"), m_client->Patch("/", "x", "text/plain")}) {
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 405);
        EXPECT_EQ(refused->get_header_value("Allow"), "GET, HEAD");
        EXPECT_EQ(refused->get_header_value("Content-Security-Policy"), kPolicy);
    }
}

// Whatever a host's name or fault line holds is text on the page, never markup, and its URL is shown only
// when asked for.
TEST_F(StatusPageTest, EscapesHostTextAndHidesUrls) {
    Round({kFaulty, kHostile}, {Listed(kFaulty), Listed(kHostile)});
    std::string page = m_client->Get("/")->body;
    EXPECT_NE(page.find("<th>&lt;script&gt;alert(1)&lt;/script&gt;</th>"), std::string::npos);
    EXPECT_NE(page.find("磁盘空间不足 &lt;b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("<h1 id=\"headline\" class=\"bad\">1 台服务器异常</h1>"), std::string::npos);
    EXPECT_EQ(page.find("10.0.0.7"), std::string::npos);
    EXPECT_EQ(m_client->Get("/api/status")->body.find("10.0.0.7"), std::string::npos);
    EXPECT_EQ(m_client->Get("/api/outages")->body.find("10.0.0.7"), std::string::npos);

    Configure(true);
    ASSERT_TRUE(WaitFor(
        [&] { return m_client->Get("/")->body.find("http://10.0.0.7:89/") != std::string::npos; }, 15s));
    const QJsonArray hosts = Json(m_client->Get("/api/status"))["hosts"].toArray();
    EXPECT_EQ(hosts[1].toObject()["name"].toString(), "<script>alert(1)</script>");
    EXPECT_EQ(hosts[1].toObject()["url"].toString(), "http://10.0.0.7:89/<script>alert(1)</script>");
}

// A faulty, a paused and a maintained host as /api/status and /api/outages give them.
TEST_F(StatusPageTest, GivesEachStateAsJson) {
    Round({kFaulty, kPaused, kMaintained},
          {Listed(kFaulty), Listed(kPaused), Listed(kMaintained, kMaintenanceEnd)});
    Round({kFaulty, kPaused, kMaintained},
          {Listed(kFaulty), Listed(kPaused), Listed(kMaintained, kMaintenanceEnd)});

    const QJsonObject status = Json(m_client->Get("/api/status"));
    EXPECT_EQ(status["faulty"].toInt(), 1);
    EXPECT_TRUE(status["history"].toBool());
    EXPECT_TRUE(ParseIsoTime(status["last_round"].toString().toStdString()));
    const QJsonArray hosts = status["hosts"].toArray();
    ASSERT_EQ(hosts.size(), 3);

    const QJsonObject faulty = hosts[0].toObject();
    EXPECT_EQ(faulty["name"].toString(), QString::fromUtf8("中心A"));
    EXPECT_EQ(faulty["state"].toString(), "disk");
    EXPECT_EQ(faulty["state_text"].toString(), QString::fromUtf8("空间不足"));
    EXPECT_EQ(faulty["first_line"].toString(),
              QString::fromUtf8("2026-12-09 08:00:00 中心A 磁盘空间不足 <b>"));
    const auto since = ParseIsoTime(faulty["since"].toString().toStdString());
    ASSERT_TRUE(since);
    EXPECT_LE(std::abs(*since - std::time(nullptr)), 60);
    EXPECT_EQ(faulty["uptime_24h"].toDouble(-1), 0.0);
    EXPECT_TRUE(faulty["timeline_24h"].isArray());
    EXPECT_FALSE(faulty.contains("url"));

    const QJsonObject paused = hosts[1].toObject();
    EXPECT_EQ(paused["state"].toString(), "paused");
    EXPECT_EQ(paused["state_text"].toString(), QString::fromUtf8("已暂停"));
    EXPECT_TRUE(paused["maintenance_until"].isNull());
    EXPECT_TRUE(paused["uptime_24h"].isNull());

    const QJsonObject maintained = hosts[2].toObject();
    EXPECT_EQ(maintained["state"].toString(), "maintenance");
    EXPECT_EQ(ParseIsoTime(maintained["maintenance_until"].toString().toStdString()), kMaintenanceEnd);

    const QJsonObject outages = Json(m_client->Get("/api/outages?days=1"));
    EXPECT_EQ(outages["days"].toInt(), 1);
    const QJsonArray list = outages["outages"].toArray();
    ASSERT_EQ(list.size(), 1);
    const QJsonObject outage = list[0].toObject();
    EXPECT_EQ(outage["name"].toString(), QString::fromUtf8("中心A"));
    EXPECT_TRUE(outage["end"].isNull());
    EXPECT_TRUE(ParseIsoTime(outage["start"].toString().toStdString()));
    EXPECT_GE(outage["duration_s"].toInt(-1), 0);
    EXPECT_EQ(outage["category"].toString(), "disk");
    EXPECT_EQ(outage["first_line"].toString(),
              QString::fromUtf8("2026-12-09 08:00:00 中心A 磁盘空间不足 <b>"));
    EXPECT_NE(m_client->Get("/")->body.find("<td>进行中</td>"), std::string::npos);
}

}  // namespace
