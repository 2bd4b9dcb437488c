#pragma once

// The classes of fault line, by the first category text the line contains.
enum class FaultCategory { Connection, ServerFault, DiskSpace, DbLog, Security, Unclassified };

// "connection", "server", "disk", "dblog", "security"; "" for an unclassified line.
inline const char* FaultCategoryName(FaultCategory category) {
    switch (category) {
        case FaultCategory::Connection:
            return "connection";
        case FaultCategory::ServerFault:
            return "server";
        case FaultCategory::DiskSpace:
            return "disk";
        case FaultCategory::DbLog:
            return "dblog";
        case FaultCategory::Security:
            return "security";
        case FaultCategory::Unclassified:
            break;
    }
    return "";
}
