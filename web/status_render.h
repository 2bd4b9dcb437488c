#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/status_model.h"

// The status page's bytes: the HTML page, complete without its script, and the same facts as JSON. Every
// text from a host or the list is escaped for where it goes.
namespace web {

// <, >, &, " and ' as character references.
std::string HtmlEscaped(std::string_view text);

// The page of `snapshot` with `outages` (the last 7 days') below its hosts.
std::string StatusPage(const StatusSnapshot& snapshot, const std::vector<OutageView>& outages, bool showUrls);
// /api/status and /api/outages.
std::string StatusJson(const StatusSnapshot& snapshot, bool showUrls);
std::string OutagesJson(const std::vector<OutageView>& outages, int days, TimePoint now, bool showUrls);

// The page's own style sheet and script.
const std::string& StyleSheet();
const std::string& PageScript();
const std::string& Icon();

inline constexpr int kPageOutageDays = 7;
inline constexpr std::size_t kPageOutagesShown = 500;  // more are in /api/outages

}  // namespace web
