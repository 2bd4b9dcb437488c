#include "tests/support/sound_servers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
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

NullSinkSoundServer::NullSinkSoundServer() {
    char folder[] = "/tmp/tessiv-pulse-XXXXXX";
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("no temporary folder");
    m_folder = folder;
    m_socket = m_folder / "native";
    const std::string protocol = "module-native-protocol-unix auth-anonymous=1 socket=" + m_socket.string();
    const std::string log = (m_folder / "pulseaudio.log").string();
    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("HOME", m_folder.c_str(), 1);  // its own state, nothing of the user's
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        ::execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                 "--use-pid-file=no", "--disable-shm=yes", "--load=module-null-sink",
                 ("--load=" + protocol).c_str(), nullptr);
        ::_exit(127);
    }
    m_pid = child;
}

NullSinkSoundServer::~NullSinkSoundServer() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

bool NullSinkSoundServer::Ready() const {
    for (int i = 0; i < 200; ++i) {
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_socket.c_str(), sizeof address.sun_path - 1);
        bool connected = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (connected) return true;
        if (m_pid <= 0 || ::waitpid(m_pid, nullptr, WNOHANG) != 0) return false;  // it could not start
        ::usleep(50'000);
    }
    return false;
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
