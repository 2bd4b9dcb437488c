#include "web/status_render.h"

#include <cmath>
#include <cstdio>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include "history/outcome_codes.h"
#include "text/time_text.h"

namespace web {

namespace {

using std::chrono::system_clock;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonValue IsoOrNull(const std::optional<TimePoint>& when) {
    return when ? QJsonValue(Q(IsoLocalTime(*when))) : QJsonValue(QJsonValue::Null);
}

QJsonValue PercentOrNull(const std::optional<double>& percent) {
    return percent ? QJsonValue(std::round(*percent * 100) / 100) : QJsonValue(QJsonValue::Null);
}

// 2026-12-09 08:00:00, as the panes write it.
std::string Shown(TimePoint when) {
    return FormatLocalTime(system_clock::to_time_t(when), kPaneTimeFormat);
}

std::string Percent(const std::optional<double>& percent) {
    if (!percent) return "—";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", *percent);
    return text;
}

// Two units are enough to compare outages at a glance: 2 天 3 小时, 5 分 20 秒.
std::string Duration(std::chrono::seconds duration) {
    const long long total = std::max<long long>(0, duration.count());
    const long long days = total / 86400;
    const long long hours = total % 86400 / 3600;
    const long long minutes = total % 3600 / 60;
    const long long seconds = total % 60;
    const auto two = [](long long a, const char* unitA, long long b, const char* unitB) {
        return std::to_string(a) + " " + unitA + " " + std::to_string(b) + " " + unitB;
    };
    if (days > 0) return two(days, "天", hours, "小时");
    if (hours > 0) return two(hours, "小时", minutes, "分");
    if (minutes > 0) return two(minutes, "分", seconds, "秒");
    return std::to_string(seconds) + " 秒";
}

std::string StateCell(const HostView& host) {
    std::string text = HtmlEscaped(host.stateText);
    if (host.maintenanceUntil) text += "，至 " + Shown(*host.maintenanceUntil).substr(0, 16);
    if (host.acknowledged) text += "，已知晓";
    if (!host.shortLine.empty()) text += "<small>" + HtmlEscaped(host.shortLine) + "</small>";
    return "<td class=\"st " + host.stateName + "\">" + text + "</td>";
}

std::string Timeline(const HostView& host) {
    std::string bar = "<td><span class=\"bar\">";
    for (const auto& [outcome, stretches] : host.timeline)
        bar += "<i class=\"" + std::string(history::OutcomeName(outcome)) + " w" + std::to_string(stretches) +
               "\"></i>";
    return bar + "</span></td>";
}

std::string HostRow(const HostView& host, bool showUrls) {
    std::string row = "<tr><th>" + HtmlEscaped(host.name);
    if (showUrls) row += "<small>" + HtmlEscaped(host.url) + "</small>";
    row += "</th>" + StateCell(host);
    row += "<td>" + (host.since ? Shown(*host.since) : std::string("—")) + "</td>";
    row += "<td>" + Percent(host.uptime24h) + "</td><td>" + Percent(host.uptime7d) + "</td>";
    return row + Timeline(host) + "</tr>\n";
}

std::string OutageEnd(const OutageView& outage) {
    if (!outage.end) return "进行中";
    std::string text = Shown(*outage.end);
    if (outage.endedBy == history::kMonitorStopped) text += "（监控停止）";
    return text;
}

std::string OutageRow(const OutageView& outage, bool showUrls) {
    std::string row = "<tr><th>" + HtmlEscaped(outage.name);
    if (showUrls) row += "<small>" + HtmlEscaped(outage.url) + "</small>";
    row += "</th><td>" + Shown(outage.start) + "</td><td>" + OutageEnd(outage) + "</td><td>" +
           Duration(outage.duration) + "</td><td class=\"st " +
           std::string(history::OutcomeName(outage.category)) + "\">" +
           std::string(history::OutcomeWords(outage.category)) + "</td><td>" + HtmlEscaped(outage.shortLine) +
           "</td></tr>\n";
    return row;
}

std::string Headline(const StatusSnapshot& snapshot) {
    if (snapshot.round == 0) return "等待首轮查询";
    const int faulty = snapshot.Faulty();
    return faulty == 0 ? "全部正常" : std::to_string(faulty) + " 台服务器异常";
}

// The timeline's colours, as the history window's legend names them.
constexpr history::Outcome kLegend[] = {
    history::Outcome::Normal,       history::Outcome::Connection, history::Outcome::ServerFault,
    history::Outcome::DiskSpace,    history::Outcome::DbLog,      history::Outcome::Security,
    history::Outcome::Unclassified, history::Outcome::BrokeOff,   history::Outcome::NoData};

}  // namespace

std::string HtmlEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '&':
                escaped += "&amp;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string StatusPage(const StatusSnapshot& snapshot, const std::vector<OutageView>& outages,
                       bool showUrls) {
    const int faulty = snapshot.Faulty();
    std::string page;
    page.reserve(256 + snapshot.hosts.size() * 200 + outages.size() * 200);
    page +=
        "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>服务器状态</title><link rel=\"stylesheet\" href=\"/style.css\"><link rel=\"icon\" "
        "href=\"/favicon.svg\">"
        "<script src=\"/app.js\" defer></script></head>\n";
    page +=
        "<body data-round=\"" + std::to_string(snapshot.round) + "\" data-urls=\"" + (showUrls ? "1" : "0") +
        "\"><header><h1 id=\"headline\" class=\"" + (faulty == 0 ? "ok" : "bad") + "\">" +
        Headline(snapshot) + "</h1><p>最近一轮：<span id=\"last-round\">" +
        (snapshot.lastRound ? Shown(*snapshot.lastRound) : std::string("尚无")) + "</span></p></header>\n";
    page += "<main><div class=\"scroll\"><table id=\"hosts\"><caption>服务器（" +
            std::to_string(snapshot.hosts.size()) +
            " 台）</caption><thead><tr><th scope=\"col\">服务器</th><th scope=\"col\">状态</th>"
            "<th scope=\"col\">起始时间</th><th scope=\"col\">24 小时</th><th scope=\"col\">7 天</th>"
            "<th scope=\"col\">最近 24 小时</th></tr></thead><tbody>\n";
    for (const HostView& host : snapshot.hosts) page += HostRow(host, showUrls);
    page += "</tbody></table></div>\n<ul class=\"legend\" aria-label=\"时间线颜色\">";
    for (const history::Outcome outcome : kLegend)
        page += "<li><i class=\"" + std::string(history::OutcomeName(outcome)) + "\"></i>" +
                std::string(history::OutcomeWords(outcome)) + "</li>";
    page +=
        "</ul>\n<h2>最近 " + std::to_string(kPageOutageDays) +
        " 天的中断</h2><div class=\"scroll\"><table id=\"outages\"><thead><tr><th scope=\"col\">服务器</th>"
        "<th scope=\"col\">开始</th><th scope=\"col\">结束</th><th scope=\"col\">时长</th>"
        "<th scope=\"col\">类别</th><th scope=\"col\">首条异常</th></tr></thead><tbody>\n";
    for (std::size_t i = 0; i < outages.size() && i < kPageOutagesShown; ++i)
        page += OutageRow(outages[i], showUrls);
    page += "</tbody></table></div>\n";
    if (outages.size() > kPageOutagesShown)
        page += "<p>另有 " + std::to_string(outages.size() - kPageOutagesShown) +
                " 次中断，见 <a href=\"/api/outages?days=7\">/api/outages?days=7</a></p>\n";
    if (!snapshot.history) page += "<p>未记录历史：没有运行时间和中断。</p>\n";
    page += "</main></body></html>\n";
    return page;
}

