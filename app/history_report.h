#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "history/history_records.h"

// `tessiv --history outages|uptime [--days N] [--csv] [--urls]`: the history's tables on standard output,
// without a window. Text is UTF-8 (the GBK names and lines converted); CSV is RFC 4180 with ISO 8601 times.
// A table fits a terminal of kReportColumns: the first fault line is cut to what is left.
namespace history {

inline constexpr std::size_t kReportColumns = 120;

struct ReportRequest {
    enum class Table { Outages, Uptime } table = Table::Outages;
    int days = 7;
    bool csv = false;
    bool urls = false;  // the table names each host's URL too (the CSV always does)
};

inline constexpr const char* kReportUsage =
    "usage: tessiv --history outages [--days N] [--csv] [--urls]\n"
    "       tessiv --history uptime [--days N] [--csv] [--urls]\n"
    "N: the days back from now to show, 1 to 3650 (default 7); --urls: the table names each host's URL\n";

// The words after `--history`; nothing, with `error` set, for a bad option.
std::optional<ReportRequest> ParseReportRequest(std::span<const std::string> args, std::string& error);

// Prints the table for the last `request.days` days up to `now` from the database `file`. Exit status 0, or
// 1 with the reason on `err` when there is no history to read.
int PrintReport(const ReportRequest& request, const std::filesystem::path& file, TimePoint now,
                std::ostream& out, std::ostream& err);

}  // namespace history
