#include "servers/server_lists.h"

void ServerLists::Reset(std::vector<std::string> entries) {
    Locked lists = Lock();
    lists.m_arrServerStates.assign(entries.size(), kStateTrue);
    lists.m_arrServers = std::move(entries);
}

std::vector<std::string> ServerLists::Entries() {
    return Lock().m_arrServers;
}

std::vector<std::string> ServerLists::States() {
    return Lock().m_arrServerStates;
}
