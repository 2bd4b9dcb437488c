#include "config/endpoint_connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace {

int SocketOption(int fd, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, name, &value, &length) == 0 ? value : -1;
}

// The local port of a TCP connection accepted on `port`; false for anything else, listeners included.
bool AcceptedOn(int fd, int port) {
    if (SocketOption(fd, SO_TYPE) != SOCK_STREAM || SocketOption(fd, SO_ACCEPTCONN) != 0) return false;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port) == port;
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(local).sin6_port) == port;
    return false;
}

}  // namespace

void KnockListener(const std::string& host, int port) {
    sockaddr_in6 v6{};
    sockaddr_in v4{};
    sockaddr* address = nullptr;
    socklen_t length = 0;
    if (inet_pton(AF_INET, host == "0.0.0.0" ? "127.0.0.1" : host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        address = reinterpret_cast<sockaddr*>(&v4);
        length = sizeof v4;
    } else if (inet_pton(AF_INET6, host == "::" ? "::1" : host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        address = reinterpret_cast<sockaddr*>(&v6);
        length = sizeof v6;
    } else {
        return;
    }
    const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    connect(fd, address, length);
    close(fd);
}

void ShutDownAcceptedConnections(int port) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        const std::string name = entry.path().filename().string();
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc{}) continue;
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) continue;
        if (AcceptedOn(copy, port)) shutdown(copy, SHUT_RDWR);
        close(copy);
    }
}