std::string StatusJson(const StatusSnapshot& snapshot, bool showUrls) {
    QJsonArray hosts;
    for (const HostView& host : snapshot.hosts) {
        QJsonObject json{
            {"name", Q(host.name)},
            {"state", Q(host.stateName)},
            {"state_text", Q(host.stateText)},
            {"since", IsoOrNull(host.since)},
            {"maintenance_until", IsoOrNull(host.maintenanceUntil)},
            {"acknowledged", host.acknowledged},
            {"first_line", host.firstLine.empty() ? QJsonValue() : QJsonValue(Q(host.firstLine))},
            {"short_line", host.shortLine.empty() ? QJsonValue() : QJsonValue(Q(host.shortLine))},
            {"uptime_24h", PercentOrNull(host.uptime24h)},
            {"uptime_7d", PercentOrNull(host.uptime7d)}};
        if (showUrls) json.insert("url", Q(host.url));
        QJsonArray timeline;
        for (const auto& [outcome, stretches] : host.timeline)
            timeline.append(QJsonObject{{"state", Q(std::string(history::OutcomeName(outcome)))},
                                        {"stretches", stretches}});
        json.insert("timeline_24h", timeline);
        hosts.append(json);
    }
    const QJsonObject status{{"generated", IsoOrNull(snapshot.generated)},
                             {"last_round", IsoOrNull(snapshot.lastRound)},
                             {"round", static_cast<qint64>(snapshot.round)},
                             {"faulty", snapshot.Faulty()},
                             {"history", snapshot.history},
                             {"timeline_stretches", kTimelineStretches},
                             {"hosts", hosts}};
    return QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString();
}

std::string OutagesJson(const std::vector<OutageView>& outages, int days, TimePoint now, bool showUrls) {
    QJsonArray list;
    for (const OutageView& outage : outages) {
        QJsonObject json{{"name", Q(outage.name)},
                         {"start", IsoOrNull(outage.start)},
                         {"end", IsoOrNull(outage.end)},
                         {"ended_by", outage.endedBy.empty() ? QJsonValue() : QJsonValue(Q(outage.endedBy))},
                         {"duration_s", static_cast<qint64>(outage.duration.count())},
                         {"category", Q(std::string(history::OutcomeName(outage.category)))},
                         {"category_text", Q(std::string(history::OutcomeWords(outage.category)))},
                         {"first_line", Q(outage.firstLine)},
                         {"short_line", Q(outage.shortLine)}};
        if (showUrls) json.insert("url", Q(outage.url));
        list.append(json);
    }
    const QJsonObject json{{"generated", IsoOrNull(now)}, {"days", days}, {"outages", list}};
    return QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace web
