// What the channels cost a round of 100 hosts each in fault: the observers' calls on the worker and the
// window's thread, with DingTalk, WeCom and Feishu all on against a loopback receiver; and that the round's
// 100 alarm lines go out as one request per channel.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "channels/channels.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kHosts = 100;

class RobotSink {
public:
    RobotSink() {
        m_server.Post(".*", [this](const httplib::Request&, httplib::Response& response) {
            ++m_requests;
            response.set_content(R"({"errcode":0,"errmsg":"ok","code":0,"msg":"success"})",
                                 "application/json");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(1ms);
    }
    ~RobotSink() {
        m_server.stop();
        m_thread.join();
    }
    RobotSink(const RobotSink&) = delete;
    RobotSink& operator=(const RobotSink&) = delete;
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    int Requests() const { return m_requests.load(); }

private:
    httplib::Server m_server;
    std::atomic<int> m_requests{0};
    int m_port = 0;
    std::thread m_thread;
};

void Round(Channels& channels, const std::vector<EntryResult>& entries,
           const std::vector<AlarmEvent>& alarms) {
    for (std::size_t i = 0; i < kHosts; ++i) {
        channels.AlarmRaised(alarms[i]);
        channels.EntryPolled(entries[i]);
    }
    channels.RoundEnded(kHosts);
}

void BM_Channels_RoundOf100Alarms(benchmark::State& state) {
    RobotSink sink;
    ChannelsConfig config;
    config.dingtalk = RobotConfig{sink.Url("/robot/send?access_token=T"), "SECbench"};
    config.wecom = RobotConfig{sink.Url("/cgi-bin/webhook/send?key=K"), ""};
    config.feishu = RobotConfig{sink.Url("/open-apis/bot/v2/hook/T"), "secret"};
    Channels channels;
    channels.Start(config, [](std::string) {});
    std::vector<EntryResult> entries;
    std::vector<AlarmEvent> alarms;
    for (std::size_t i = 0; i < kHosts; ++i) {
        const std::string name = gbk::FromUtf8("中心-" + std::to_string(i));
        const std::string url = "http://192.0.2." + std::to_string(i) + ":89/status";
        const std::string line = gbk::FromUtf8("001 <2026-05-01 02:05:11> ------ 中心-" + std::to_string(i) +
                                               " 位置服务器 2026-05-01 02:00:00 异常 ------");
        entries.push_back({i, name, url, false, false, 3ms, {{line, FaultCategory::ServerFault}}});
        alarms.push_back(
            {line, name, url, FaultCategory::ServerFault, true, true, std::chrono::system_clock::now()});
    }
    // One round first: its 100 lines are one request per channel.
    Round(channels, entries, alarms);
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (sink.Requests() < 3 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(200ms);
    state.counters["requests_first_round"] = sink.Requests();
    for (auto _ : state) Round(channels, entries, alarms);
    state.counters["seconds_per_host"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kHosts),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Channels_RoundOf100Alarms)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

}  // namespace
