#pragma once

#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "ports/fault_category.h"
#include "servers/setting_file.h"

// The hosts whose fault an operator acknowledged: their alarm stays quiet until they answer normal or report
// a fault of a category not acknowledged. Kept beside Setting.ini so that a restart keeps them: one line per
// host, "name,url=categories;who;time" (categories as "connection+server", who "window" or "command line",
// the time in ISO 8601 local time with its offset), GBK, CR LF. The file exists only while some host is
// acknowledged. Not locked: its owner holds the lock.
inline constexpr const char* kAcknowledgedFileName = "acknowledged.ini";

struct Acknowledgement {
    std::set<FaultCategory> categories;
    std::string who;  // "window", "command line"
    std::time_t since = 0;
};

class Acknowledgements {
public:
    using Host = std::pair<std::string, std::string>;  // name, URL (GBK)

    explicit Acknowledgements(std::filesystem::path file = {});

    // Reads the file as it is; a line that cannot be read is dropped.
    void Load();
    const Acknowledgement* Find(const Host& host) const;
    const std::map<Host, Acknowledgement>& All() const { return m_hosts; }
    // Sets (or widens) the host's acknowledgement and saves.
    SaveResult Add(const Host& host, Acknowledgement acknowledgement);
    // Drops the host's acknowledgement and saves; writes nothing when it had none.
    SaveResult Remove(const Host& host);

private:
    SaveResult Save() const;

    std::filesystem::path m_file;
    std::map<Host, Acknowledgement> m_hosts;
};
