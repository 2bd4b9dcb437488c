#include "tests/channels/fakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <httplib.h>

#include <QByteArray>
#include <QMessageAuthenticationCode>

struct RobotReceiver::State {
    httplib::Server server;
    std::function<Reply(int)> reply;
    int port = 0;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable stopped;
    bool stopping = false;
    std::vector<RobotRequestSeen> requests;
};

RobotReceiver::RobotReceiver(std::function<Reply(int)> reply) : m_state(std::make_unique<State>()) {
    m_state->reply = std::move(reply);
    m_state->server.Post(
        ".*", [state = m_state.get()](const httplib::Request& request, httplib::Response& response) {
            RobotRequestSeen seen{request.path, {}, request.body};
            for (const auto& [key, value] : request.params) seen.query[key] = value;
            int index = 0;
            {
                std::lock_guard hold(state->mutex);
                index = static_cast<int>(state->requests.size());
                state->requests.push_back(std::move(seen));
            }
            const Reply answer = state->reply(index);
            if (answer.status < 0) {
                std::unique_lock hold(state->mutex);
                state->stopped.wait(hold, [state] { return state->stopping; });
                return;
            }
            response.status = answer.status;
            response.set_content(answer.body, "application/json");
        });
    m_state->port = m_state->server.bind_to_any_port("127.0.0.1");
    m_state->thread = std::thread([state = m_state.get()] { state->server.listen_after_bind(); });
    while (!m_state->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

RobotReceiver::~RobotReceiver() {
    {
        std::lock_guard hold(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->stopped.notify_all();
    m_state->server.stop();
    m_state->thread.join();
}

std::string RobotReceiver::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_state->port) + pathAndQuery;
}

std::vector<RobotRequestSeen> RobotReceiver::Requests() const {
    std::lock_guard hold(m_state->mutex);
    return m_state->requests;
}

struct SmtpReceiver::State {
    int listener = -1;
    int port = 0;
    std::string rcptReply;
    std::atomic<bool> stopping{false};
    std::thread thread;
    mutable std::mutex mutex;
    std::vector<MailSeen> mails;

    // The next line without its CRLF; false when the peer left or the receiver stops.
    static bool ReadLine(int fd, std::string& buffer, std::string& line, const std::atomic<bool>& stopping) {
        for (;;) {
            if (const std::size_t end = buffer.find("\r\n"); end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                return true;
            }
            pollfd wait{fd, POLLIN, 0};
            if (stopping) return false;
            if (::poll(&wait, 1, 50) <= 0) continue;
            char chunk[4096];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) return false;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }
    static void Say(int fd, const std::string& line) {
        const std::string out = line + "\r\n";
        (void)!::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }
    static std::string Address(const std::string& command) {
        const std::size_t open = command.find('<'), close = command.find('>');
        return open == std::string::npos || close == std::string::npos
                   ? std::string()
                   : command.substr(open + 1, close - open - 1);
    }

    void Serve(int fd) {
        std::string buffer, line;
        MailSeen mail;
        Say(fd, "220 fake.smtp ESMTP");
        while (ReadLine(fd, buffer, line, stopping)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "EHLO" || verb == "HELO") {
                Say(fd, "250 fake.smtp");
            } else if (verb == "MAIL") {
                mail = MailSeen{Address(line), {}, {}};
                Say(fd, "250 OK");
            } else if (verb == "RCPT") {
                mail.to.push_back(Address(line));
                Say(fd, rcptReply);
            } else if (verb == "DATA") {
                Say(fd, "354 go ahead");
                while (ReadLine(fd, buffer, line, stopping) && line != ".")
                    mail.data += (line.starts_with("..") ? line.substr(1) : line) + "\r\n";
                {
                    std::lock_guard hold(mutex);
                    mails.push_back(mail);
                }
                Say(fd, "250 queued");
            } else if (verb == "QUIT") {
                Say(fd, "221 bye");
                return;
            } else {
                Say(fd, "250 OK");
            }
        }
    }
};

SmtpReceiver::SmtpReceiver(std::string rcptReply) : m_state(std::make_unique<State>()) {
    m_state->rcptReply = std::move(rcptReply);
    m_state->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(m_state->listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(m_state->listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_state->port = ntohs(address.sin_port);
    ::listen(m_state->listener, 8);
    m_state->thread = std::thread([state = m_state.get()] {
        while (!state->stopping) {
            pollfd wait{state->listener, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) continue;
            const int fd = ::accept4(state->listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            state->Serve(fd);
            ::close(fd);
        }
    });
}

SmtpReceiver::~SmtpReceiver() {
    m_state->stopping = true;
    m_state->thread.join();
    ::close(m_state->listener);
}

std::string SmtpReceiver::Url() const {
    return "smtp://127.0.0.1:" + std::to_string(m_state->port);
}

std::vector<MailSeen> SmtpReceiver::Mails() const {
    std::lock_guard hold(m_state->mutex);
    return m_state->mails;
}

std::string MailBody(const std::string& data) {
    const std::size_t start = data.find("\r\n\r\n");
    if (start == std::string::npos) return {};
    return QByteArray::fromBase64(QByteArray::fromStdString(data.substr(start + 4))).toStdString();
}

std::string MailHeader(const std::string& data, const std::string& name) {
    const std::string headers = data.substr(0, data.find("\r\n\r\n") + 2);
    std::size_t at = headers.starts_with(name + ": ") ? 0 : headers.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    if (at != 0) at += 2;
    at += name.size() + 2;
    std::string value;
    for (;;) {
        const std::size_t end = headers.find("\r\n", at);
        value += headers.substr(at, end - at);
        if (end + 2 >= headers.size() || (headers[end + 2] != ' ' && headers[end + 2] != '\t')) break;
        at = end + 2;
    }
    return value;
}

std::string DecodedWords(const std::string& header) {
    std::string text;
    std::size_t at = 0;
    while ((at = header.find("=?UTF-8?B?", at)) != std::string::npos) {
        const std::size_t end = header.find("?=", at + 10);
        text += QByteArray::fromBase64(QByteArray::fromStdString(header.substr(at + 10, end - at - 10)))
                    .toStdString();
        at = end + 2;
    }
    return text;
}

std::string HmacBase64(const std::string& key, const std::string& message) {
    return QMessageAuthenticationCode::hash(QByteArray::fromStdString(message),
                                            QByteArray::fromStdString(key), QCryptographicHash::Sha256)
        .toBase64()
        .toStdString();
}
