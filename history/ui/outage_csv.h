#pragma once

#include <string>
#include <vector>

#include "history/history_records.h"

// The outages as a CSV file's bytes: UTF-8 with a byte order mark (so spreadsheet programs read the Chinese
// right), the columns server,url,start,end,duration_s,category,line, RFC 4180 quoting and CR LF line ends.
// Times are ISO 8601 in local time with the UTC offset; an open outage has an empty end and lasts until
// `now`.
std::string OutagesCsv(const std::vector<history::OutageRecord>& outages, history::TimePoint now);
