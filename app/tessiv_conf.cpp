#include "app/tessiv_conf.h"

#include <utility>

namespace {

constexpr const char* kAllOff =
    "the hook command, the webhook, the metrics endpoint, the alarm's channels and the status page stay off";

std::vector<ConfigSectionRule> Sections() {
    std::vector<ConfigSectionRule> rules = IntegrationsSections();
    rules.push_back(HistorySection());
    rules.push_back(AlarmSection());
    for (ConfigSectionRule& rule : ChannelsSections()) rules.push_back(std::move(rule));
    rules.push_back(WebSection());
    rules.push_back(PollingSection());
    return rules;
}

TessivConf ReadSections(ConfigFile file, const std::filesystem::path& dir = {}) {
    TessivConf conf;
    conf.integrations = ReadIntegrationsConfig(file);
    conf.history = ReadHistoryConfig(file);
    conf.alarm = ReadAlarmConfig(file);
    conf.channels = ReadChannelsConfig(file, dir);
    conf.web = ReadWebConfig(file);
    conf.polling = ReadPollingConfig(file);
    conf.problems = std::move(file).TakeProblems();
    return conf;
}

}  // namespace

TessivConf ReadTessivConf(const std::filesystem::path& dir) {
    return ReadSections(ConfigFile::Read(dir, Sections(), kAllOff), dir);
}

TessivConf ParseTessivConf(const std::string& text) {
    return ReadSections(ConfigFile::Parse(text, Sections(), kAllOff));
}
