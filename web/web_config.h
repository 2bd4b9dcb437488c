#pragma once

#include <optional>

#include "config/config_file.h"
#include "config/listen_address.h"

// What tessiv.conf's [web] turns on: the read-only status page, and whether it names the hosts' URLs.
struct WebConfig {
    std::optional<ListenAddress> listen;  // off unless given
    bool showUrls = false;                // the hosts' addresses are internal: shown only when asked for
    bool operator==(const WebConfig&) const = default;
};

// tessiv.conf's [web].
ConfigSectionRule WebSection();
// A problem turns the page off rather than guess.
WebConfig ReadWebConfig(ConfigFile& file);
