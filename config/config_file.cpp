#include "config/config_file.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include <QString>

#include "fileio/regular_file.h"

namespace {

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

std::string LineLabel(std::size_t number) {
    return "tessiv.conf line " + std::to_string(number);
}

const std::map<std::string, std::string>& NoValues() {
    static const std::map<std::string, std::string> none;
    return none;
}

}  // namespace

void ConfigProblems::Add(std::string problem) {
    if (m_shown.size() < kConfigProblemsShown)
        m_shown.push_back(std::move(problem));
    else
        ++m_more;
}

std::vector<std::string> ConfigProblems::Take() && {
    if (m_more > 0)
        m_shown.push_back("tessiv.conf: " + std::to_string(m_more) + " more problem" +
                          (m_more == 1 ? " is" : "s are") + " not listed");
    return std::move(m_shown);
}

std::string ShownConfigText(std::string_view text) {
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

std::string TrimConfigText(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<int> ConfigNumber(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        return std::nullopt;
    return value;
}

std::optional<bool> ConfigBool(std::string_view text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

std::optional<std::string> ConfigSection::Value(const std::string& key) const {
    const auto value = m_values->find(key);
    if (value == m_values->end()) return std::nullopt;
    return value->second;
}

void ConfigSection::BadValue(const std::string& key, const std::string& why) const {
    Problem("tessiv.conf: bad value for \"" + Name() + "/" + key + "\" (" + why + "); " +
            m_rule->consequence);
}

void ConfigSection::Problem(std::string line) const {
    m_problems->Add(std::move(line));
}

ConfigFile ConfigFile::Parse(std::string_view text, std::vector<ConfigSectionRule> rules,
                             const std::string& allOff) {
    ConfigFile file(std::move(rules));
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (QString::fromUtf8(text).toUtf8().toStdString() != text) {
        file.m_problems.Add("tessiv.conf is not UTF-8 text; " + allOff);
        return file;
    }
    file.ReadSections(text);
    return file;
}

ConfigFile ConfigFile::Read(const std::filesystem::path& dir, std::vector<ConfigSectionRule> rules,
                            const std::string& allOff) {
    OpenedFile opened = OpenConfigFile(dir / kConfigFileName);
    if (opened.missing) return ConfigFile(std::move(rules));
    std::string problem = std::move(opened.problem);
    std::optional<std::string> text;
    if (problem.empty() && static_cast<std::uintmax_t>(opened.file.info.st_size) > kConfigMaxBytes)
        problem = TooLarge(kConfigMaxBytes);  // refused unread
    else if (problem.empty())
        text = ReadAtMost(opened.file.fd.get(), kConfigMaxBytes, problem);
    if (!text) {
        ConfigFile file(std::move(rules));
        file.m_problems.Add("tessiv.conf " + problem + "; " + allOff);
        return file;
    }
    return Parse(*text, std::move(rules), allOff);
}

const ConfigSectionRule* ConfigFile::Rule(const std::string& name) const {
    for (const ConfigSectionRule& rule : m_rules)
        if (rule.name == name) return &rule;
    return nullptr;
}

// A hand-written reader rather than QSettings or inih: QSettings splits values at commas and strips quotes,
// inih takes ':' for '=' and joins indented lines, and a command line needs its text kept as written.
void ConfigFile::ReadSections(std::string_view text) {
    std::string section;
    std::size_t number = 0;
    const auto consequence = [this](const std::string& name) {
        const ConfigSectionRule* rule = Rule(name);
        return rule != nullptr ? rule->consequence : std::string("it is ignored");
    };
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        const std::string line = TrimConfigText(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = TrimConfigText(std::string_view(line).substr(1, line.size() - 2));
            m_given.insert(section);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            m_problems.Add(LineLabel(number) + " is not \"key = value\"; " + consequence(section));
            m_broken.insert(section);
            continue;
        }
        const std::string key = TrimConfigText(std::string_view(line).substr(0, equals));
        const std::string name = (section.empty() ? "" : section + "/") + key;
        const ConfigSectionRule* rule = Rule(section);
        if (rule == nullptr || !rule->keys.contains(key)) {
            m_problems.Add(LineLabel(number) + ": unknown key \"" + ShownConfigText(name) + "\"; " +
                           consequence(section));
            m_broken.insert(section);
            continue;
        }
        // Which of two values was meant cannot be told.
        if (!m_values[section]
                 .emplace(key, TrimConfigText(std::string_view(line).substr(equals + 1)))
                 .second) {
            m_problems.Add(LineLabel(number) + ": \"" + ShownConfigText(name) +
                           "\" is given more than once; " + consequence(section));
            m_broken.insert(section);
        }
    }
}

ConfigSection ConfigFile::Section(const std::string& name) {
    ConfigSection section;
    section.m_rule = Rule(name);
    if (section.m_rule == nullptr) {
        // A reader asking for a section it did not name is a mistake in the code, not in the file.
        static const ConfigSectionRule unnamed{"", {}, "it is ignored"};
        section.m_rule = &unnamed;
    }
    const auto values = m_values.find(name);
    section.m_values = values == m_values.end() ? &NoValues() : &values->second;
    section.m_problems = &m_problems;
    section.m_given = m_given.contains(name) || values != m_values.end();
    section.m_broken = m_broken.contains(name);
    return section;
}
