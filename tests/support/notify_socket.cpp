#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

using namespace std::chrono_literals;

NotifySocket::NotifySocket(const std::string& path) {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind " + path);
    m_reader = std::thread([this] { Read(); });
}

NotifySocket::~NotifySocket() {
    m_stop = true;
    m_reader.join();
    close(m_fd);
}

std::vector<NotifySocket::Message> NotifySocket::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

bool NotifySocket::WaitFor(const std::string& text, Clock::duration limit) const {
    for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(10ms))
        for (const Message& message : Messages())
            if (message.text == text) return true;
    return false;
}

void NotifySocket::Read() {
    while (!m_stop) {
        pollfd wait{m_fd, POLLIN, 0};
        if (poll(&wait, 1, 20) != 1) continue;
        char buffer[4096];
        const ssize_t size = recv(m_fd, buffer, sizeof buffer, 0);
        if (size < 0) continue;
        std::lock_guard lock(m_mutex);
        m_messages.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(size))});
    }
}
