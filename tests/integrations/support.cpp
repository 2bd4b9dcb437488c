#include "tests/integrations/support.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/tessiv_conf.h"
#include "integrations/failure_report.h"
#include "integrations/integrations.h"
#include "tests/support/temp_dir.h"

void StartFromConf(Integrations& integrations, const std::filesystem::path& dir,
                   std::function<void(std::string)> sink) {
    StartFromConf(integrations, dir, std::move(sink), IntegrationLimits{});
}

void StartFromConf(Integrations& integrations, const std::filesystem::path& dir,
                   std::function<void(std::string)> sink, const IntegrationLimits& limits) {
    const TessivConf conf = ReadTessivConf(dir);
    if (sink)
        for (const std::string& problem : conf.problems) sink(RunPaneLine(problem));
    integrations.Start(conf.integrations, std::move(sink), limits);
}

void RestartFromConf(Integrations& integrations, const std::filesystem::path& dir) {
    integrations.Restart(ReadTessivConf(dir).integrations);
}

struct Receiver::State {
    httplib::Server server;
    std::function<int(int)> answer;
    int port = 0;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::vector<std::string> bodies;
    int requests = 0;
    std::thread listener;
};

Receiver::Receiver(std::function<int(int)> answer) : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.answer = std::move(answer);
    state.server.set_keep_alive_max_count(1);
    state.server.Post("/hook", [&state](const httplib::Request& request, httplib::Response& response) {
        int number = 0;
        {
            std::lock_guard count(state.mutex);
            number = state.requests++;
        }
        // Outside the lock, so that an answer may take its time while the test looks at the host.
        const int status = state.answer(number);
        std::unique_lock hold(state.mutex);
        if (status < 0) {
            state.wake.wait(hold, [&state] { return state.stopping; });
            return;
        }
        state.bodies.push_back(request.body);
        response.status = status;
    });
    state.port = state.server.bind_to_any_port("127.0.0.1");
    state.listener = std::thread([&state] { state.server.listen_after_bind(); });
    while (!state.server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Receiver::~Receiver() {
    {
        std::lock_guard hold(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake.notify_all();
    m_state->server.stop();
    m_state->listener.join();
}

std::string Receiver::url() const {
    return "http://127.0.0.1:" + std::to_string(m_state->port) + "/hook";
}

std::vector<std::string> Receiver::Bodies() const {
    std::lock_guard hold(m_state->mutex);
    return m_state->bodies;
}

int Receiver::Requests() const {
    std::lock_guard hold(m_state->mutex);
    return m_state->requests;
}

std::map<std::string, double> Scrape(int port) {
    httplib::Client client("127.0.0.1", port);
    auto result = client.Get("/metrics");
    std::map<std::string, double> samples;
    if (!result || result->status != 200) {
        ADD_FAILURE() << "no scrape from port " << port;
        return samples;
    }
    std::istringstream lines(result->body);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return samples;
}

std::filesystem::path WriteScript(const std::filesystem::path& dir, const std::string& name,
                                  const std::string& body) {
    const std::filesystem::path file = dir / name;
    WriteFileBytes(file, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}
