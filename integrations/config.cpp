#include "integrations/config.h"

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include <QProcess>
#include <QString>
#include <QUrl>

namespace {

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// What a problem in a section turns off, for the line that reports it.
std::string Consequence(const std::string& section) {
    if (section == "hooks") return "the hook command and the webhook stay off";
    if (section == "metrics") return "the metrics endpoint stays off";
    return "it is ignored";
}

struct Sections {
    std::map<std::string, std::map<std::string, std::string>> values;
    std::set<std::string> broken;  // sections with an unknown key or a line that is not key = value
};

const std::map<std::string, std::set<std::string>>& KnownKeys() {
    static const std::map<std::string, std::set<std::string>> known{
        {"hooks", {"command", "webhook", "webhook_ca"}},
        {"metrics", {"listen"}},
    };
    return known;
}

// A hand-written reader rather than QSettings: QSettings splits values at commas and strips quotes, and a
// command line needs both kept for QProcess::splitCommand.
Sections ReadSections(const std::string& text, std::vector<std::string>& problems) {
    Sections sections;
    std::string section;
    std::istringstream lines(text);
    std::string raw;
    for (int number = 1; std::getline(lines, raw); ++number) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = Trim(std::string_view(line).substr(1, line.size() - 2));
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            problems.push_back("tessiv.conf line " + std::to_string(number) + " is not \"key = value\"; " +
                               Consequence(section));
            sections.broken.insert(section);
            continue;
        }
        const std::string key = Trim(std::string_view(line).substr(0, equals));
        const auto known = KnownKeys().find(section);
        if (known == KnownKeys().end() || !known->second.contains(key)) {
            problems.push_back("tessiv.conf: unknown key \"" + (section.empty() ? "" : section + "/") + key +
                               "\"; " + Consequence(section));
            sections.broken.insert(section);
            continue;
        }
        sections.values[section][key] = Trim(std::string_view(line).substr(equals + 1));
    }
    return sections;
}

std::optional<std::string> Value(const Sections& sections, const std::string& section,
                                 const std::string& key) {
    auto found = sections.values.find(section);
    if (found == sections.values.end()) return std::nullopt;
    auto value = found->second.find(key);
    if (value == found->second.end()) return std::nullopt;
    return value->second;
}

std::string BadValue(const std::string& key, const std::string& why, const std::string& section) {
    return "tessiv.conf: bad value for \"" + key + "\" (" + why + "); " + Consequence(section);
}

void ReadHooks(const Sections& sections, IntegrationsConfig& config) {
    if (sections.broken.contains("hooks")) return;
    if (auto command = Value(sections, "hooks", "command")) {
        const QStringList parts = QProcess::splitCommand(QString::fromUtf8(*command));
        if (parts.isEmpty()) {
            config.problems.push_back(BadValue("hooks/command", "no program given", "hooks"));
            return;
        }
        std::vector<std::string> argv;
        for (const QString& part : parts) argv.push_back(part.toStdString());
        config.hookCommand = std::move(argv);
    }
    auto ca = Value(sections, "hooks", "webhook_ca");
    if (auto webhook = Value(sections, "hooks", "webhook")) {
        const QUrl url(QString::fromUtf8(*webhook), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
            config.problems.push_back(BadValue("hooks/webhook", "not an http or https URL", "hooks"));
            config.hookCommand.reset();
            return;
        }
        if (ca && !std::ifstream(*ca)) {
            config.problems.push_back(BadValue("hooks/webhook_ca", "cannot read " + *ca, "hooks"));
            config.hookCommand.reset();
            return;
        }
        config.webhook = WebhookConfig{*webhook, ca.value_or("")};
    } else if (ca) {
        config.problems.push_back("tessiv.conf: \"hooks/webhook_ca\" without \"hooks/webhook\" is ignored");
    }
}

void ReadMetrics(const Sections& sections, IntegrationsConfig& config) {
    if (sections.broken.contains("metrics")) return;
    auto listen = Value(sections, "metrics", "listen");
    if (!listen) return;
    config.metrics = ParseListenAddress(*listen);
    if (!config.metrics)
        config.problems.push_back(BadValue("metrics/listen", "not an address:port", "metrics"));
}

}  // namespace

std::string ListenAddress::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
    ListenAddress address{"127.0.0.1", 0, true};
    std::string_view port = text;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        std::string host = text.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        port = std::string_view(text).substr(colon + 1);
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
            address.loopback = (ntohl(v4.s_addr) >> 24) == 127;
        } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
            address.loopback = IN6_IS_ADDR_LOOPBACK(&v6);
        } else {
            return std::nullopt;
        }
        address.host = host;
    }
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || address.port < 0 ||
        address.port > 65535)
        return std::nullopt;
    return address;
}

IntegrationsConfig ParseIntegrationsConfig(const std::string& text) {
    IntegrationsConfig config;
    std::string_view body = text;
    if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    if (QString::fromUtf8(body).toUtf8().toStdString() != body) {
        config.problems.push_back("tessiv.conf is not UTF-8 text; it is ignored");
        return config;
    }
    const Sections sections = ReadSections(std::string(body), config.problems);
    ReadHooks(sections, config);
    ReadMetrics(sections, config);
    return config;
}

IntegrationsConfig ReadIntegrationsConfig(const std::filesystem::path& dir) {
    std::ifstream file(dir / kConfigFileName, std::ios::binary);
    if (!file) return {};
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return ParseIntegrationsConfig(text);
}
