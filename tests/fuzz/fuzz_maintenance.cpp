// maintenance.ini over arbitrary file contents: what Load keeps is exactly the lines that name an entry and
// a time, and every time read formats back to itself.

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_files.h"
#include "fuzz_support.h"
#include "servers/maintenance.h"
#include "servers/setting_file.h"
#include "text/time_text.h"

namespace {

namespace fs = std::filesystem;

using fuzz::WorkDir;
using fuzz::WriteBytes;

// The reading rules, restated: each line is "key=time", split at the last "=" with a key before it; a line
// whose time does not read is dropped, and a later line for the same key wins.
std::map<std::string, std::time_t> ExpectedEnds(const std::string& content) {
    std::map<std::string, std::time_t> ends;
    for (const std::string& line : SplitEntries(content)) {
        const std::size_t equals = line.rfind('=');
        if (equals == std::string::npos || equals == 0) continue;
        if (const auto end = ParseIsoTime(std::string_view(line).substr(equals + 1)))
            ends[line.substr(0, equals)] = *end;
    }
    return ends;
}

std::vector<std::string> KeysEndedBy(const std::map<std::string, std::time_t>& ends, std::time_t now) {
    std::vector<std::string> keys;
    for (const auto& [key, end] : ends)
        if (end <= now) keys.push_back(key);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool utc = [] { return ::setenv("TZ", "UTC", 1) == 0; }();
    FUZZ_CHECK(utc);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const fs::path file = WorkDir() / kMaintenanceFileName;
    WriteBytes(file, content);

    Maintenance maintenance(file);
    maintenance.Load();
    const std::map<std::string, std::time_t> ends = ExpectedEnds(content);
    FUZZ_CHECK(maintenance.EndedBy(std::numeric_limits<std::time_t>::max()) ==
               KeysEndedBy(ends, std::numeric_limits<std::time_t>::max()));
    std::size_t pivots = 0;
    for (const auto& [key, end] : ends) {
        // An entry is found by its key, whatever its flag, unless the key itself holds an "@".
        if (MaintenanceKey(key + "@1") == key) FUZZ_CHECK(maintenance.EndOf(key + "@0") == end);
        if (pivots++ < 4) FUZZ_CHECK(maintenance.EndedBy(end) == KeysEndedBy(ends, end));
        // What Save would write for this time reads back as the same time, within the years it can write.
        const std::string written = IsoLocalTime(end);
        if (written.size() == 25) FUZZ_CHECK(ParseIsoTime(written) == end);
    }

    return 0;
}
