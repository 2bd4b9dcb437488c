#include "servers/next_token.h"

#include <algorithm>

#include "text/gbk.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trimmed(std::string text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::size_t FindAnyOf(std::string_view source, std::string_view delimiters) {
    for (std::size_t pos = 0; pos < source.size();) {
        if (gbk::CharLength(source, pos) == 2) {
            pos += 2;  // a trail byte never counts as a delimiter
            continue;
        }
        if (delimiters.find(source[pos]) != std::string_view::npos) return pos;
        ++pos;
    }
    return std::string_view::npos;
}

}  // namespace

std::string NextToken(std::string& source, std::string_view delimiter, Trim trim, Match match) {
    std::size_t cut = match == Match::AnyOf ? FindAnyOf(source, delimiter) : gbk::Find(source, delimiter);
    std::string token;
    if (cut == std::string::npos || delimiter.empty()) {
        token = std::move(source);
        source.clear();
    } else {
        token = source.substr(0, cut);
        source.erase(0, std::min(source.size(), cut + delimiter.size()));
    }
    return trim == Trim::Yes ? Trimmed(std::move(token)) : token;
}
