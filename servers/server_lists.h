#pragma once

#include <mutex>
#include <string>
#include <vector>

// The server entries and their states ("true"/"false"), parallel arrays behind one lock. The poll round holds
// the lock only to count, copy an entry or touch a state; the list dialogs hold it while they change entries.
class ServerLists {
public:
    // Both arrays, with the lock held for as long as this object lives.
    struct Locked {
        std::unique_lock<std::mutex> hold;
        std::vector<std::string>& m_arrServers;
        std::vector<std::string>& m_arrServerStates;
    };

    Locked Lock() { return Locked{std::unique_lock(m_lock), m_arrServers, m_arrServerStates}; }

    // Replaces both arrays: the entries, each with the state "true".
    void Reset(std::vector<std::string> entries);
    // Replaces the entries with a newer list: an entry whose name and URL were there before keeps that
    // entry's state, any other starts "true".
    void Replace(std::vector<std::string> entries);
    // A copy of the entries, taken under the lock.
    std::vector<std::string> Entries();
    std::vector<std::string> States();

private:
    std::mutex m_lock;
    std::vector<std::string> m_arrServers;
    std::vector<std::string> m_arrServerStates;
};

inline constexpr const char* kStateTrue = "true";
inline constexpr const char* kStateFalse = "false";
