#include "web/web_config.h"

#include <utility>

ConfigSectionRule WebSection() {
    return {"web", {"listen", "show_urls"}, "the status page stays off"};
}

WebConfig ReadWebConfig(ConfigFile& file) {
    WebConfig config;
    const ConfigSection web = file.Section("web");
    if (web.Broken()) return config;
    bool showUrls = false;
    if (auto show = web.Value("show_urls")) {
        const auto value = ConfigBool(*show);
        if (!value) {
            web.BadValue("show_urls", "not true or false");
            return config;
        }
        showUrls = *value;
    }
    if (auto listen = web.Value("listen")) {
        ParsedListenAddress parsed = ParseListenAddress(*listen);
        if (!parsed.address) {
            web.BadValue("listen", parsed.error);
            return config;
        }
        config.listen = std::move(parsed.address);
    }
    config.showUrls = showUrls;
    return config;
}
