#include "polling/report_analysis.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "polling/monitor_port.h"
#include "ports/fault_category.h"
#include "text/data_text.h"
#include "text/gbk.h"

namespace {

using Category = FaultCategory;

// The program's fixed texts, in GBK.
struct Texts {
    std::string faultTemplate = gbk::FromUtf8("[ServerName] [AppName] [ActiveTime] 异常");
    std::string normalSuffix = gbk::FromUtf8(" 正常... ");
    struct Row {
        std::string text;
        Category category;
    };
    // First match wins, so the order matters: disk space beats a security alarm, for instance.
    std::array<Row, 6> rows{{
        {gbk::FromUtf8("网站"), Category::Connection},
        {gbk::FromUtf8("QUARLEX服务器"), Category::ServerFault},
        {gbk::FromUtf8("位置服务器"), Category::ServerFault},
        {gbk::FromUtf8("空间不足"), Category::DiskSpace},
        {gbk::FromUtf8("数据库日志需要清理"), Category::DbLog},
        {gbk::FromUtf8("安全报警"), Category::Security},
    }};
};

const Texts& GbkTexts() {
    static const Texts texts;
    return texts;
}

// Options are read when the line is classified, so a click during a round counts from the next line on.
bool SoundFlag(Category category, bool previousWasTrue, const MuteOptions& mutes) {
    switch (category) {
        case Category::Connection:
            return !previousWasTrue && !mutes.connection;
        case Category::ServerFault:
            return !mutes.serverFault;
        case Category::DiskSpace:
            return !mutes.diskSpace;
        case Category::DbLog:
            return !mutes.dbLog;
        case Category::Security:
            return true;
        case Category::Unclassified:
            return false;
    }
    return false;
}

std::string DisplayNumber(int displayNumber) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%03d", displayNumber);
    return buffer;
}

std::string LinePrefix(int displayNumber, const Clock& clock) {
    return DisplayNumber(displayNumber) + " <" + FormatLocalTime(clock(), kPaneTimeFormat) + "> ";
}

// The text of `r` in front of its first "</"; all of it when there is none.
// Empty when the value has no terminator: a record cut off by the report limit yields no partial name, which
// could otherwise match a category and raise an alarm.
// Control bytes come out escaped: a host's text never adds a line or a terminal command anywhere it goes.
std::string ValueBeforeTerminator(std::string_view r) {
    std::size_t end = gbk::Find(r, "</");
    return end == std::string_view::npos ? std::string() : EscapeControls(r.substr(0, end));
}

void DropThrough(std::string& r, std::size_t count) {
    r.erase(0, std::min(count, r.size()));
}

}  // namespace

FaultCategory ClassifyFaultLine(std::string_view line) {
    for (const Texts::Row& row : GbkTexts().rows)
        if (gbk::Contains(line, row.text)) return row.category;
    return Category::Unclassified;
}

bool AnalyzeStatusReport(std::string report, const std::string& serverName, int displayNumber,
                         bool previousWasTrue, MonitorPort& port, const Clock& clock) {
    return AnalyzeStatusReport(std::move(report), serverName, {}, displayNumber, previousWasTrue, port, clock,
                               nullptr);
}

bool AnalyzeStatusReport(std::string report, const std::string& entryName, const std::string& entryUrl,
                         int displayNumber, bool previousWasTrue, MonitorPort& port, const Clock& clock,
                         std::vector<EntryResult::Fault>* faults) {
    const Texts& texts = GbkTexts();
    const std::string serverName = EscapeControls(entryName);
    const std::string url = EscapeControls(entryUrl);
    if (!gbk::Contains(report, "msg")) return true;
    if (!gbk::Contains(report, "appname")) {
        port.AppendRunLog(LinePrefix(displayNumber, clock) + serverName + texts.normalSuffix);
        port.PollRefresh();
        return true;
    }
    if (!gbk::Contains(report, "<app>")) return false;

    std::string& r = report;
    do {
        std::string filled = texts.faultTemplate;

        // Each cut drops the keyword and the byte behind it (the tag's ">"). Where "appname" is missing, the
        // pass starts behind the "<app>" that let it run, so every pass takes bytes off the report.
        std::size_t name = gbk::Find(r, "appname");
        if (name != std::string::npos)
            DropThrough(r, name + 8);
        else
            DropThrough(r, gbk::Find(r, "<app>") + 5);
        std::string appName = ValueBeforeTerminator(r);

        std::size_t time = gbk::Find(r, "activetime");
        if (time != std::string::npos) DropThrough(r, time + 11);
        std::string activeTime = ValueBeforeTerminator(r);

        gbk::ReplaceAll(filled, "[AppName]", appName);
        gbk::ReplaceAll(filled, "[ActiveTime]", activeTime);
        gbk::ReplaceAll(filled, "[ServerName]", serverName);

        std::string line = LinePrefix(displayNumber, clock) + "------ " + filled + " ------";
        Category category = ClassifyFaultLine(line);
        if (faults != nullptr) faults->push_back({line, category});
        if (category == Category::Unclassified)
            port.AppendRunLog(std::move(line));
        else
            port.RaiseAlarm(std::move(line), SoundFlag(category, previousWasTrue, port.Mutes()),
                            AlarmFacts{serverName, url, category});
        port.PollRefresh();
    } while (gbk::Contains(r, "<app>"));
    return false;
}
