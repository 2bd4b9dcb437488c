#include "servers/server_lists.h"

#include <map>
#include <utility>

#include "servers/server_entry.h"

void ServerLists::Reset(std::vector<std::string> entries) {
    Locked lists = Lock();
    lists.m_arrServerStates.assign(entries.size(), kStateTrue);
    lists.m_arrServers = std::move(entries);
}

void ServerLists::Replace(std::vector<std::string> entries) {
    using Key = std::pair<std::string, std::string>;
    auto keyOf = [](const std::string& line) {
        entry::PollView view = entry::ForPolling(line);
        return Key{std::move(view.name), std::move(view.url)};
    };
    Locked lists = Lock();
    // Each old entry hands its state on once, in list order, so duplicates pair up first with first.
    std::multimap<Key, std::string> states;
    for (std::size_t i = 0; i < lists.m_arrServers.size() && i < lists.m_arrServerStates.size(); ++i)
        states.emplace(keyOf(lists.m_arrServers[i]), lists.m_arrServerStates[i]);
    std::vector<std::string> newStates;
    newStates.reserve(entries.size());
    for (const std::string& line : entries) {
        const Key key = keyOf(line);
        auto found = states.lower_bound(key);
        if (found == states.end() || found->first != key) {
            newStates.emplace_back(kStateTrue);
            continue;
        }
        newStates.push_back(std::move(found->second));
        states.erase(found);
    }
    lists.m_arrServers = std::move(entries);
    lists.m_arrServerStates = std::move(newStates);
}

std::vector<std::string> ServerLists::Entries() {
    return Lock().m_arrServers;
}

std::vector<std::string> ServerLists::States() {
    return Lock().m_arrServerStates;
}
