#include "history/fault_line.h"

namespace history {

std::string ShortFaultLine(std::string line, const std::string& server) {
    if (line.size() > 6 && line.compare(3, 2, " <") == 0) {
        const std::size_t close = line.find("> ");
        if (close != std::string::npos) line.erase(0, close + 2);
    }
    if (line.starts_with("------ ")) line.erase(0, 7);
    if (line.ends_with(" ------")) line.erase(line.size() - 7);
    if (!server.empty() && line.starts_with(server + " ")) line.erase(0, server.size() + 1);
    return line;
}

}  // namespace history
