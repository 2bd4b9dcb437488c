#include "integrations/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include <QString>
#include <QUrl>

#include "fileio/regular_file.h"
#include "integrations/command_line.h"

namespace {

constexpr const char* kAllOff = "the hook command, the webhook and the metrics endpoint stay off";

// Text of the file as a problem line quotes it: a control character would break or garble the line.
std::string Shown(std::string_view text) {
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// Keeps the first few problems and counts the rest, so that a file of junk gives a handful of lines.
class ProblemList {
public:
    void Add(std::string problem) {
        if (m_shown.size() < kConfigProblemsShown)
            m_shown.push_back(std::move(problem));
        else
            ++m_more;
    }
    std::vector<std::string> Take() && {
        if (m_more > 0)
            m_shown.push_back("tessiv.conf: " + std::to_string(m_more) + " more problem" +
                              (m_more == 1 ? " is" : "s are") + " not listed");
        return std::move(m_shown);
    }

private:
    std::vector<std::string> m_shown;
    std::size_t m_more = 0;
};

// Opens `file` for reading without waiting on a FIFO's writer or a device; only a regular file is kept.
// `problem` says why not; `missing` tells a file that is not there.
struct OpenedFile {
    RegularFile file;
    std::string problem;
    bool missing = false;
};

OpenedFile OpenConfigFile(const std::filesystem::path& path) {
    OpenedFile opened{OpenRegularFile(path, O_RDONLY), {}, false};
    if (opened.file.notRegular)
        opened.problem = std::string("is ") + FileKind(opened.file.info.st_mode) + ", not a regular file";
    else if (!opened.file)
        opened.problem = "cannot be read (" + std::string(std::strerror(opened.file.error)) + ")";
    opened.missing = opened.file.error == ENOENT;
    return opened;
}

std::string TooLarge(std::size_t limit) {
    return "is larger than " + std::to_string(limit / 1024) + " KiB";
}

// The whole of a regular file of at most `limit` bytes; it may have grown since fstat.
std::optional<std::string> ReadAtMost(int fd, std::size_t limit, std::string& problem) {
    std::string content;
    if (ReadAll(fd, content, limit)) return content;
    problem = errno == EFBIG ? TooLarge(limit) : "cannot be read (" + std::string(std::strerror(errno)) + ")";
    return std::nullopt;
}

// What a problem in a section turns off, for the line that reports it.
std::string Consequence(const std::string& section) {
    if (section == "hooks") return "the hook command and the webhook stay off";
    if (section == "metrics") return "the metrics endpoint stays off";
    if (section == "history") return "the history stays off";
    if (section == "alarm") return "that alarm rule stays off";
    return "it is ignored";
}

struct Sections {
    std::map<std::string, std::map<std::string, std::string>> values;
    // Sections with an unknown or repeated key or a line that is not key = value.
    std::set<std::string> broken;
};

const std::map<std::string, std::set<std::string>>& KnownKeys() {
    static const std::map<std::string, std::set<std::string>> known{
        {"hooks", {"command", "webhook", "webhook_ca"}},
        {"metrics", {"listen"}},
        {"history", {"enabled", "keep_days"}},
        {"alarm", {"confirm_rounds", "quiet_hours", "escalate_after", "strict_reports"}},
    };
    return known;
}

std::string LineLabel(std::size_t number) {
    return "tessiv.conf line " + std::to_string(number);
}

// A hand-written reader rather than QSettings: QSettings splits values at commas and strips quotes, and a
// command line needs both kept for its own splitting.
Sections ReadSections(std::string_view text, ProblemList& problems) {
    Sections sections;
    std::string section;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        const std::string line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = Trim(std::string_view(line).substr(1, line.size() - 2));
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            problems.Add(LineLabel(number) + " is not \"key = value\"; " + Consequence(section));
            sections.broken.insert(section);
            continue;
        }
        const std::string key = Trim(std::string_view(line).substr(0, equals));
        const std::string name = (section.empty() ? "" : section + "/") + key;
        const auto known = KnownKeys().find(section);
        if (known == KnownKeys().end() || !known->second.contains(key)) {
            problems.Add(LineLabel(number) + ": unknown key \"" + Shown(name) + "\"; " +
                         Consequence(section));
            sections.broken.insert(section);
            continue;
        }
        // Which of two values was meant cannot be told.
        if (!sections.values[section].emplace(key, Trim(std::string_view(line).substr(equals + 1))).second) {
            problems.Add(LineLabel(number) + ": \"" + Shown(name) + "\" is given more than once; " +
                         Consequence(section));
            sections.broken.insert(section);
        }
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

void ReadHooks(const Sections& sections, IntegrationsConfig& config, ProblemList& problems) {
    if (sections.broken.contains("hooks")) return;
    if (auto command = Value(sections, "hooks", "command")) {
        SplitCommand split = SplitCommandLine(*command);
        if (!split.error.empty()) {
            problems.Add(BadValue("hooks/command", split.error, "hooks"));
            return;
        }
        if (split.words.empty() || split.words.front().empty()) {
            problems.Add(BadValue("hooks/command", "no program given", "hooks"));
            return;
        }
        config.hookCommand = std::move(split.words);
    }
    auto ca = Value(sections, "hooks", "webhook_ca");
    if (auto webhook = Value(sections, "hooks", "webhook")) {
        const QUrl url(QString::fromUtf8(*webhook), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
            problems.Add(BadValue("hooks/webhook", "not an http or https URL", "hooks"));
            config.hookCommand.reset();
            return;
        }
        // A FIFO here would block the start, and the webhook's every try later.
        if (ca) {
            if (const OpenedFile file = OpenConfigFile(*ca); !file.problem.empty()) {
                problems.Add(BadValue("hooks/webhook_ca", Shown(*ca) + " " + file.problem, "hooks"));
                config.hookCommand.reset();
                return;
            }
        }
        config.webhook = WebhookConfig{*webhook, ca.value_or("")};
    } else if (ca) {
        problems.Add("tessiv.conf: \"hooks/webhook_ca\" without \"hooks/webhook\" is ignored");
    }
}

void ReadMetrics(const Sections& sections, IntegrationsConfig& config, ProblemList& problems) {
    if (sections.broken.contains("metrics")) return;
    auto listen = Value(sections, "metrics", "listen");
    if (!listen) return;
    ParsedListenAddress parsed = ParseListenAddress(*listen);
    config.metrics = std::move(parsed.address);
    if (!config.metrics) problems.Add(BadValue("metrics/listen", parsed.error, "metrics"));
}

// A problem in [history] turns it off rather than guess: `enabled = flase` most likely meant off.
void ReadHistory(const Sections& sections, IntegrationsConfig& config, ProblemList& problems) {
    if (sections.broken.contains("history")) {
        config.history.enabled = false;
        return;
    }
    if (auto enabled = Value(sections, "history", "enabled")) {
        if (*enabled == "true") {
            config.history.enabled = true;
        } else if (*enabled == "false") {
            config.history.enabled = false;
        } else {
            problems.Add(BadValue("history/enabled", "not true or false", "history"));
            config.history.enabled = false;
            return;
        }
    }
    if (auto keep = Value(sections, "history", "keep_days")) {
        int days = 0;
        const auto [end, error] = std::from_chars(keep->data(), keep->data() + keep->size(), days);
        if (keep->empty() || error != std::errc() || end != keep->data() + keep->size() || days < 1 ||
            days > 3650) {
            problems.Add(BadValue("history/keep_days", "not a number of days from 1 to 3650", "history"));
            config.history.enabled = false;
            return;
        }
        config.history.keepDays = days;
    }
}

std::optional<int> WholeNumber(const std::string& text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        return std::nullopt;
    return value;
}

// "HH:MM" as minutes of the day.
std::optional<int> ClockMinutes(std::string_view text) {
    if (text.size() != 5 || text[2] != ':') return std::nullopt;
    const auto hours = WholeNumber(std::string(text.substr(0, 2)), 0, 23);
    const auto minutes = WholeNumber(std::string(text.substr(3, 2)), 0, 59);
    if (!hours || !minutes) return std::nullopt;
    return *hours * 60 + *minutes;
}

// Each rule stands alone: a bad value turns off only its own rule. A broken section turns them all off.
void ReadAlarm(const Sections& sections, IntegrationsConfig& config, ProblemList& problems) {
    if (sections.broken.contains("alarm")) return;
    if (auto rounds = Value(sections, "alarm", "confirm_rounds")) {
        if (auto value = WholeNumber(*rounds, 1, 10))
            config.alarm.confirmRounds = *value;
        else
            problems.Add(BadValue("alarm/confirm_rounds", "not a number of rounds from 1 to 10", "alarm"));
    }
    if (auto quiet = Value(sections, "alarm", "quiet_hours")) {
        const auto dash = quiet->find('-');
        const auto start =
            dash == std::string::npos ? std::nullopt : ClockMinutes(Trim(quiet->substr(0, dash)));
        const auto end =
            dash == std::string::npos ? std::nullopt : ClockMinutes(Trim(quiet->substr(dash + 1)));
        if (start && end && *start != *end)
            config.alarm.quietHours = std::pair{*start, *end};
        else
            problems.Add(BadValue("alarm/quiet_hours", "not a span HH:MM-HH:MM of local time", "alarm"));
    }
    if (auto escalate = Value(sections, "alarm", "escalate_after")) {
        if (auto value = WholeNumber(*escalate, 1, 1440))
            config.alarm.escalateMinutes = *value;
        else
            problems.Add(BadValue("alarm/escalate_after", "not a number of minutes from 1 to 1440", "alarm"));
    }
    if (auto strict = Value(sections, "alarm", "strict_reports")) {
        if (*strict == "true" || *strict == "false")
            config.alarm.strictReports = *strict == "true";
        else
            problems.Add(BadValue("alarm/strict_reports", "not true or false", "alarm"));
    }
}

bool IsIpv6(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

std::string ListenAddress::Text() const {
    return host + ":" + std::to_string(port);
}

ParsedListenAddress ParseListenAddress(const std::string& text) {
    ListenAddress address{"127.0.0.1", 0, true};
    std::string_view port = text;
    if (IsIpv6(text))
        return {std::nullopt, "IPv6 is not available, only IPv4; use an address like 127.0.0.1"};
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        const std::string host = text.substr(0, colon);
        if (IsIpv6(host))
            return {std::nullopt, "IPv6 is not available, only IPv4; use an address like 127.0.0.1"};
        in_addr v4{};
        if (inet_pton(AF_INET, host.c_str(), &v4) != 1)
            return {std::nullopt, "\"" + Shown(host) + "\" is not an IPv4 address"};
        address.host = host;
        address.loopback = (ntohl(v4.s_addr) >> 24) == 127;
        port = std::string_view(text).substr(colon + 1);
    }
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || address.port < 0 ||
        address.port > 65535)
        return {std::nullopt, "not a port from 1 to 65535, or an IPv4 address:port"};
    if (address.port == 0)
        return {std::nullopt,
                "port 0 would listen on a random port that nobody is told; give one from 1 to 65535"};
    return {address, {}};
}

IntegrationsConfig ParseIntegrationsConfig(const std::string& text) {
    IntegrationsConfig config;
    std::string_view body = text;
    if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    if (QString::fromUtf8(body).toUtf8().toStdString() != body) {
        config.problems.push_back("tessiv.conf is not UTF-8 text; " + std::string(kAllOff));
        return config;
    }
    ProblemList problems;
    const Sections sections = ReadSections(body, problems);
    ReadHooks(sections, config, problems);
    ReadMetrics(sections, config, problems);
    ReadHistory(sections, config, problems);
    ReadAlarm(sections, config, problems);
    config.problems = std::move(problems).Take();
    return config;
}

IntegrationsConfig ReadIntegrationsConfig(const std::filesystem::path& dir) {
    IntegrationsConfig config;
    OpenedFile file = OpenConfigFile(dir / kConfigFileName);
    if (file.missing) return config;
    std::string problem = std::move(file.problem);
    std::optional<std::string> text;
    if (problem.empty() && static_cast<std::uintmax_t>(file.file.info.st_size) > kConfigMaxBytes)
        problem = TooLarge(kConfigMaxBytes);  // refused unread
    else if (problem.empty())
        text = ReadAtMost(file.file.fd.get(), kConfigMaxBytes, problem);
    if (!text) {
        config.problems.push_back("tessiv.conf " + problem + "; " + kAllOff);
        return config;
    }
    return ParseIntegrationsConfig(*text);
}
