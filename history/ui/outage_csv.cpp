#include "history/ui/outage_csv.h"

#include <QString>

#include "history/csv.h"
#include "history/outcome_codes.h"
#include "history/ui/outcome_text.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace {

// Without the line end a pane line carries.
std::string Utf8(const std::string& gbkText) {
    return gbk::ToQString(gbkText).trimmed().toStdString();
}

}  // namespace

std::string OutagesCsv(const std::vector<history::OutageRecord>& outages, history::TimePoint now) {
    std::string csv =
        "\xEF\xBB\xBF"
        "server,url,start,end,duration_s,category,line\r\n";
    for (const history::OutageRecord& outage : outages) {
        const history::TimePoint end = outage.end.value_or(now);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(end - outage.start).count();
        csv += history::CsvTextField(Utf8(outage.name)) + ',' + history::CsvTextField(Utf8(outage.url)) +
               ',' + IsoLocalTime(outage.start) + ',' +
               (outage.end ? IsoLocalTime(*outage.end) : std::string()) + ',' +
               std::to_string(std::max<long long>(0, seconds)) + ',' +
               std::string(history::OutcomeName(outage.category)) + ',' +
               history::CsvTextField(Utf8(outage.firstLine)) + "\r\n";
    }
    return csv;
}
