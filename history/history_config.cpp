#include "history/history_config.h"

ConfigSectionRule HistorySection() {
    return {"history", {"enabled", "keep_days"}, "the history stays off"};
}

HistoryConfig ReadHistoryConfig(ConfigFile& file) {
    HistoryConfig config;
    const ConfigSection history = file.Section("history");
    if (history.Broken()) {
        config.enabled = false;
        return config;
    }
    if (auto enabled = history.Value("enabled")) {
        const auto value = ConfigBool(*enabled);
        if (!value) {
            history.BadValue("enabled", "not true or false");
            config.enabled = false;
            return config;
        }
        config.enabled = *value;
    }
    if (auto keep = history.Value("keep_days")) {
        const auto days = ConfigNumber(*keep, 1, 3650);
        if (!days) {
            history.BadValue("keep_days", "not a number of days from 1 to 3650");
            config.enabled = false;
            return config;
        }
        config.keepDays = *days;
    }
    return config;
}
