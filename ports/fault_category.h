#pragma once

#include <string_view>

// The classes of fault line, by the first category text the line contains.
enum class FaultCategory { Connection, ServerFault, DiskSpace, DbLog, Security, Unclassified };

FaultCategory ClassifyFaultLine(std::string_view line);

// "connection", "server", "disk", "dblog", "security"; "" for an unclassified line.
const char* FaultCategoryName(FaultCategory category);
