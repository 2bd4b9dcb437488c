#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The optional additions read from tessiv.conf: a command run on every alarm, a webhook, a metrics endpoint.
struct WebhookConfig {
    std::string url;     // http or https
    std::string caFile;  // PEM bundle; empty: the system's CAs
};

struct ListenAddress {
    std::string host;  // an IPv4 or IPv6 address literal, IPv6 without brackets
    int port = 0;      // 0: any free port
    bool loopback = true;
    std::string Text() const;  // as civetweb wants it: "127.0.0.1:9464", "[::1]:9464"
};

struct IntegrationsConfig {
    std::optional<std::vector<std::string>> hookCommand;  // program and arguments, UTF-8
    std::optional<WebhookConfig> webhook;
    std::optional<ListenAddress> metrics;
    // One plain line per problem found; a feature with a problem stays off.
    std::vector<std::string> problems;
};

inline constexpr const char* kConfigFileName = "tessiv.conf";

// Reads `dir`/tessiv.conf (UTF-8 INI). A missing file gives an empty configuration without problems.
IntegrationsConfig ReadIntegrationsConfig(const std::filesystem::path& dir);

// Parses the text of a tessiv.conf.
IntegrationsConfig ParseIntegrationsConfig(const std::string& text);

// "9464", "127.0.0.1:9464", "[::1]:9464"; nothing when it is not an address and port.
std::optional<ListenAddress> ParseListenAddress(const std::string& text);
