#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "servers/setting_file.h"

// Setting.ini as another program left it.
struct DiskVersion {
    std::vector<std::string> entries;
    FileVersion file;
};

// Setting.ini as this program last read or wrote it, so that an edit made by another program meanwhile is
// noticed instead of being overwritten unseen. Used on the core's thread only.
class SettingStore {
public:
    explicit SettingStore(std::filesystem::path file);

    const std::filesystem::path& File() const { return m_file; }
    // Where the other version goes when both this program and another one changed the list.
    std::filesystem::path ConflictFile() const;

    // Reads the entries and remembers them as what is on disk.
    std::vector<std::string> Load();
    // The list on disk when another program changed it since it was last read or written here. Nothing when
    // the file is as it was, holds the same entries (touched, or written back unchanged), or is gone or not
    // a regular file: a missing file is no newer list, and the next save writes it again.
    std::optional<DiskVersion> ChangedOnDisk();
    // Remembers a version found by ChangedOnDisk as taken.
    void Take(const DiskVersion& version);
    // Saves the entries; once saved, they are what is on disk.
    SaveResult Save(const std::vector<std::string>& entries);

private:
    std::filesystem::path m_file;
    std::optional<FileStamp> m_stamp;
    std::vector<std::string> m_entries;
};
