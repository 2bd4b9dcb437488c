#include "integrations/config.h"

#include <fcntl.h>

#include <cstring>
#include <utility>

#include <QString>
#include <QUrl>

#include "fileio/regular_file.h"
#include "integrations/command_line.h"

namespace {

// Why a CA file cannot be used, or nothing. A FIFO here would block the start, and the webhook's every try
// later.
std::string CaFileProblem(const std::string& path) {
    const RegularFile file = OpenRegularFile(path, O_RDONLY);
    if (file.notRegular) return std::string("is ") + FileKind(file.info.st_mode) + ", not a regular file";
    if (!file) return "cannot be read (" + std::string(std::strerror(file.error)) + ")";
    return {};
}

void ReadHooks(const ConfigSection& hooks, IntegrationsConfig& config) {
    if (hooks.Broken()) return;
    if (auto command = hooks.Value("command")) {
        SplitCommand split = SplitCommandLine(*command);
        if (!split.error.empty()) {
            hooks.BadValue("command", split.error);
            return;
        }
        if (split.words.empty() || split.words.front().empty()) {
            hooks.BadValue("command", "no program given");
            return;
        }
        config.hookCommand = std::move(split.words);
    }
    auto ca = hooks.Value("webhook_ca");
    if (auto webhook = hooks.Value("webhook")) {
        const QUrl url(QString::fromUtf8(*webhook), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
            hooks.BadValue("webhook", "not an http or https URL");
            config.hookCommand.reset();
            return;
        }
        if (ca) {
            if (const std::string problem = CaFileProblem(*ca); !problem.empty()) {
                hooks.BadValue("webhook_ca", ShownConfigText(*ca) + " " + problem);
                config.hookCommand.reset();
                return;
            }
        }
        config.webhook = WebhookConfig{*webhook, ca.value_or("")};
    } else if (ca) {
        hooks.Problem("tessiv.conf: \"hooks/webhook_ca\" without \"hooks/webhook\" is ignored");
    }
}

void ReadMetrics(const ConfigSection& metrics, IntegrationsConfig& config) {
    if (metrics.Broken()) return;
    auto listen = metrics.Value("listen");
    if (!listen) return;
    ParsedListenAddress parsed = ParseListenAddress(*listen);
    config.metrics = std::move(parsed.address);
    if (!config.metrics) metrics.BadValue("listen", parsed.error);
}

}  // namespace

std::vector<ConfigSectionRule> IntegrationsSections() {
    return {
        {"hooks", {"command", "webhook", "webhook_ca"}, "the hook command and the webhook stay off"},
        {"metrics", {"listen"}, "the metrics endpoint stays off"},
    };
}

IntegrationsConfig ReadIntegrationsConfig(ConfigFile& file) {
    IntegrationsConfig config;
    ReadHooks(file.Section("hooks"), config);
    ReadMetrics(file.Section("metrics"), config);
    return config;
}
