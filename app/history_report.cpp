#include "app/history_report.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <vector>

#include <QList>
#include <QString>

#include "history/csv.h"
#include "history/fault_line.h"
#include "history/outcome_codes.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace history {

namespace {

using Row = std::vector<std::string>;

std::string Utf8(const std::string& gbkText) {
    return gbk::ToQString(gbkText).toUtf8().toStdString();
}

// Columns a terminal gives the text: East Asian wide characters take two.
std::size_t DisplayWidth(std::string_view utf8) {
    std::size_t width = 0;
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    for (const uint code : text.toUcs4()) {
        const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                          (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                          (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                          (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

// The first characters of `utf8` that take at most `columns`, with "…" when some were cut.
std::string Cut(const std::string& utf8, std::size_t columns) {
    if (DisplayWidth(utf8) <= columns) return utf8;
    const QString text = QString::fromStdString(utf8);
    QString kept;
    for (const QChar c : text) {
        if (DisplayWidth((kept + c + QChar(0x2026)).toStdString()) > columns) break;
        kept += c;
    }
    return (kept + QChar(0x2026)).toStdString();
}

// The last column is cut so that a line fits kReportColumns.
void PrintTable(const Row& header, std::vector<Row> rows, std::ostream& out) {
    std::vector<std::size_t> widths(header.size(), 0);
    for (std::size_t c = 0; c < header.size(); ++c) widths[c] = DisplayWidth(header[c]);
    for (const Row& row : rows)
        for (std::size_t c = 0; c + 1 < row.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    std::size_t used = 0;
    for (std::size_t c = 0; c + 1 < header.size(); ++c) used += widths[c] + 2;
    const std::size_t last = std::max<std::size_t>(kReportColumns > used ? kReportColumns - used : 0, 12);
    for (Row& row : rows) row.back() = Cut(row.back(), last);
    const auto line = [&](const Row& row) {
        std::string text;
        for (std::size_t c = 0; c < row.size(); ++c) {
            text += row[c];
            if (c + 1 < row.size()) text += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        out << text << '\n';
    };
    line(header);
    for (const Row& row : rows) line(row);
}

// `text`: the columns that hold a host's text rather than what Tessiv itself writes.
void PrintCsv(const Row& header, const std::vector<Row>& rows, const std::vector<std::size_t>& text,
              std::ostream& out) {
    for (std::size_t c = 0; c < header.size(); ++c) out << (c > 0 ? "," : "") << CsvField(header[c]);
    out << "\r\n";
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            const bool hosts = std::find(text.begin(), text.end(), c) != text.end();
            out << (c > 0 ? "," : "") << (hosts ? CsvTextField(row[c]) : CsvField(row[c]));
        }
        out << "\r\n";
    }
}

std::string LocalTime(TimePoint time) {
    const std::time_t when = Clock::to_time_t(time);
    std::tm local{};
    char text[32] = "";
    if (localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Duration(std::int64_t seconds) {
    char text[48];
    const std::int64_t days = seconds / 86400;
    const auto h = static_cast<int>(seconds % 86400 / 3600);
    const auto m = static_cast<int>(seconds % 3600 / 60);
    const auto s = static_cast<int>(seconds % 60);
    if (days > 0)
        std::snprintf(text, sizeof text, "%lldd %02d:%02d:%02d", static_cast<long long>(days), h, m, s);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, m, s);
    return text;
}

std::string Percent(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

int PrintOutages(HistoryReader& reader, const ReportRequest& request, TimePoint now, std::ostream& out) {
    const TimePoint from = now - std::chrono::days(request.days);
    if (request.csv) {
        // Written as read: memory stays the same however many there are.
        out << kOutagesCsvHeader;
        reader.VisitOutages(from, now, nullptr, nullptr, nullptr,
                            [&](const OutageRecord& record, const OutageKey&) {
                                out << OutageCsvRow(record, now);
                                return true;
                            });
        return 0;
    }
    const auto records = reader.Outages(from, now);
    std::vector<Row> rows;
    for (const OutageRecord& record : records) {
        const TimePoint end = record.end.value_or(now);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(end - record.start).count();
        const std::string category(OutcomeName(record.category));
        rows.push_back({Utf8(record.name), Utf8(record.url), LocalTime(record.start),
                        record.end ? LocalTime(*record.end) : "ongoing", Duration(seconds),
                        record.endedBy.empty() ? category : category + " (" + record.endedBy + ")",
                        Utf8(ShortFaultLine(record.firstLine, record.name))});
    }
    Row header{"SERVER", "URL", "START", "END", "DURATION", "CATEGORY", "FIRST LINE"};
    if (!request.urls) {
        header.erase(header.begin() + 1);
        for (Row& row : rows) row.erase(row.begin() + 1);
    }
    PrintTable(header, std::move(rows), out);
    return 0;
}

int PrintUptime(HistoryReader& reader, const ReportRequest& request, TimePoint now, std::ostream& out) {
    const auto summaries = reader.Summaries(now - std::chrono::days(request.days), now, 1);
    std::vector<Row> rows;
    for (const HostSummary& host : summaries) {
        const auto longest = host.longest.count();
        rows.push_back({Utf8(host.name), Utf8(host.url), Percent(host.uptimePercent),
                        std::to_string(host.outages),
                        request.csv         ? std::to_string(longest)
                        : host.outages == 0 ? std::string("-")
                                            : Duration(longest),
                        std::to_string(host.rounds)});
    }
    if (request.csv) {
        PrintCsv({"server", "url", "uptime_percent", "outages", "longest_s", "rounds"}, rows, {0, 1}, out);
        return 0;
    }
    Row header{"SERVER", "URL", "UPTIME %", "OUTAGES", "LONGEST", "ROUNDS"};
    if (!request.urls) {
        header.erase(header.begin() + 1);
        for (Row& row : rows) row.erase(row.begin() + 1);
    }
    PrintTable(header, std::move(rows), out);
    return 0;
}

}  // namespace

std::optional<ReportRequest> ParseReportRequest(std::span<const std::string> args, std::string& error) {
    ReportRequest request;
    bool table = false;
    // The table and the options in any order.
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--csv") {
            request.csv = true;
        } else if (arg == "--urls") {
            request.urls = true;
        } else if (arg == "--days") {
            const std::string value = i + 1 < args.size() ? args[++i] : "";
            int days = 0;
            const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), days);
            if (value.empty() || failed != std::errc() || end != value.data() + value.size() || days < 1 ||
                days > 3650) {
                error = "--days needs a number from 1 to 3650";
                return std::nullopt;
            }
            request.days = days;
        } else if (!table && !arg.starts_with("-")) {
            if (arg == "outages")
                request.table = ReportRequest::Table::Outages;
            else if (arg == "uptime")
                request.table = ReportRequest::Table::Uptime;
            else {
                error = "unknown table \"" + arg + "\"";
                return std::nullopt;
            }
            table = true;
        } else {
            error = "unknown option \"" + arg + "\"";
            return std::nullopt;
        }
    }
    if (!table) {
        error = "--history needs \"outages\" or \"uptime\"";
        return std::nullopt;
    }
    return request;
}

int PrintReport(const ReportRequest& request, const std::filesystem::path& file, TimePoint now,
                std::ostream& out, std::ostream& err) {
    std::string error;
    std::unique_ptr<HistoryReader> reader = HistoryReader::Open(file, error);
    if (!reader) {
        err << "tessiv: " << error << "\n";
        return 1;
    }
    try {
        return request.table == ReportRequest::Table::Outages ? PrintOutages(*reader, request, now, out)
                                                              : PrintUptime(*reader, request, now, out);
    } catch (const std::runtime_error& failure) {
        err << "tessiv: " << file.string() << " cannot be read (" << failure.what() << ")\n";
        return 1;
    }
}

}  // namespace history
