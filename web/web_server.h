#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "config/listen_address.h"

namespace httplib {
class Server;
}

namespace web {

// What the server hands out; called on its own threads, so each must be thread-safe and quick.
struct WebContent {
    struct Rendered {
        std::string page;    // text/html
        std::string status;  // application/json
        std::string tag;     // the round it shows, as an ETag
    };
    std::function<std::shared_ptr<const Rendered>()> current;  // null until the first is rendered
    // /api/outages?days=N, or nothing when the history cannot be read now.
    std::function<std::optional<std::string>(int days)> outages;
    // /metrics when the metrics share this address; empty otherwise.
    std::function<std::function<std::string()>()> metrics;
};

inline constexpr int kMaxOutageDays = 400;

// The read-only status page's HTTP server on its own threads: GET and HEAD only, every answer with a
// Content-Security-Policy allowing nothing but its own files and nosniff. Stopping never waits for a client.
class WebServer {
public:
    // Throws std::runtime_error when `address` cannot be bound.
    WebServer(const ListenAddress& address, WebContent content);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    const ListenAddress& Address() const { return m_address; }
    int Port() const { return m_port; }

private:
    ListenAddress m_address;
    WebContent m_content;
    int m_port = 0;
    std::unique_ptr<httplib::Server> m_server;
    std::atomic<bool> m_listenEnded{false};
    std::thread m_thread;
};

}  // namespace web
