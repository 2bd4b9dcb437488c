#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/listen_address.h"

// What tessiv.conf's [hooks] and [metrics] turn on: a command run on every alarm, a webhook, a metrics
// endpoint.
struct WebhookConfig {
    std::string url;     // http or https
    std::string caFile;  // PEM bundle; empty: the system's CAs
    bool operator==(const WebhookConfig&) const = default;
};

struct IntegrationsConfig {
    std::optional<std::vector<std::string>> hookCommand;  // program and arguments, UTF-8
    std::optional<WebhookConfig> webhook;
    std::optional<ListenAddress> metrics;
    // The status page listens at the metrics' address and serves /metrics there too: the endpoint keeps its
    // series but binds nothing. Set by the wiring, not read from the file.
    bool metricsServedByPage = false;
};

// The sections read by ReadIntegrationsConfig.
std::vector<ConfigSectionRule> IntegrationsSections();
// A feature with a problem stays off; the problem goes to `file`'s.
IntegrationsConfig ReadIntegrationsConfig(ConfigFile& file);
