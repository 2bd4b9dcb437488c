#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// An HTTP host on 127.0.0.1 that takes POSTs to /hook and keeps their bodies. It answers each with the
// status `answer` picks for the n-th request (0-based); -1 never answers until the host stops.
class Receiver {
public:
    explicit Receiver(std::function<int(int request)> answer = [](int) { return 200; });
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    std::string url() const;
    std::vector<std::string> Bodies() const;
    int Requests() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// GETs http://127.0.0.1:port/metrics and gives every sample as "name{labels}" → value, line by line.
std::map<std::string, double> Scrape(int port);

// `dir`/`name`, an executable shell script running `body`.
std::filesystem::path WriteScript(const std::filesystem::path& dir, const std::string& name,
                                  const std::string& body);

std::size_t Count(const std::string& text, const std::string& piece);
