#include "tools/scenario_file.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "text/gbk.h"
#include "text/time_text.h"

namespace {

std::string_view Trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

std::string AppTime(std::string_view time, std::time_t now) {
    if (time.substr(0, 3) != "now") return std::string(time);
    std::string_view offset = time.substr(3);
    long seconds = 0;
    if (!offset.empty()) {
        const bool ahead = offset.front() == '+';
        if ((!ahead && offset.front() != '-') || !ParseNumber(offset.substr(1), seconds)) {
            return std::string(time);
        }
        if (!ahead) seconds = -seconds;
    }
    return FormatLocalTime(now + seconds, kReportTimeFormat);
}

}  // namespace

std::vector<Scenario> ParseScenarios(std::string_view text, std::time_t now) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<Scenario> scenarios(1);
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = Trim(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;

        const auto fail = [&](const char* why) {
            throw std::invalid_argument("line " + std::to_string(lineNumber) + ": " + why + ": " +
                                        std::string(line));
        };
        const std::size_t gap = line.find_first_of(" \t");
        const std::string_view keyword = line.substr(0, gap);
        const std::string_view rest =
            gap == std::string_view::npos ? std::string_view() : Trim(line.substr(gap));
        Scenario& scenario = scenarios.back();

        if (keyword == "---" && rest.empty()) {
            scenarios.emplace_back();
        } else if (keyword == "status") {
            if (!ParseNumber(rest, scenario.status) || scenario.status < 100 || scenario.status > 999)
                fail("status needs a code from 100 to 999");
        } else if (keyword == "delay") {
            long ms = 0;
            if (!ParseNumber(rest, ms) || ms < 0) fail("delay needs milliseconds");
            scenario.delay = std::chrono::milliseconds(ms);
        } else if (keyword == "hang" && rest.empty()) {
            scenario.hang = true;
        } else if (keyword == "redirect" && !rest.empty()) {
            scenario.redirect = std::string(rest);
        } else if (keyword == "body") {
            scenario.rawBody = gbk::FromUtf8(rest);
        } else if (keyword == "app") {
            const std::size_t bar = rest.rfind('|');
            if (bar == std::string_view::npos) fail("app needs NAME | TIME");
            scenario.apps.push_back(
                {std::string(Trim(rest.substr(0, bar))), AppTime(Trim(rest.substr(bar + 1)), now)});
        } else {
            fail("unknown directive");
        }
    }
    return scenarios;
}

Scenario ScenarioFromFile(const std::filesystem::path& file, int request, std::time_t now) {
    Scenario failed;
    failed.status = 500;
    failed.rawBody = "cannot read " + file.string();
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return failed;
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return failed;
    try {
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::vector<Scenario> scenarios = ParseScenarios(text, now);
        return scenarios[static_cast<std::size_t>(request) % scenarios.size()];
    } catch (const std::exception& problem) {
        failed.rawBody = file.string() + ": " + problem.what();
        return failed;
    }
}
