// GBK conversion and whole-character search over arbitrary bytes.

#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include "fuzz_support.h"
#include "text/gbk.h"

namespace {

// The one character glibc decodes `candidate` to as GBK, or nothing when it is not exactly one valid
// character. A handle of the target's own, so the conversion under test is not its own judge.
std::optional<char32_t> DecodeOne(std::string_view candidate) {
    static iconv_t cd = iconv_open("UTF-32LE", "GBK");
    FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1));
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(candidate.data());
    std::size_t inLeft = candidate.size();
    unsigned char out[8];
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0 ||
        outLeft != sizeof out - 4)
        return std::nullopt;
    return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}

// What decoding should give, character by character: a two-byte character where the lead byte and the next
// byte form one, else a one-byte character, else U+FFFD for that one byte, reading on from the next.
// `roundTrip` gets the bytes encoding should give back: each character's own bytes, '?' for each bad byte;
// `validOnly` the input without its bad bytes.
struct Expected {
    std::u32string text;
    std::string roundTrip;
    std::string validOnly;
};

Expected Expect(std::string_view bytes) {
    Expected expected;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t length = 0;
        std::optional<char32_t> character;
        if (pos + 1 < bytes.size() && (character = DecodeOne(bytes.substr(pos, 2))))
            length = 2;
        else if ((character = DecodeOne(bytes.substr(pos, 1))))
            length = 1;
        if (length == 0) {
            expected.text += U'\uFFFD';
            expected.roundTrip += '?';
            ++pos;
            continue;
        }
        expected.text += *character;
        expected.roundTrip += bytes.substr(pos, length);
        expected.validOnly += bytes.substr(pos, length);
        pos += length;
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Any bytes decode, every byte accounted for: a character, or U+FFFD for a byte that starts none.
    const Expected expected = Expect(bytes);
    const QString decoded = gbk::ToQString(bytes);
    FUZZ_CHECK(decoded ==
               QString::fromUcs4(expected.text.data(), static_cast<qsizetype>(expected.text.size())));

    // Encoding gives the bytes back, with '?' where a bad byte stood; the strict form refuses U+FFFD.
    FUZZ_CHECK(gbk::FromQString(decoded) == expected.roundTrip);
    const std::optional<std::string> strict = gbk::FromQStringStrict(decoded);
    FUZZ_CHECK(strict.has_value() == (expected.validOnly.size() == size));
    if (strict) FUZZ_CHECK(*strict == expected.roundTrip);

    // Valid characters only: decoding loses nothing and both encodings give the same bytes back.
    const QString validText = gbk::ToQString(expected.validOnly);
    FUZZ_CHECK(!validText.contains(QChar(0xFFFD)));
    FUZZ_CHECK(gbk::FromQString(validText) == expected.validOnly);
    const std::optional<std::string> validStrict = gbk::FromQStringStrict(validText);
    FUZZ_CHECK(validStrict.has_value() && *validStrict == expected.validOnly);

    // Whole-character search: needle and start from the first two bytes, the rest is the haystack.
    if (size >= 2) {
        const std::size_t needleLength = data[0] % 9;
        const std::string_view rest = bytes.substr(2);
        const std::string_view needle = rest.substr(0, std::min(needleLength, rest.size()));
        const std::string_view haystack = rest.substr(needle.size());
        // `from` must be a character start: take the k-th one.
        const std::vector<bool> starts = fuzz::CharacterStarts(haystack);
        std::size_t from = 0;
        for (std::size_t k = data[1] % (haystack.size() + 2); k > 0 && from < haystack.size(); --k) {
            ++from;
            while (from < haystack.size() && !starts[from]) ++from;
        }
        const std::size_t found = gbk::Find(haystack, needle, from);
        FUZZ_CHECK(found == fuzz::NaiveFind(haystack, needle, from));
        if (found != std::string_view::npos) {
            FUZZ_CHECK(found >= from && starts[found]);
            FUZZ_CHECK(haystack.substr(found, needle.size()) == needle);
        }
        FUZZ_CHECK(gbk::Contains(haystack, needle) ==
                   (fuzz::NaiveFind(haystack, needle) != std::string_view::npos));
    }
    return 0;
}
