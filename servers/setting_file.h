#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Setting.ini: the server entries in list order, one per line, GBK bytes, no BOM, no header.
inline constexpr const char* kSettingFileName = "Setting.ini";

// Reads every line, of any length; CR LF and LF both end a line, an empty line is an empty entry, a last line
// without a line end is read, a line end at the very end adds nothing. A missing or unreadable file: no
// entries.
std::vector<std::string> LoadServerEntries(const std::filesystem::path& file);

// Writes each entry followed by CR LF. The new list goes to a temporary file in the same folder that then
// replaces the old one, so the file always holds either the old or the new list. Returns false when
// nothing could be replaced; the old file is then untouched.
bool SaveServerEntries(const std::filesystem::path& file, const std::vector<std::string>& entries);
