#include "polling/plain_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often a wait looks at the cancel flag.
constexpr auto kCancelSlice = 200ms;
constexpr std::size_t kHeaderLimit = 100 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) ==
               (b >= 'A' && b <= 'Z' ? char(b - 'A' + 'a') : b);
    });
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return lower;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(value >> 18) & 63];
        out += kDigits[(value >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(value >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[value & 63] : '=';
    }
    return out;
}

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const std::string hex(text.substr(i + 1, 2));
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(value);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

struct Endpoint {
    std::string host;  // without brackets
    std::string port;
    std::string authority;    // as it goes into Host:
    std::string target;       // path and query, as written
    std::string credentials;  // "user:password", decoded; empty for none
};

// `text` after its scheme. Nothing for an authority that libcurl would refuse too.
std::optional<Endpoint> ParseAfterScheme(std::string_view text, std::string_view defaultPort) {
    const std::size_t end = std::min(text.find_first_of("/?#"), text.size());
    std::string_view authority = text.substr(0, end);
    std::string_view rest = text.substr(end);
    rest = rest.substr(0, std::min(rest.find('#'), rest.size()));
    Endpoint endpoint;
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        endpoint.credentials = PercentDecoded(authority.substr(0, at));
        authority = authority.substr(at + 1);
    }
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        endpoint.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return std::nullopt;
        if (!after.empty()) port = after.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        endpoint.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (endpoint.host.empty() || endpoint.host.find_first_of(" \t\r\n") != std::string::npos)
        return std::nullopt;
    if (port.empty()) port = defaultPort;
    if (port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int number = std::atoi(std::string(port).c_str());
    if (number < 1 || number > 65535) return std::nullopt;
    endpoint.port = std::to_string(number);
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    endpoint.authority = (v6 ? "[" + endpoint.host + "]" : endpoint.host) +
                         (endpoint.port == "80" ? std::string() : ":" + endpoint.port);
    endpoint.target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);
    if (endpoint.target.find_first_of(" \r\n") != std::string::npos) return std::nullopt;
    return endpoint;
}

std::optional<Endpoint> ParseHttpUrl(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (!StartsWithNoCase(url, scheme)) return std::nullopt;
    return ParseAfterScheme(url.substr(scheme.size()), "80");
}

// Whether no_proxy exempts `host`: "*", or a name equal to the host or one of its parent domains.
bool Exempt(const std::string& host) {
    const char* list = std::getenv("no_proxy");
    if (list == nullptr) list = std::getenv("NO_PROXY");
    if (list == nullptr) return false;
    const std::string name = Lower(host);
    std::string_view rest(list);
    while (!rest.empty()) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        std::string_view entry = rest.substr(0, comma);
        rest = rest.substr(std::min(comma + 1, rest.size()));
        while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
        while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
        if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
        if (entry.empty()) continue;
        if (entry == "*") return true;
        const std::string wanted = Lower(entry);
        if (name == wanted) return true;
        if (name.size() > wanted.size() && name.ends_with(wanted) &&
            name[name.size() - wanted.size() - 1] == '.')
            return true;
    }
    return false;
}

// libcurl reads only the lower-case name, which a CGI environment cannot set from a request header.
std::optional<Endpoint> ProxyFor(const Endpoint& target) {
    const char* setting = std::getenv("http_proxy");
    if (setting == nullptr || *setting == '\0' || Exempt(target.host)) return std::nullopt;
    std::string_view text(setting);
    if (const std::size_t sep = text.find("://"); sep != std::string_view::npos) {
        if (Lower(text.substr(0, sep)) != "http") return std::nullopt;
        text = text.substr(sep + 3);
    }
    return ParseAfterScheme(text, "1080");
}

struct Deadlines {
    Steady::time_point total;
    const std::atomic<bool>* cancel;
    bool Cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_acquire); }
};

enum class Wait { Ready, TimedOut, Cancelled };

// Waits for `events` on `fd` until `until`, looking at the cancel flag between slices.
Wait WaitFd(int fd, short events, Steady::time_point until, const Deadlines& deadlines) {
    for (;;) {
        if (deadlines.Cancelled()) return Wait::Cancelled;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now());
        if (left <= 0ms) return Wait::TimedOut;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(
            &entry, 1, static_cast<int>(std::min<std::chrono::milliseconds>(left, kCancelSlice).count()));
        if (ready > 0) return Wait::Ready;
        if (ready < 0 && errno != EINTR) return Wait::Ready;  // the next call reports the error
    }
}

