#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Setting.ini: the server entries in list order, one per line, GBK bytes, no BOM, no header.
inline constexpr const char* kSettingFileName = "Setting.ini";

// What stat says about a file: another program that rewrites, replaces or appends to it changes at least one
// of these.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file `file` names (links followed); nothing when there is none.
std::optional<FileStamp> StampOf(const std::filesystem::path& file);

// A regular file's bytes and the stamp of what was read.
struct FileVersion {
    std::string content;
    FileStamp stamp;
};

// Reads without blocking; nothing when the file is missing, unreadable or not a regular file.
std::optional<FileVersion> ReadRegularFile(const std::filesystem::path& file);

// Splits the bytes into entries: CR LF and LF both end a line, an empty line is an empty entry, a last line
// without a line end is read, a line end at the very end adds nothing.
std::vector<std::string> SplitEntries(const std::string& content);

// Reads every line, of any length, as SplitEntries. A missing or unreadable file: no entries.
std::vector<std::string> LoadServerEntries(const std::filesystem::path& file);

// Why a save failed: the system's error and the step that met it.
struct SaveResult {
    int error = 0;  // errno; 0 when the file was saved
    const char* step = "";
    const char* problem = nullptr;  // said instead of the system's text for errno, when that would mislead
    FileStamp stamp{};              // of the file as written, when saved
    explicit operator bool() const { return error == 0; }
    std::string Reason() const;  // e.g. "Permission denied (creating the file)"
};

// Writes each entry followed by CR LF, as SaveFileContent.
SaveResult SaveServerEntries(const std::filesystem::path& file, const std::vector<std::string>& entries);

// The new content goes to a temporary file in the same folder that then replaces the old one, so the file
// always holds either the old or the new content. A symbolic link is saved through to its target (created
// when missing) and stays a link; a file its user may not write is left alone; where the folder cannot take
// a temporary file the file is rewritten in place, but only once the space for the new content is reserved,
// so a full disk leaves the old content whole. A failed save leaves the old file untouched.
SaveResult SaveFileContent(const std::filesystem::path& file, const std::string& content);
