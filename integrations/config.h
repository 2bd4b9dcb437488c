#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The optional additions read from tessiv.conf: a command run on every alarm, a webhook, a metrics endpoint.
struct WebhookConfig {
    std::string url;     // http or https
    std::string caFile;  // PEM bundle; empty: the system's CAs
    bool operator==(const WebhookConfig&) const = default;
};

struct ListenAddress {
    std::string host;  // an IPv4 address literal: civetweb as Debian builds it has no IPv6
    int port = 0;      // 1 to 65535
    bool loopback = true;
    std::string Text() const;  // as civetweb wants it: "127.0.0.1:9464"
    bool operator==(const ListenAddress&) const = default;
};

// The history of rounds in history.sqlite: on unless turned off; raw rows for 14 days, hours and outages
// for keepDays.
struct HistoryConfig {
    bool enabled = true;
    int keepDays = 400;  // 1 to 3650
};

// The opt-in alarm rules; each stays off (as without the file) unless given and valid.
struct AlarmConfig {
    int confirmRounds = 1;  // 1 to 10: a host alarms from its N-th consecutive faulty round
    // Local minutes of the day, [start, end); the span may cross midnight.
    std::optional<std::pair<int, int>> quietHours;
    std::optional<int> escalateMinutes;  // 1 to 1440
    // A status 200 without a status report (an error or login page, another service) is a connection fault.
    bool strictReports = false;
};

struct IntegrationsConfig {
    std::optional<std::vector<std::string>> hookCommand;  // program and arguments, UTF-8
    std::optional<WebhookConfig> webhook;
    std::optional<ListenAddress> metrics;
    HistoryConfig history;
    AlarmConfig alarm;
    // One plain line per problem found, the first few only, then one with the count of the rest; a
    // feature with a problem stays off.
    std::vector<std::string> problems;
};

inline constexpr const char* kConfigFileName = "tessiv.conf";
// Far above any real configuration; a bigger file is refused unread.
inline constexpr std::size_t kConfigMaxBytes = 64 * 1024;
inline constexpr std::size_t kConfigProblemsShown = 5;

// Reads `dir`/tessiv.conf (UTF-8 INI), never blocking: only a regular file of at most kConfigMaxBytes is
// read. A missing file gives an empty configuration without problems; a file that cannot be used gives one
// problem and nothing on.
IntegrationsConfig ReadIntegrationsConfig(const std::filesystem::path& dir);

// Parses the text of a tessiv.conf.
IntegrationsConfig ParseIntegrationsConfig(const std::string& text);

// An address for the metrics endpoint, or why the text is not one.
struct ParsedListenAddress {
    std::optional<ListenAddress> address;
    std::string error;
};

// "9464" (on 127.0.0.1) or "127.0.0.1:9464". IPv6 and port 0 are refused with their own reasons.
ParsedListenAddress ParseListenAddress(const std::string& text);