struct Addresses {
    std::vector<sockaddr_storage> list;
    std::vector<socklen_t> lengths;
};

// One lookup's state, shared with its thread so that an abandoned lookup owns everything it touches.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Addresses addresses;
};

struct AddrinfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

Addresses GetAddresses(const std::string& host, const std::string& port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* raw = nullptr;
    Addresses found;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &raw) != 0) return found;
    std::unique_ptr<addrinfo, AddrinfoFree> list(raw);
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        sockaddr_storage address{};
        std::copy_n(reinterpret_cast<const char*>(entry->ai_addr), entry->ai_addrlen,
                    reinterpret_cast<char*>(&address));
        found.list.push_back(address);
        found.lengths.push_back(entry->ai_addrlen);
    }
    return found;
}

void Resolve(const std::string& host, const std::string& port, Lookup& lookup) {
    Addresses found = GetAddresses(host, port, 0);
    std::lock_guard hold(lookup.mutex);
    lookup.addresses = std::move(found);
    lookup.finished = true;
    lookup.done.notify_all();
}

std::variant<Addresses, Wait> LookUp(const Endpoint& endpoint, Steady::time_point until,
                                     const Deadlines& deadlines) {
    // An address needs no lookup, and no thread.
    if (Addresses numeric = GetAddresses(endpoint.host, endpoint.port, AI_NUMERICHOST | AI_NUMERICSERV);
        !numeric.list.empty())
        return numeric;
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host = endpoint.host, port = endpoint.port] {
        Resolve(host, port, *lookup);
    }).detach();
    std::unique_lock hold(lookup->mutex);
    for (;;) {
        if (lookup->finished) return std::move(lookup->addresses);
        if (deadlines.Cancelled()) return Wait::Cancelled;
        const auto now = Steady::now();
        if (now >= until) return Wait::TimedOut;
        lookup->done.wait_for(hold, std::min<Steady::duration>(until - now, kCancelSlice));
    }
}

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

enum class Outcome { Ok, Failed, TimedOut, Cancelled };

Outcome FromWait(Wait wait) {
    return wait == Wait::Cancelled ? Outcome::Cancelled : Outcome::TimedOut;
}

