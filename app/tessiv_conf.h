#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/polling_conf.h"
#include "channels/channels_config.h"
#include "history/history_config.h"
#include "integrations/config.h"
#include "rules/alarm_config.h"
#include "web/web_config.h"

// Everything tessiv.conf asks of the additions, each part read by its own addition from its own sections.
struct TessivConf {
    IntegrationsConfig integrations;
    HistoryConfig history;
    AlarmConfig alarm;
    ChannelsConfig channels;
    WebConfig web;
    PollingConfig polling;
    // One plain line per problem found, the first few only, then one with the count of the rest; a
    // feature with a problem stays off.
    std::vector<std::string> problems;
};

// Reads `dir`/tessiv.conf; a missing file asks for nothing and has no problem.
TessivConf ReadTessivConf(const std::filesystem::path& dir);
// Reads the text of a tessiv.conf.
TessivConf ParseTessivConf(const std::string& text);
