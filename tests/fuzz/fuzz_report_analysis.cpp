// AnalyzeStatusReport over arbitrary report bytes. The whole input is the report, so the sample reports work
// as seeds unchanged; the server name, display number and options are picked from a hash of the input.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "polling/monitor_port.h"
#include "polling/report_analysis.h"
#include "servers/server_lists.h"
#include "text/time_text.h"

namespace {

constexpr std::time_t kFixedTime = 1336284489;  // 2012-05-06, any fixed instant will do

// GBK bytes of the analysis texts, written out here rather than taken from the code under test.
constexpr std::string_view kNormalSuffix = " \xD5\xFD\xB3\xA3... ";  // " 正常... "
constexpr std::string_view kFaultEnd = " \xD2\xEC\xB3\xA3 ------";   // " 异常 ------"
constexpr std::size_t kTemplateBytes = 40;     // "[ServerName] [AppName] [ActiveTime] 异常"
constexpr std::size_t kPlaceholderBytes = 12;  // "[ServerName]", "[ActiveTime]"

enum class Category { Connection, ServerFault, DiskSpace, DbLog, Security, Unclassified };
struct Row {
    std::string_view text;
    Category category;
};
// First match wins.
constexpr std::array<Row, 6> kRows{{
    {"\xCD\xF8\xD5\xBE", Category::Connection},                           // 网站
    {"QUARLEX\xB7\xFE\xCE\xF1\xC6\xF7", Category::ServerFault},           // QUARLEX服务器
    {"\xCE\xBB\xD6\xC3\xB7\xFE\xCE\xF1\xC6\xF7", Category::ServerFault},  // 位置服务器
    {"\xBF\xD5\xBC\xE4\xB2\xBB\xD7\xE3", Category::DiskSpace},            // 空间不足
    {"\xCA\xFD\xBE\xDD\xBF\xE2\xC8\xD5\xD6\xBE\xD0\xE8\xD2\xAA\xC7\xE5\xC0\xED",
     Category::DbLog},                                         // 数据库日志需要清理
    {"\xB0\xB2\xC8\xAB\xB1\xA8\xBE\xAF", Category::Security},  // 安全报警
}};

Category Classify(std::string_view line) {
    for (const Row& row : kRows)
        if (fuzz::NaiveContains(line, row.text)) return row.category;
    return Category::Unclassified;
}

bool ExpectedSound(Category category, bool previousWasTrue, const MuteOptions& mutes) {
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

// Counts and keeps what the analysis sends; the calls a round makes elsewhere must never come from here.
class CountingPort final : public MonitorPort {
public:
    struct Call {
        char kind;  // 'L' run log, 'A' alarm, 'R' refresh
        std::string line;
        bool sound = false;
    };

    explicit CountingPort(MuteOptions mutes) : m_mutes(mutes) {}

    void AppendRunLog(std::string line) override { calls.push_back({'L', std::move(line)}); }
    void RaiseAlarm(std::string line, bool soundFlag, AlarmFacts) override {
        calls.push_back({'A', std::move(line), soundFlag});
    }
    void PollRefresh() override { calls.push_back({'R', {}}); }
    void Silence() override { ++foreign; }
    void ClearAlarmPane() override { ++foreign; }
    void ArmRoundTimer(std::chrono::milliseconds) override { ++foreign; }
    MuteOptions Mutes() const override { return m_mutes; }
    ServerLists& Servers() override {
        ++foreign;
        return m_servers;
    }

    std::vector<Call> calls;
    int foreign = 0;

private:
    MuteOptions m_mutes;
    ServerLists m_servers;
};

const std::string& ServerName(std::uint64_t pick) {
    static const std::array<std::string, 7> names{
        "Center-A",
        "",
        "\xCD\xF8\xD5\xBE",  // a GBK name that is itself a category text
        "[ServerName]",      // replaced last, so it must stay as it is
        "[AppName][ActiveTime]",
        std::string(200, 'S'),  // longer than any placeholder it replaces
        "\xB0",                 // a lone lead byte: the space behind it still stands alone
    };
    return names[pick % names.size()];
}

std::string Prefix(int displayNumber) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", displayNumber);
    return std::string(number) + " <" + FormatLocalTime(kFixedTime, kPaneTimeFormat) + "> ";
}

bool StartsWith(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}
bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string report(reinterpret_cast<const char*>(data), size);
    const std::uint64_t hash = fuzz::Fnv1a(data, size);
    const std::string& serverName = ServerName(hash);
    const int displayNumber = static_cast<int>((hash >> 8) % 1200);
    const bool previousWasTrue = (hash >> 24) & 1;
    const MuteOptions mutes{(hash >> 25 & 1) != 0, (hash >> 26 & 1) != 0, (hash >> 27 & 1) != 0,
                            (hash >> 28 & 1) != 0};