Outcome Connect(const Endpoint& peer, std::chrono::milliseconds connectTimeout, const Deadlines& deadlines,
                std::unique_ptr<Socket>& connected) {
    const Steady::time_point until = std::min(Steady::now() + connectTimeout, deadlines.total);
    auto looked = LookUp(peer, until, deadlines);
    if (const Wait* wait = std::get_if<Wait>(&looked)) return FromWait(*wait);
    const Addresses& addresses = std::get<Addresses>(looked);
    for (std::size_t i = 0; i < addresses.list.size(); ++i) {
        const auto* address = reinterpret_cast<const sockaddr*>(&addresses.list[i]);
        auto socket = std::make_unique<Socket>(
            ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (socket->fd() < 0) continue;
        if (::connect(socket->fd(), address, addresses.lengths[i]) != 0 && errno != EINPROGRESS) continue;
        const Wait wait = WaitFd(socket->fd(), POLLOUT, until, deadlines);
        if (wait != Wait::Ready) return FromWait(wait);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(socket->fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) continue;
        connected = std::move(socket);
        return Outcome::Ok;
    }
    return Outcome::Failed;
}

Outcome SendAll(int fd, std::string_view bytes, const Deadlines& deadlines) {
    while (!bytes.empty()) {
        const Wait wait = WaitFd(fd, POLLOUT, deadlines.total, deadlines);
        if (wait != Wait::Ready) return FromWait(wait);
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (sent <= 0) return Outcome::Failed;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return Outcome::Ok;
}

// Reads whatever comes next into `buffer`; Failed with an empty read means the peer closed.
Outcome ReadSome(int fd, std::string& buffer, const Deadlines& deadlines, bool& closed) {
    for (;;) {
        const Wait wait = WaitFd(fd, POLLIN, deadlines.total, deadlines);
        if (wait != Wait::Ready) return FromWait(wait);
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got < 0) return Outcome::Failed;
        closed = got == 0;
        buffer.append(chunk, static_cast<std::size_t>(got));
        return Outcome::Ok;
    }
}

struct Head {
    int status = 0;
    std::string location;
    std::optional<unsigned long long> length;
    bool chunked = false;
};

std::optional<Head> ParseHead(std::string_view text) {
    Head head;
    std::size_t lineEnd = text.find('\n');
    std::string_view statusLine = text.substr(0, lineEnd);
    if (!StartsWithNoCase(statusLine, "HTTP/") || statusLine.size() < 12) return std::nullopt;
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos || space + 4 > statusLine.size()) return std::nullopt;
    const std::string_view code = statusLine.substr(space + 1, 3);
    if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::string_view after = statusLine.substr(space + 4);
    if (!after.empty() && after.front() != ' ' && after.front() != '\r') return std::nullopt;
    head.status = std::atoi(std::string(code).c_str());
    while (lineEnd != std::string_view::npos && lineEnd + 1 < text.size()) {
        const std::size_t start = lineEnd + 1;
        lineEnd = text.find('\n', start);
        std::string_view line =
            text.substr(start, lineEnd == std::string_view::npos ? text.npos : lineEnd - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string name = Lower(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (name == "location") head.location = std::string(value);
        if (name == "content-length") head.length = std::strtoull(std::string(value).c_str(), nullptr, 10);
        if (name == "transfer-encoding" && Lower(value).find("chunked") != std::string::npos)
            head.chunked = true;
    }
    return head;
}

// Where a Location leads from `from`; nothing for another scheme.
std::optional<std::string> Resolved(const Endpoint& base, const std::string& location) {
    const std::size_t colon = location.find(':');
    const std::size_t slash = location.find('/');
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) {
        if (!StartsWithNoCase(location, "http://")) return std::nullopt;
        return location;
    }
    if (location.starts_with("//")) return "http:" + location;
    const std::string origin = "http://" + base.authority;
    if (location.starts_with("/")) return origin + location;
    std::string path = base.target.substr(0, base.target.find('?'));
    path = path.substr(0, path.rfind('/') + 1);
    return origin + path + location;
}

class BodyReader {
public:
    BodyReader(const Head& head, const BodySink& sink) : m_head(head), m_sink(sink) {}
    enum class State { More, Done, Broken };

    // Takes the next raw bytes; `closed` when the peer ended the connection after them.
    State Feed(std::string& raw, bool closed) {
        if (!m_head.chunked) {
            std::string_view piece = raw;
            if (m_head.length)
                piece = piece.substr(0, std::min<unsigned long long>(piece.size(), *m_head.length - m_taken));
            m_taken += piece.size();
            const bool wanted = piece.empty() || m_sink(piece);
            raw.clear();
            if (!wanted) return State::Done;
            if (m_head.length && m_taken >= *m_head.length) return State::Done;
            if (closed) return m_head.length ? State::Broken : State::Done;
            return State::More;
        }
        for (;;) {
            if (m_chunkLeft == 0) {
                const std::size_t lineEnd = raw.find('\n');
                if (lineEnd == std::string::npos) return closed ? State::Broken : State::More;
                std::string line = raw.substr(0, lineEnd);
                raw.erase(0, lineEnd + 1);
                if (m_afterChunk) {
                    m_afterChunk = false;  // the CRLF that ends a chunk's data
                    continue;
                }
                char* end = nullptr;
                const unsigned long long size = std::strtoull(line.c_str(), &end, 16);
                if (end == line.c_str()) return State::Broken;
                if (size == 0) return State::Done;
                m_chunkLeft = size;
            }
            if (raw.empty()) return closed ? State::Broken : State::More;
            const std::size_t take =
                static_cast<std::size_t>(std::min<unsigned long long>(raw.size(), m_chunkLeft));
            const bool wanted = m_sink(std::string_view(raw).substr(0, take));
            raw.erase(0, take);
            m_chunkLeft -= take;
            if (m_chunkLeft == 0) m_afterChunk = true;
            if (!wanted) return State::Done;
        }
    }

private:
    const Head& m_head;
    const BodySink& m_sink;
    unsigned long long m_taken = 0;
    unsigned long long m_chunkLeft = 0;
    bool m_afterChunk = false;
};

struct Step {
    PlainGetResult result;
    std::optional<std::string> next;  // a redirect to follow
};

Step GetOnce(const std::string& url, const PlainGetLimits& limits, const Deadlines& deadlines,
             const BodySink& sink) {
    const auto fault = [](Outcome outcome) {
        if (outcome == Outcome::Cancelled) return Step{PlainGetResult::Cancelled, {}};
        if (outcome == Outcome::TimedOut) return Step{PlainGetResult::TimedOut, {}};
        return Step{PlainGetResult::Status, {}};
    };
    const std::optional<Endpoint> target = ParseHttpUrl(url);
    if (!target) return {PlainGetResult::Status, {}};
    const std::optional<Endpoint> proxy = ProxyFor(*target);
    std::string request = "GET " + (proxy ? "http://" + target->authority + target->target : target->target) +
                          " HTTP/1.1\r\nHost: " + target->authority + "\r\n";
    if (!target->credentials.empty())
        request += "Authorization: Basic " + Base64(target->credentials) + "\r\n";
    if (proxy && !proxy->credentials.empty())
        request += "Proxy-Authorization: Basic " + Base64(proxy->credentials) + "\r\n";
    request += "Accept: */*\r\nConnection: close\r\n\r\n";

    std::unique_ptr<Socket> socket;
    if (const Outcome connected = Connect(proxy ? *proxy : *target, limits.connectTimeout, deadlines, socket);
        connected != Outcome::Ok)
        return fault(connected);
    if (const Outcome sent = SendAll(socket->fd(), request, deadlines); sent != Outcome::Ok)
        return fault(sent);

    std::string raw;
    bool closed = false;
    std::optional<Head> head;
    while (!head) {
        std::size_t end = raw.find("\r\n\r\n");
        std::size_t skip = 4;
        if (end == std::string::npos) {
            end = raw.find("\n\n");
            skip = 2;
        }
        if (end != std::string::npos) {
            head = ParseHead(std::string_view(raw).substr(0, end));
            raw.erase(0, end + skip);
            if (!head) return {PlainGetResult::Status, {}};
            if (head->status >= 100 && head->status < 200) head.reset();  // an interim answer
            continue;
        }
        if (raw.size() > kHeaderLimit) {
            // Past the status line this is a 200 whose body never came, as libcurl has it.
            const std::optional<Head> partial = ParseHead(std::string_view(raw).substr(0, raw.rfind('\n')));
            return {partial && partial->status == 200 ? PlainGetResult::BodyError : PlainGetResult::Status,
                    {}};
        }
        if (closed) return {PlainGetResult::Status, {}};
        if (const Outcome read = ReadSome(socket->fd(), raw, deadlines, closed); read != Outcome::Ok)
            return fault(read);
    }
    const bool redirect = head->status == 301 || head->status == 302 || head->status == 303 ||
                          head->status == 307 || head->status == 308;
    if (redirect && !head->location.empty()) {
        std::optional<std::string> next = Resolved(*target, head->location);
        if (!next) return {PlainGetResult::Status, {}};
        return {PlainGetResult::Status, next};
    }
    if (head->status != 200) return {PlainGetResult::Status, {}};

    BodyReader body(*head, sink);
    for (;;) {
        const BodyReader::State state = body.Feed(raw, closed);
        if (state == BodyReader::State::Done) return {PlainGetResult::Done, {}};
        if (state == BodyReader::State::Broken) return {PlainGetResult::BodyError, {}};
        const Outcome read = ReadSome(socket->fd(), raw, deadlines, closed);
        if (read == Outcome::Failed) return {PlainGetResult::BodyError, {}};
        if (read != Outcome::Ok) return fault(read);
    }
}

}  // namespace

PlainGetResult PlainHttpGet(const std::string& url, const PlainGetLimits& limits, const BodySink& sink) {
    const Deadlines deadlines{Steady::now() + limits.totalTimeout, limits.cancel};
    std::string current = url;
    for (long redirects = 0;; ++redirects) {
        Step step = GetOnce(current, limits, deadlines, sink);
        if (step.result == PlainGetResult::Status && step.next) {
            if (redirects >= limits.maxRedirects) return PlainGetResult::Status;
            current = std::move(*step.next);
            continue;
        }
        return step.result;
    }
}
