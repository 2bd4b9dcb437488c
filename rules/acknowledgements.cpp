#include "rules/acknowledgements.h"

#include <string_view>

#include "text/time_text.h"

namespace {

constexpr FaultCategory kAlarming[] = {FaultCategory::Connection, FaultCategory::ServerFault,
                                       FaultCategory::DiskSpace, FaultCategory::DbLog,
                                       FaultCategory::Security};

std::string CategoriesText(const std::set<FaultCategory>& categories) {
    std::string text;
    for (const FaultCategory category : categories)
        text += (text.empty() ? "" : "+") + std::string(FaultCategoryName(category));
    return text;
}

std::optional<std::set<FaultCategory>> ParseCategories(std::string_view text) {
    std::set<FaultCategory> categories;
    while (!text.empty()) {
        const auto plus = text.find('+');
        const std::string_view name = text.substr(0, plus);
        text.remove_prefix(plus == std::string_view::npos ? text.size() : plus + 1);
        bool known = false;
        for (const FaultCategory category : kAlarming)
            if (name == FaultCategoryName(category)) {
                categories.insert(category);
                known = true;
            }
        if (!known) return std::nullopt;
    }
    if (categories.empty()) return std::nullopt;
    return categories;
}

}  // namespace

Acknowledgements::Acknowledgements(std::filesystem::path file) : m_file(std::move(file)) {}

void Acknowledgements::Load() {
    m_hosts.clear();
    if (m_file.empty()) return;
    std::optional<FileVersion> version = ReadRegularFile(m_file);
    if (!version) return;
    for (const std::string& line : SplitEntries(version->content)) {
        // A URL may hold "=" and "," (a name never holds a comma); the rest never holds "=".
        const std::size_t equals = line.rfind('=');
        const std::size_t comma = line.find(',');
        if (equals == std::string::npos || comma == std::string::npos || comma > equals) continue;
        const std::string_view rest = std::string_view(line).substr(equals + 1);
        const auto first = rest.find(';');
        const auto second = first == std::string_view::npos ? first : rest.find(';', first + 1);
        if (second == std::string_view::npos) continue;
        auto categories = ParseCategories(rest.substr(0, first));
        auto since = ParseIsoTime(rest.substr(second + 1));
        if (!categories || !since) continue;
        m_hosts[{line.substr(0, comma), line.substr(comma + 1, equals - comma - 1)}] = Acknowledgement{
            std::move(*categories), std::string(rest.substr(first + 1, second - first - 1)), *since};
    }
}

const Acknowledgement* Acknowledgements::Find(const Host& host) const {
    const auto found = m_hosts.find(host);
    return found == m_hosts.end() ? nullptr : &found->second;
}

SaveResult Acknowledgements::Add(const Host& host, Acknowledgement acknowledgement) {
    m_hosts[host] = std::move(acknowledgement);
    return Save();
}

SaveResult Acknowledgements::Remove(const Host& host) {
    if (m_hosts.erase(host) == 0) return {};
    return Save();
}

SaveResult Acknowledgements::Save() const {
    if (m_file.empty()) return {};
    if (m_hosts.empty()) {
        std::error_code error;
        std::filesystem::remove(m_file, error);
        if (error) return SaveResult{error.value(), "removing the file"};
        return {};
    }
    std::string content;
    for (const auto& [host, acknowledgement] : m_hosts)
        content += host.first + "," + host.second + "=" + CategoriesText(acknowledgement.categories) + ";" +
                   acknowledgement.who + ";" + IsoLocalTime(acknowledgement.since) + "\r\n";
    return SaveFileContent(m_file, content);
}
