#include "history/csv.h"

#include <algorithm>
#include <chrono>

#include <QString>

#include "history/outcome_codes.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace history {

namespace {

std::string Utf8(const std::string& gbkText) {
    return gbk::ToQString(gbkText).trimmed().toStdString();
}

}  // namespace

std::string OutageCsvRow(const OutageRecord& outage, TimePoint now) {
    const TimePoint end = outage.end.value_or(now);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(end - outage.start).count();
    return CsvTextField(Utf8(outage.name)) + ',' + CsvTextField(Utf8(outage.url)) + ',' +
           IsoLocalTime(outage.start) + ',' + (outage.end ? IsoLocalTime(*outage.end) : std::string()) + ',' +
           std::to_string(std::max<long long>(0, seconds)) + ',' + std::string(OutcomeName(outage.category)) +
           ',' + CsvTextField(Utf8(outage.firstLine)) + "\r\n";
}

std::string OutagesCsv(const std::vector<OutageRecord>& outages, TimePoint now) {
    std::string csv = kOutagesCsvHeader;
    for (const OutageRecord& outage : outages) csv += OutageCsvRow(outage, now);
    return csv;
}

std::string CsvTextField(std::string_view utf8) {
    if (!utf8.empty() && std::string_view("=+-@\t\r").find(utf8.front()) != std::string_view::npos)
        return CsvField("'" + std::string(utf8));
    return CsvField(utf8);
}

std::string CsvField(std::string_view utf8) {
    if (utf8.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(utf8);
    std::string quoted = "\"";
    for (const char c : utf8) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace history
