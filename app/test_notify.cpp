#include "app/test_notify.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/tessiv_conf.h"
#include "channels/channel.h"
#include "integrations/hook_runner.h"
#include "integrations/notice.h"
#include "integrations/webhook.h"
#include "text/time_text.h"

namespace {

using namespace std::chrono_literals;

// A run-pane line as the terminal shows it: UTF-8, without its time stamp.
class Lines {
public:
    RunPaneSink Sink() {
        return [this](std::string gbkLine) {
            std::string line = Utf8FromGbk(gbkLine);
            if (const std::size_t end = line.find("> "); line.starts_with("<") && end != std::string::npos)
                line.erase(0, end + 2);
            std::lock_guard hold(m_mutex);
            m_lines.push_back(std::move(line));
        };
    }
    std::string First() {
        std::lock_guard hold(m_mutex);
        return m_lines.empty() ? std::string() : m_lines.front();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

template <typename Runner>
void WaitFinished(Runner& runner, std::chrono::milliseconds limit) {
    runner.Finish();
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!runner.Finished() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
}

}  // namespace

int RunTestNotify(const std::filesystem::path& dir, std::FILE* out) {
    const TessivConf conf = ReadTessivConf(dir);
    for (const std::string& problem : conf.problems) std::fprintf(stderr, "tessiv: %s\n", problem.c_str());
    const auto now = std::chrono::system_clock::now();
    const ChannelMessage message = TestMessage(now);
    int tried = 0;
    int failed = 0;
    auto report = [&](const std::string& name, const std::string& failure) {
        ++tried;
        if (!failure.empty()) ++failed;
        std::fprintf(out, "%s: %s\n", name.c_str(), failure.empty() ? "ok" : failure.c_str());
        std::fflush(out);
    };

    std::vector<std::unique_ptr<Channel>> channels;
    if (conf.channels.dingtalk) channels.push_back(MakeDingTalk(*conf.channels.dingtalk));
    if (conf.channels.wecom) channels.push_back(MakeWeCom(*conf.channels.wecom));
    if (conf.channels.feishu) channels.push_back(MakeFeishu(*conf.channels.feishu));
    if (conf.channels.email) channels.push_back(MakeEmail(*conf.channels.email));
    for (const auto& channel : channels) {
        const Attempt attempt = SendOnce(*channel, message, 10s);
        report(channel->Name(), attempt.outcome == Attempt::Outcome::Sent ? std::string() : attempt.reason);
    }

    const Notice notice{{}, message.title, "test", false, IsoLocalTime(now)};
    if (conf.integrations.hookCommand) {
        Lines lines;
        HookRunner hook(*conf.integrations.hookCommand, lines.Sink());
        hook.Run(notice);
        WaitFinished(hook, 15s);
        const std::string failure = hook.Finished() ? lines.First() : "still running after 15 s";
        report("hook", failure);
    }
    if (conf.integrations.webhook) {
        Lines lines;
        WebhookSender webhook(*conf.integrations.webhook, lines.Sink(), WebhookLimits{.tries = 1});
        webhook.Send(notice);
        WaitFinished(webhook, 15s);
        std::string failure = webhook.Delivered() == 1 ? std::string() : lines.First();
        if (webhook.Delivered() != 1 && failure.empty()) failure = "no answer within 15 s";
        report("webhook", failure);
    }
    if (tried == 0) {
        std::fprintf(out, "nothing to test: %s configures no channel, hook or webhook\n",
                     (dir / "tessiv.conf").c_str());
        return 1;
    }
    return failed == 0 ? 0 : 1;
}
