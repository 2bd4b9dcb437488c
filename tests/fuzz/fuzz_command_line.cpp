// The hook's command-line splitter: whatever it accepts, its words quoted again split back to themselves.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "integrations/command_line.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Inside '...' everything is kept; a quote of its own is closed, escaped and opened again.
std::string SingleQuoted(std::string_view word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Inside "..." a backslash keeps $ ` " and \ as they are.
std::string DoubleQuoted(std::string_view word) {
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Outside quotes a backslash keeps any byte but a line break, which it would join to the next line.
std::string Escaped(std::string_view word) {
    if (word.empty() || word.find('\n') != std::string_view::npos) return SingleQuoted(word);
    std::string escaped;
    for (char c : word) {
        escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const SplitCommand split = SplitCommandLine(line);
    if (!split.error.empty()) {
        FUZZ_CHECK(split.words.empty());
        FUZZ_CHECK(split.error == "unterminated single quote" || split.error == "unterminated double quote");
        FUZZ_CHECK(line.find_first_of("'\"") != std::string_view::npos);
        return 0;
    }

    // Quoting only takes bytes away: every word byte comes from one byte of the line.
    std::size_t wordBytes = 0;
    for (const std::string& word : split.words) wordBytes += word.size();
    FUZZ_CHECK(wordBytes + (split.words.empty() ? 0 : split.words.size() - 1) <= line.size());

    // A line without quotes or backslashes is split at blanks, and nothing else.
    if (line.find_first_of("'\"\\") == std::string_view::npos) {
        std::vector<std::string> words;
        std::string word;
        for (char c : line) {
            if (!IsBlank(c)) {
                word += c;
            } else if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
        }
        if (!word.empty()) words.push_back(std::move(word));
        FUZZ_CHECK(split.words == words);
    }

    // Each of the three ways of quoting gives the same words back, separated by any blank.
    std::string single, doubled, escaped;
    for (const std::string& word : split.words) {
        single += SingleQuoted(word) + " ";
        doubled += DoubleQuoted(word) + "\t";
        escaped += Escaped(word) + "\n";
    }
    for (const std::string& again : {single, doubled, escaped}) {
        const SplitCommand resplit = SplitCommandLine(again);
        FUZZ_CHECK(resplit.error.empty());
        FUZZ_CHECK(resplit.words == split.words);
    }
    return 0;
}
