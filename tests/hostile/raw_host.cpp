#include "tests/hostile/raw_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

constexpr int kMaxConnections = 64;  // a runaway client cannot make the host spawn threads without end
constexpr int kPollMs = 20;

}  // namespace

RawHost::Connection::Connection(int fd, const std::atomic<bool>& stopping, std::mutex& mutex,
                                std::condition_variable& wake)
    : m_fd(fd), m_stopping(stopping), m_mutex(mutex), m_wake(wake) {}

RawHost::Connection::~Connection() {
    Close();
}

bool RawHost::Connection::ReadRequest() {
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!m_stopping && std::chrono::steady_clock::now() < deadline && head.size() < 65536) {
        pollfd item{m_fd, POLLIN, 0};
        const int ready = ::poll(&item, 1, kPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(got));
        if (head.find("\r\n\r\n") != std::string::npos) return true;
    }
    return false;
}

bool RawHost::Connection::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (m_stopping) return false;
        pollfd item{m_fd, POLLOUT, 0};
        const int ready = ::poll(&item, 1, kPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        if ((item.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool RawHost::Connection::Wait(std::chrono::milliseconds duration) {
    std::unique_lock hold(m_mutex);
    return !m_wake.wait_for(hold, duration, [this] { return m_stopping.load(); });
}

void RawHost::Connection::Reset() {
    std::lock_guard hold(m_fdMutex);
    if (m_fd < 0) return;
    linger abort{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(m_fd);
    m_fd = -1;
}

void RawHost::Connection::Close() {
    std::lock_guard hold(m_fdMutex);
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

void RawHost::Connection::Interrupt() {
    std::lock_guard hold(m_fdMutex);
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

RawHost::RawHost(Behaviour behaviour) : m_behaviour(std::move(behaviour)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

RawHost::~RawHost() {
    {
        std::lock_guard hold(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_acceptor.join();
    for (const auto& connection : m_connections) connection->Interrupt();
    for (std::thread& thread : m_threads) thread.join();
    ::close(m_listenFd);
}

void RawHost::AcceptLoop() {
    while (!m_stopping) {
        pollfd item{m_listenFd, POLLIN, 0};
        if (::poll(&item, 1, kPollMs) <= 0) continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (static_cast<int>(m_threads.size()) >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        ++m_accepted;
        auto connection = std::make_shared<Connection>(fd, m_stopping, m_mutex, m_wake);
        m_connections.push_back(connection);
        m_threads.emplace_back([this, connection] {
            m_behaviour(*connection);
            connection->Close();
        });
    }
}
