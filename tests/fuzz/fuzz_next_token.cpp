// NextToken with source, delimiter and options taken from the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "servers/next_token.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Stripped(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// First byte that is a character of its own and one of the delimiter bytes; the bytes of a two-byte
// character never count.
std::size_t ExpectedAnyOfCut(std::string_view source, std::string_view delimiter) {
    std::vector<bool> starts = fuzz::CharacterStarts(source);
    for (std::size_t pos = 0; pos < source.size(); ++pos) {
        if (!starts[pos]) continue;
        bool singleByte = !fuzz::OpensPair(source, pos);
        if (singleByte && delimiter.find(source[pos]) != std::string_view::npos) return pos;
    }
    return std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const Match match = provider.ConsumeBool() ? Match::Whole : Match::AnyOf;
    const Trim loopTrim = provider.ConsumeBool() ? Trim::Yes : Trim::No;
    const std::string delimiter = provider.ConsumeRandomLengthString(8);
    const std::string original = provider.ConsumeRemainingBytesAsString();

    std::string rest = original;
    const std::string token = NextToken(rest, delimiter, Trim::No, match);

    const std::size_t cut = delimiter.empty()       ? std::string_view::npos
                            : match == Match::Whole ? fuzz::NaiveFind(original, delimiter)
                                                    : ExpectedAnyOfCut(original, delimiter);
    if (cut == std::string_view::npos) {
        FUZZ_CHECK(token == original);
        FUZZ_CHECK(rest.empty());
    } else {
        // The delimiter's length is dropped at the cut, in both modes; what is left follows it.
        const std::size_t dropped = std::min(delimiter.size(), original.size() - cut);
        FUZZ_CHECK(token == original.substr(0, cut));
        FUZZ_CHECK(rest == original.substr(cut + dropped));
        FUZZ_CHECK(token + original.substr(cut, dropped) + rest == original);
        if (match == Match::Whole) FUZZ_CHECK(token + delimiter + rest == original);
        if (match == Match::AnyOf) FUZZ_CHECK(delimiter.find(original[cut]) != std::string::npos);
    }

    // Trimming changes the token only, and only by white space at its ends.
    std::string trimmedRest = original;
    const std::string trimmed = NextToken(trimmedRest, delimiter, Trim::Yes, match);
    FUZZ_CHECK(trimmedRest == rest);
    FUZZ_CHECK(trimmed.size() <= token.size());
    FUZZ_CHECK(trimmed == Stripped(token));

    // Taking tokens until nothing is left ends: every call takes at least one byte off a non-empty source.
    std::string source = original;
    std::size_t calls = 0;
    while (!source.empty()) {
        const std::size_t before = source.size();
        NextToken(source, delimiter, loopTrim, match);
        FUZZ_CHECK(source.size() < before);
        ++calls;
    }
    FUZZ_CHECK(calls <= original.size());
    return 0;
}
