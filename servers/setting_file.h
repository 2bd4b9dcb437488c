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

// Why a save failed: the system's error and the step that met it.
struct SaveResult {
    int error = 0;  // errno; 0 when the file was saved
    const char* step = "";
    explicit operator bool() const { return error == 0; }
    std::string Reason() const;  // e.g. "Permission denied (creating the file)"
};

// Writes each entry followed by CR LF. The new list goes to a temporary file in the same folder that then
// replaces the old one, so the file always holds either the old or the new list. A symbolic link is saved
// through to its target and stays a link; a file its user may not write is left alone; where the folder
// cannot take a temporary file the file is rewritten in place. A failed atomic save leaves the old file
// untouched.
SaveResult SaveServerEntries(const std::filesystem::path& file, const std::vector<std::string>& entries);
