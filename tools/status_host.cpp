#include "tools/status_host.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "text/gbk.h"

std::string StatusReportBody(const std::vector<StatusApp>& apps) {
    std::string body = "<msg><apps>";
    for (const StatusApp& app : apps) {
        body += "<app><appname>" + gbk::FromUtf8(app.name) + "</appname><activetime>" +
                gbk::FromUtf8(app.time) + "</activetime></app>";
    }
    body += "</apps></msg>";
    return body;
}

struct StatusHost::State {
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listenerDone{false};
    int port = 0;
    socket_t socket = -1;
    std::atomic<int> requests{0};

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    Source source;
    int served = 0;

    void Answer(httplib::Response& response);
    // Sleeps for `delay`, or until the host stops when there is none; false when the host is stopping.
    bool Wait(std::optional<std::chrono::milliseconds> delay);
};

bool StatusHost::State::Wait(std::optional<std::chrono::milliseconds> delay) {
    std::unique_lock lock(mutex);
    if (delay) return !wake.wait_for(lock, *delay, [this] { return stopping; });
    wake.wait(lock, [this] { return stopping; });
    return false;
}

void StatusHost::State::Answer(httplib::Response& response) {
    Source current;
    int index = 0;
    {
        std::lock_guard hold(mutex);
        current = source;
        index = served++;
    }
    // Outside the lock: a file-backed source reads the disk.
    const Scenario scenario = current(index);

    if (scenario.hang || scenario.delay.count() > 0) {
        if (!Wait(scenario.hang ? std::nullopt : std::optional(scenario.delay))) {
            response.status = 503;
            return;
        }
    }
    if (!scenario.redirect.empty()) {
        response.set_redirect(scenario.redirect, 302);
        return;
    }
    response.status = scenario.status;
    auto body = std::make_shared<const std::string>(scenario.rawBody ? *scenario.rawBody
                                                                     : StatusReportBody(scenario.apps));
    const char* type = "text/xml; charset=GBK";
    if (!scenario.announcedLength) {
        response.set_content(*body, type);
        return;
    }
    // Returning false once the body is out makes httplib drop the connection short of the announced length.
    response.set_content_provider(*scenario.announcedLength, type,
                                  [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      if (offset >= body->size()) return false;
                                      sink.write(body->data() + offset,
                                                 std::min(length, body->size() - offset));
                                      return true;
                                  });
}

StatusHost::StatusHost(Scenario scenario, int port)
    : StatusHost([fixed = std::move(scenario)](int) { return fixed; }, port) {}

StatusHost::StatusHost(Source source, int port) : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.source = std::move(source);
    // One request per connection, so no idle keep-alive connection holds up the shutdown.
    state.server.set_keep_alive_max_count(1);
    state.server.set_read_timeout(std::chrono::seconds(2));
    state.server.set_pre_routing_handler([&state](const httplib::Request&, httplib::Response&) {
        ++state.requests;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    state.server.Get(kStatusPath, [&state](const httplib::Request&, httplib::Response& response) {
        state.Answer(response);
    });

    state.server.set_socket_options([&state](socket_t socket) {
        httplib::default_socket_options(socket);
        state.socket = socket;
    });
    if (port == 0) {
        state.port = state.server.bind_to_any_port("127.0.0.1");
    } else if (state.server.bind_to_port("127.0.0.1", port)) {
        state.port = port;
    } else {
        state.port = -1;
    }
    if (state.port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    // httplib listens with a backlog of 5: a monitor asking many of this host's URLs at once would leave
    // the rest of its connections in the kernel's retries for seconds. Listening again widens the queue.
    if (state.socket >= 0) ::listen(state.socket, SOMAXCONN);

    state.listener = std::thread([&state] {
        state.server.listen_after_bind();
        state.listenerDone = true;
    });
    // Server::stop() does nothing until the listen loop runs, so the destructor must not come earlier.
    while (!state.server.is_running() && !state.listenerDone)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StatusHost::~StatusHost() {
    {
        std::lock_guard hold(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake.notify_all();
    m_state->server.stop();
    m_state->listener.join();
}

int StatusHost::port() const {
    return m_state->port;
}

std::string StatusHost::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_state->port);
}

std::string StatusHost::url() const {
    return baseUrl() + kStatusPath;
}

void StatusHost::SetScenario(Scenario scenario) {
    SetSource([fixed = std::move(scenario)](int) { return fixed; });
}

void StatusHost::SetSource(Source source) {
    std::lock_guard hold(m_state->mutex);
    m_state->source = std::move(source);
}

int StatusHost::requestCount() const {
    return m_state->requests.load();
}
