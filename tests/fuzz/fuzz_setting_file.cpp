// The Setting.ini reader and writer over arbitrary file contents: load, save, load again.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_files.h"
#include "fuzz_support.h"
#include "servers/setting_file.h"

namespace {

namespace fs = std::filesystem;

using fuzz::WorkDir;
using fuzz::WriteBytes;

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The reading rules, restated: LF ends a line and takes one CR in front of it along; bytes after the last LF
// are a last line as they are; nothing after a final LF adds no line.
std::vector<std::string> ExpectedEntries(std::string_view content) {
    std::vector<std::string> entries;
    std::string line;
    for (char c : content) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        entries.push_back(std::move(line));
        line.clear();
    }
    if (!line.empty()) entries.push_back(std::move(line));
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const fs::path input = WorkDir() / "Setting.ini";
    const fs::path saved = WorkDir() / "Saved.ini";
    WriteBytes(input, content);

    const std::vector<std::string> entries = LoadServerEntries(input);
    FUZZ_CHECK(entries == ExpectedEntries(content));
    std::size_t lineEnds = 0;
    for (char c : content) lineEnds += c == '\n';
    FUZZ_CHECK(entries.size() <= lineEnds + 1);
    for (const std::string& entry : entries) FUZZ_CHECK(entry.find('\n') == std::string::npos);

    FUZZ_CHECK(SaveServerEntries(saved, entries));
    std::string expectedBytes;
    for (const std::string& entry : entries) expectedBytes += entry + "\r\n";
    const std::string savedBytes = ReadBytes(saved);
    FUZZ_CHECK(savedBytes == expectedBytes);
    // A file already written the way the program writes it comes back byte for byte.
    bool canonical = content.empty() || content.back() == '\n';
    for (std::size_t i = 0; i < content.size() && canonical; ++i)
        canonical = content[i] != '\n' || (i > 0 && content[i - 1] == '\r');
    if (canonical) FUZZ_CHECK(savedBytes == content);

    // No entry holds a line end, so a reload gives the same list, even for entries that keep a CR of their
    // own.
    FUZZ_CHECK(LoadServerEntries(saved) == entries);

    // The temporary file the save went through is gone.
    std::size_t files = 0;
    for (const fs::directory_entry& item : fs::directory_iterator(WorkDir())) {
        (void)item;
        ++files;
    }
    FUZZ_CHECK(files == 2);
    return 0;
}
