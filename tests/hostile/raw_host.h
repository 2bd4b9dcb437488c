#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A TCP host on 127.0.0.1 that answers each connection with whatever bytes a test scripts, including what no
// HTTP server library will send: torn status lines, endless bodies, resets, silence. Each connection runs the
// behaviour on its own thread. The destructor wakes every connection and joins every thread; a behaviour
// that keeps waiting or sending ends there at the latest.
class RawHost {
public:
    class Connection {
    public:
        Connection(int fd, const std::atomic<bool>& stopping, std::mutex& mutex,
                   std::condition_variable& wake);
        ~Connection();
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;

        // Reads the request head (up to the empty line) within 2 s; false when none came.
        bool ReadRequest();
        // Sends every byte; false once the peer is gone or the host stops.
        bool Send(std::string_view bytes);
        // Sleeps; false when the host stops meanwhile.
        bool Wait(std::chrono::milliseconds duration);
        // Closes so that the peer sees a reset (SO_LINGER 0), or an orderly end of the stream.
        void Reset();
        void Close();
        // Wakes a blocked read or send from another thread.
        void Interrupt();

    private:
        std::mutex m_fdMutex;
        int m_fd;
        const std::atomic<bool>& m_stopping;
        std::mutex& m_mutex;
        std::condition_variable& m_wake;
    };
    using Behaviour = std::function<void(Connection&)>;

    explicit RawHost(Behaviour behaviour);  // throws std::runtime_error if it cannot listen
    ~RawHost();
    RawHost(const RawHost&) = delete;
    RawHost& operator=(const RawHost&) = delete;

    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/status"; }
    int connections() const { return m_accepted.load(); }

private:
    void AcceptLoop();

    Behaviour m_behaviour;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};
