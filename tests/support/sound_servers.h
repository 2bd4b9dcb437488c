#pragma once

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

// A sound server that has hung: its Unix socket accepts every connection and never answers, as a stuck
// PulseAudio or PipeWire does. Point PULSE_SERVER at Address().
class HungSoundServer {
public:
    HungSoundServer();
    ~HungSoundServer();
    HungSoundServer(const HungSoundServer&) = delete;
    HungSoundServer& operator=(const HungSoundServer&) = delete;

    std::string Address() const { return "unix:" + m_path.string(); }

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_path;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptor;
};

// A working PulseAudio server of our own with a null sink: sound plays to nowhere. Point PULSE_SERVER at
// Address() once Ready().
class NullSinkSoundServer {
public:
    NullSinkSoundServer();
    ~NullSinkSoundServer();
    NullSinkSoundServer(const NullSinkSoundServer&) = delete;
    NullSinkSoundServer& operator=(const NullSinkSoundServer&) = delete;

    bool Ready() const;  // the server accepts connections (waits up to 10 s for it)
    std::string Address() const { return "unix:" + m_socket.string(); }

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_socket;
    int m_pid = -1;
};

// Sets up the sound server named by TESSIV_TEST_SOUND before anything opens the audio stack: "hung" starts
// a HungSoundServer for the life of the process, "none" points at a server that does not exist.
void UseTestSoundServer();