    CountingPort port(mutes);
    const Clock clock = [] { return kFixedTime; };
    const bool normal = AnalyzeStatusReport(report, serverName, displayNumber, previousWasTrue, port, clock);

    FUZZ_CHECK(port.foreign == 0);
    const std::string prefix = Prefix(displayNumber);
    const std::vector<CountingPort::Call>& calls = port.calls;

    if (!fuzz::NaiveContains(report, "msg")) {
        FUZZ_CHECK(normal);
        FUZZ_CHECK(calls.empty());
        return 0;
    }
    if (!fuzz::NaiveContains(report, "appname")) {
        FUZZ_CHECK(normal);
        FUZZ_CHECK(calls.size() == 2);
        FUZZ_CHECK(calls[0].kind == 'L' && calls[1].kind == 'R');
        FUZZ_CHECK(calls[0].line == prefix + serverName + std::string(kNormalSuffix));
        return 0;
    }
    if (!fuzz::NaiveContains(report, "<app>")) {
        FUZZ_CHECK(!normal);
        FUZZ_CHECK(calls.empty());
        return 0;
    }

    // A report naming applications: one fault line per record, each followed by a refresh. Every pass drops
    // at least the five bytes of an "<app>" or more, which bounds the number of lines.
    FUZZ_CHECK(!normal);
    FUZZ_CHECK(!calls.empty() && calls.size() % 2 == 0);
    const std::size_t lines = calls.size() / 2;
    FUZZ_CHECK(lines <= size / 5 + 1);

    // Name and time are pieces of the report, possibly the same piece, each control byte in them written as
    // four visible ones (so a piece is at most four times its size). Placeholders are replaced in template
    // order, so every "[ActiveTime]" inside the name takes the time's bytes, and every "[ServerName]" left
    // after that takes the server name. Without placeholders in the report, a line is linear in report and
    // name.
    const std::size_t n = 4 * size;
    const std::size_t timePlaceholders = fuzz::CountBytewise(report, "[ActiveTime]");
    const std::size_t namePlaceholders = fuzz::CountBytewise(report, "[ServerName]");
    const std::size_t afterTimes =
        kTemplateBytes + n + (1 + timePlaceholders) * std::max(n, kPlaceholderBytes);
    const std::size_t serverSlots =
        timePlaceholders == 0 ? 1 + 2 * namePlaceholders : afterTimes / kPlaceholderBytes + 1;
    const std::size_t maxLine = prefix.size() + 14 + afterTimes + serverSlots * serverName.size();

    for (std::size_t i = 0; i < lines; ++i) {
        const CountingPort::Call& call = calls[2 * i];
        FUZZ_CHECK(calls[2 * i + 1].kind == 'R');
        FUZZ_CHECK(call.kind == 'L' || call.kind == 'A');
        FUZZ_CHECK(call.line.size() <= maxLine);
        FUZZ_CHECK(StartsWith(call.line, prefix + "------ " + serverName + " "));
        FUZZ_CHECK(EndsWith(call.line, kFaultEnd));
        // A host's text never adds a line or a terminal command.
        FUZZ_CHECK(std::ranges::none_of(call.line, [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
        }));
        const Category category = Classify(call.line);
        FUZZ_CHECK((call.kind == 'A') == (category != Category::Unclassified));
        if (call.kind == 'A') FUZZ_CHECK(call.sound == ExpectedSound(category, previousWasTrue, mutes));
    }
    return 0;
}
