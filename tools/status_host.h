#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One application line of a status report; both texts are UTF-8 and served as GBK.
struct StatusApp {
    std::string name;
    std::string time;
};

// How the host answers one request for the status path.
struct Scenario {
    int status = 200;
    std::vector<StatusApp> apps;
    std::optional<std::string> rawBody;  // served byte for byte instead of the report
    std::chrono::milliseconds delay{0};  // before answering
    bool hang = false;                   // never answer; the request ends only when the host stops
    std::string redirect;                // non-empty: 302 with this Location
    // Announces this Content-Length but drops the connection after the body, as a host dying mid-answer.
    std::optional<std::size_t> announcedLength;
};

inline constexpr const char* kStatusPath = "/Interface/tarv/tarvAction_appreg.action";

// "<msg><apps><app><appname>NAME</appname><activetime>TIME</activetime></app>...</apps></msg>" in GBK.
std::string StatusReportBody(const std::vector<StatusApp>& apps);

// An HTTP status host on 127.0.0.1 serving kStatusPath; other paths answer 404. All members are
// thread-safe. The destructor returns promptly even while requests are delayed or hanging.
class StatusHost {
public:
    // Picks the scenario for the n-th request (0-based) to the status path.
    using Source = std::function<Scenario(int request)>;

    explicit StatusHost(Scenario scenario = {}, int port = 0);  // port 0: any free port
    explicit StatusHost(Source source, int port = 0);           // throws std::runtime_error if it cannot bind
    ~StatusHost();
    StatusHost(const StatusHost&) = delete;
    StatusHost& operator=(const StatusHost&) = delete;

    int port() const;
    std::string baseUrl() const;  // http://127.0.0.1:PORT
    std::string url() const;      // baseUrl() + kStatusPath
    void SetScenario(Scenario scenario);
    void SetSource(Source source);
    int requestCount() const;  // every request received, whatever its path

private:
    struct State;
    std::unique_ptr<State> m_state;
};
