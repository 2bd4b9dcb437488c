#include "servers/setting_store.h"

#include <utility>

SettingStore::SettingStore(std::filesystem::path file) : m_file(std::move(file)) {}

std::filesystem::path SettingStore::ConflictFile() const {
    std::filesystem::path conflict = m_file;
    conflict += ".conflict";
    return conflict;
}

std::vector<std::string> SettingStore::Load() {
    std::optional<FileVersion> version = ReadRegularFile(m_file);
    m_stamp = version ? std::optional(version->stamp) : std::nullopt;
    m_entries = version ? SplitEntries(version->content) : std::vector<std::string>{};
    return m_entries;
}

std::optional<DiskVersion> SettingStore::ChangedOnDisk() {
    std::optional<FileStamp> now = StampOf(m_file);
    if (!now || now == m_stamp) return std::nullopt;
    std::optional<FileVersion> file = ReadRegularFile(m_file);
    if (!file) return std::nullopt;
    DiskVersion version{SplitEntries(file->content), std::move(*file)};
    if (version.entries == m_entries) {
        m_stamp = version.file.stamp;
        return std::nullopt;
    }
    return version;
}

void SettingStore::Take(const DiskVersion& version) {
    m_stamp = version.file.stamp;
    m_entries = version.entries;
}

SaveResult SettingStore::Save(const std::vector<std::string>& entries) {
    SaveResult saved = SaveServerEntries(m_file, entries);
    if (saved) {
        m_stamp = saved.stamp;
        m_entries = entries;
    }
    return saved;
}
