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

class Integrations;
struct IntegrationLimits;

// Starts `integrations` from `dir`/tessiv.conf as the program does; the file's problems go to `sink` too.
void StartFromConf(Integrations& integrations, const std::filesystem::path& dir,
                   std::function<void(std::string)> sink = {});
void StartFromConf(Integrations& integrations, const std::filesystem::path& dir,
                   std::function<void(std::string)> sink, const IntegrationLimits& limits);
// Takes what `dir`/tessiv.conf asks for now, as a reload does.
void RestartFromConf(Integrations& integrations, const std::filesystem::path& dir);

// GETs http://127.0.0.1:port/metrics and gives every sample as "name{labels}" → value, line by line.
std::map<std::string, double> Scrape(int port);

// `dir`/`name`, an executable shell script running `body`.
std::filesystem::path WriteScript(const std::filesystem::path& dir, const std::string& name,
                                  const std::string& body);

std::size_t Count(const std::string& text, const std::string& piece);
