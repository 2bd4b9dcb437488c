#pragma once

// Shared by the fuzz targets: a check that aborts (so libFuzzer keeps the input as a crash artifact) and a
// GBK character walk written independently of text/gbk.cpp, to compare the project's search against.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

inline bool IsLead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

inline bool IsTrail(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

// A lead byte followed by a byte that can end a character opens a two-byte character.
inline bool OpensPair(std::string_view text, std::size_t pos) {
    return pos + 1 < text.size() && IsLead(static_cast<unsigned char>(text[pos])) &&
           IsTrail(static_cast<unsigned char>(text[pos + 1]));
}

// Start of every character: a pair as above, and every other byte is a character of its own (an invalid
// pair's lead byte too, so the byte behind it is read afresh).
inline std::vector<bool> CharacterStarts(std::string_view text) {
    std::vector<bool> starts(text.size() + 1, false);
    std::size_t pos = 0;
    while (pos < text.size()) {
        starts[pos] = true;
        pos += OpensPair(text, pos) ? 2 : 1;
    }
    starts[text.size()] = true;
    return starts;
}

// The first character start at or after `from` where `needle` begins, tried one by one.
inline std::size_t NaiveFind(std::string_view haystack, std::string_view needle, std::size_t from = 0) {
    if (from > haystack.size()) return std::string_view::npos;
    std::vector<bool> starts = CharacterStarts(haystack);
    for (std::size_t pos = from; pos + needle.size() <= haystack.size(); ++pos) {
        if (starts[pos] && haystack.substr(pos, needle.size()) == needle) return pos;
    }
    return std::string_view::npos;
}

inline bool NaiveContains(std::string_view haystack, std::string_view needle) {
    return NaiveFind(haystack, needle) != std::string_view::npos;
}

// Occurrences of `needle` anywhere, byte-wise and overlapping: an upper bound for any whole-character count.
inline std::size_t CountBytewise(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return 0;
    std::size_t count = 0;
    for (std::size_t pos = haystack.find(needle); pos != std::string_view::npos;
         pos = haystack.find(needle, pos + 1))
        ++count;
    return count;
}

inline std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
    return hash;
}

}  // namespace fuzz
