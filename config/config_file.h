#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// tessiv.conf, read once by one reader that hands each addition its own sections. The reader knows no
// section itself: each addition names its sections, their keys and what a problem in them turns off.

inline constexpr const char* kConfigFileName = "tessiv.conf";
// Far above any real configuration; a bigger file is refused unread.
inline constexpr std::size_t kConfigMaxBytes = 64 * 1024;
inline constexpr std::size_t kConfigProblemsShown = 5;

struct ConfigSectionRule {
    std::string name;            // "hooks" for [hooks]
    std::set<std::string> keys;  // every key the section may hold
    std::string consequence;     // what a problem turns off: "the metrics endpoint stays off"
};

// Keeps the first few problems and counts the rest, so that a file of junk gives a handful of lines.
class ConfigProblems {
public:
    void Add(std::string problem);
    std::vector<std::string> Take() &&;

private:
    std::vector<std::string> m_shown;
    std::size_t m_more = 0;
};

// Text of the file as a problem line quotes it: a control character would break or garble the line.
std::string ShownConfigText(std::string_view text);
// Leading and trailing blanks and line ends removed.
std::string TrimConfigText(std::string_view text);
// A whole number from `low` to `high`, nothing else on the value.
std::optional<int> ConfigNumber(std::string_view text, int low, int high);
// "true" or "false", nothing else.
std::optional<bool> ConfigBool(std::string_view text);

class ConfigFile;

// One section as its addition reads it. Absent, it holds no value.
class ConfigSection {
public:
    const std::string& Name() const { return m_rule->name; }
    std::optional<std::string> Value(const std::string& key) const;
    // Whether the file holds the section's header or any of its keys.
    bool Given() const { return m_given; }
    // A line of the section was not key = value, or a key unknown or repeated: already reported, and the
    // addition turns the section's features off rather than guess.
    bool Broken() const { return m_broken; }
    // Reports "tessiv.conf: bad value for "section/key" (why); consequence".
    void BadValue(const std::string& key, const std::string& why) const;
    // Reports a line of the addition's own words.
    void Problem(std::string line) const;

private:
    friend class ConfigFile;
    const ConfigSectionRule* m_rule = nullptr;
    const std::map<std::string, std::string>* m_values = nullptr;
    ConfigProblems* m_problems = nullptr;
    bool m_given = false;
    bool m_broken = false;
};

class ConfigFile {
public:
    // Reads `dir`/tessiv.conf (UTF-8 INI), never blocking: only a regular file of at most kConfigMaxBytes
    // is read. A missing file holds no section and no problem; a file that cannot be used holds one problem,
    // which ends in `allOff`, and no section.
    static ConfigFile Read(const std::filesystem::path& dir, std::vector<ConfigSectionRule> rules,
                           const std::string& allOff);
    // Reads the text of a tessiv.conf.
    static ConfigFile Parse(std::string_view text, std::vector<ConfigSectionRule> rules,
                            const std::string& allOff);

    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    ConfigFile(ConfigFile&&) = default;
    ConfigFile& operator=(ConfigFile&&) = default;

    // The section named by one of the rules; its problems are added to this file's.
    ConfigSection Section(const std::string& name);
    // One plain line per problem found, the first few only, then one with the count of the rest.
    std::vector<std::string> TakeProblems() && { return std::move(m_problems).Take(); }

private:
    explicit ConfigFile(std::vector<ConfigSectionRule> rules) : m_rules(std::move(rules)) {}
    void ReadSections(std::string_view text);
    const ConfigSectionRule* Rule(const std::string& name) const;

    std::vector<ConfigSectionRule> m_rules;
    std::map<std::string, std::map<std::string, std::string>> m_values;
    std::set<std::string> m_given;
    std::set<std::string> m_broken;
    ConfigProblems m_problems;
};
