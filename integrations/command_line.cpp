#include "integrations/command_line.h"

#include <optional>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

SplitCommand SplitCommandLine(std::string_view line) {
    SplitCommand result;
    // Set once a word has begun, even by an empty quote, so that "" is a word of its own.
    std::optional<std::string> word;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (IsBlank(c)) {
            if (word) result.words.push_back(std::move(*word));
            word.reset();
            ++i;
            continue;
        }
        if (!word) word.emplace();
        if (c == '\\') {
            if (i + 1 == line.size()) {
                word->push_back('\\');  // a shell keeps a backslash that ends the line
                ++i;
            } else {
                if (line[i + 1] != '\n') word->push_back(line[i + 1]);  // backslash-newline joins lines
                i += 2;
            }
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) return {{}, "unterminated single quote"};
            word->append(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == line.size()) return {{}, "unterminated double quote"};
                if (line[i] == '"') break;
                if (line[i] == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == '\n') {
                        ++i;
                        continue;
                    }
                    if (next == '$' || next == '`' || next == '"' || next == '\\') {
                        word->push_back(next);
                        ++i;
                        continue;
                    }
                }
                word->push_back(line[i]);
            }
            ++i;
        } else {
            word->push_back(c);
            ++i;
        }
    }
    if (word) result.words.push_back(std::move(*word));
    return result;
}
