#include "tests/support/hung_sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

HungSoundServer::HungSoundServer() {
    char folder[] = "/tmp/tessiv-sound-XXXXXX";
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("no temporary folder");
    m_folder = folder;
    m_path = m_folder / "native";
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot listen on " + m_path.string());
    m_acceptor = std::thread([this] {
        std::vector<int> held;  // kept open and never read: the client waits for an answer for ever
        pollfd waits[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        while (::poll(waits, 2, -1) >= 0 && (waits[1].revents & POLLIN) == 0) {
            if ((waits[0].revents & POLLIN) == 0) continue;
            int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) held.push_back(client);
        }
        for (int client : held) ::close(client);
    });
}

HungSoundServer::~HungSoundServer() {
    if (m_wake[1] >= 0) static_cast<void>(::write(m_wake[1], "x", 1));
    if (m_acceptor.joinable()) m_acceptor.join();
    for (int fd : {m_listener, m_wake[0], m_wake[1]})
        if (fd >= 0) ::close(fd);
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

void UseTestSoundServer() {
    const char* kind = std::getenv("TESSIV_TEST_SOUND");
    if (kind == nullptr) return;
    if (std::string(kind) == "hung") {
        // Lives until the process ends: audio threads stuck on it are never woken.
        static auto* server = new HungSoundServer;
        ::setenv("PULSE_SERVER", server->Address().c_str(), 1);
    } else if (std::string(kind) == "none") {
        ::setenv("PULSE_SERVER", "unix:/nonexistent/tessiv-no-sound-server", 1);
    }
}
