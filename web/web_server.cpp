#include "web/web_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <stdexcept>

#include "config/endpoint_connections.h"
#include "web/status_render.h"

namespace web {

namespace {

constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";

void Plain(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", kText);
}

// An answer that stands for one round: a client that has it already gets 304.
void Tagged(const httplib::Request& request, httplib::Response& response, const std::string& tag,
            const std::string& body, const char* type) {
    const std::string etag = "\"" + tag + "\"";
    response.set_header("ETag", etag);
    if (request.get_header_value("If-None-Match") == etag) {
        response.status = 304;
        return;
    }
    response.set_content(body, type);
}

std::optional<int> Days(const httplib::Request& request) {
    if (!request.has_param("days")) return kPageOutageDays;
    const std::string text = request.get_param_value("days");
    int days = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
    if (error != std::errc{} || end != text.data() + text.size() || days < 1 || days > kMaxOutageDays)
        return std::nullopt;
    return days;
}

}  // namespace

WebServer::WebServer(const ListenAddress& address, WebContent content)
    : m_address(address), m_content(std::move(content)), m_server(std::make_unique<httplib::Server>()) {
    httplib::Server& server = *m_server;
    server.set_default_headers({{"Content-Security-Policy", kPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-cache"}});
    server.set_payload_max_length(64 * 1024);
    // The address only, as after a reload that takes it from the metrics: connections of the server before
    // may still wait out their TIME_WAIT. Never SO_REUSEPORT, cpp-httplib's default, which would let a second
    // monitor bind the same port.
    server.set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Nothing here changes anything: every other method is refused before its body is read.
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "GET" || request.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        Plain(response, 405, "only GET and HEAD");
        response.set_header("Allow", "GET, HEAD");
        response.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
        const auto rendered = m_content.current();
        if (!rendered) return Plain(response, 503, "starting");
        Tagged(request, response, "p" + rendered->tag, rendered->page, kHtml);
    });
    server.Get("/api/status", [this](const httplib::Request& request, httplib::Response& response) {
        const auto rendered = m_content.current();
        if (!rendered) return Plain(response, 503, "starting");
        Tagged(request, response, "s" + rendered->tag, rendered->status, kJson);
    });
    server.Get("/api/outages", [this](const httplib::Request& request, httplib::Response& response) {
        const std::optional<int> days = Days(request);
        if (!days) return Plain(response, 400, "days: a whole number from 1 to 400");
        const std::optional<std::string> json = m_content.outages(*days);
        if (!json) return Plain(response, 503, "the history cannot be read now");
        response.set_content(*json, kJson);
    });
    server.Get("/style.css", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(StyleSheet(), "text/css; charset=utf-8");
    });
    server.Get("/app.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(PageScript(), "text/javascript; charset=utf-8");
    });
    server.Get("/favicon.svg", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(Icon(), "image/svg+xml; charset=utf-8");
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const std::function<std::string()> scrape = m_content.metrics ? m_content.metrics() : nullptr;
        if (!scrape) return Plain(response, 404, "not found");
        response.set_content(scrape(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty() && response.status == 404) Plain(response, 404, "not found");
    });

    // Port 0 (tests) takes any free one.
    m_port = address.port != 0 ? (server.bind_to_port(address.host, address.port) ? address.port : -1)
                               : server.bind_to_any_port(address.host);
    if (m_port <= 0) throw std::runtime_error("cannot listen on " + address.Text());
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_listenEnded = true;
    });
}

// stop() is a no-op until the listener runs, so it waits for that; connections still served are shut
// down until the server's threads have ended, so a client that neither reads nor writes cannot hold it.
WebServer::~WebServer() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_server->is_running() && !m_listenEnded && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<bool> stopped{false};
    std::thread closer([&] {
        while (!stopped) {
            ShutDownAcceptedConnections(m_port);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    m_server->stop();
    m_thread.join();
    stopped = true;
    closer.join();
}

}  // namespace web
