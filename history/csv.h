#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "history/history_records.h"

// RFC 4180 fields for the history's two CSVs: the history window's export and `tessiv --history --csv`.
namespace history {

// One CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view utf8);

// A field of text from a host (a name, a URL, a fault line): one that a spreadsheet would take for a formula
// (it begins with =, +, -, @, a tab or a carriage return) gets a leading ', then it is quoted as CsvField
// does.
std::string CsvTextField(std::string_view utf8);

// The outages as CSV, for the history window's export and `tessiv --history outages --csv`: the columns
// server,url,start,end,duration_s,category,line, RFC 4180 quoting and CR LF line ends. Times are ISO 8601 in
// local time with the UTC offset; an open outage has an empty end and lasts until `now`; a clock set back
// gives a duration of 0, not a negative one; the line is shown without the line end it carried in the pane.
std::string OutagesCsv(const std::vector<OutageRecord>& outages, TimePoint now);

// The same CSV a line at a time, for writing outages as they are read: the header, then one row each.
inline constexpr const char* kOutagesCsvHeader = "server,url,start,end,duration_s,category,line\r\n";
std::string OutageCsvRow(const OutageRecord& outage, TimePoint now);

}  // namespace history
