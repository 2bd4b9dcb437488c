#pragma once

#include <string>

namespace history {

// A fault line without what a row naming the host and the outage's start says already: its display number,
// its time, the host's name and the dashes around it. "001 <2026-12-09 08:00:00> ------ 中心A 网站 ... 异常
// ------" reads "网站 ... 异常". GBK in and out; a line of another shape is kept as it is.
std::string ShortFaultLine(std::string line, const std::string& server);

}  // namespace history
