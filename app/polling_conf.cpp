#include "app/polling_conf.h"

ConfigSectionRule PollingSection() {
    return {"polling", {"parallel"}, "the hosts are asked one at a time"};
}

PollingConfig ReadPollingConfig(ConfigFile& file) {
    PollingConfig config;
    const ConfigSection polling = file.Section("polling");
    if (polling.Broken()) return config;
    if (auto parallel = polling.Value("parallel")) {
        const auto hosts = ConfigNumber(*parallel, 1, 64);
        if (!hosts) {
            polling.BadValue("parallel", "not a number of hosts from 1 to 64");
            return config;
        }
        config.parallel = *hosts;
    }
    return config;
}
