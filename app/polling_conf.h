#pragma once

#include "config/config_file.h"

// How a round asks its hosts: one at a time with the pause after each (1), or up to 64 at once.
struct PollingConfig {
    int parallel = 1;
};

// tessiv.conf's [polling].
ConfigSectionRule PollingSection();
// A problem keeps the paced rounds: a mistyped number is no reason to ask many hosts at once.
PollingConfig ReadPollingConfig(ConfigFile& file);
