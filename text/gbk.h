#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class QString;

// Every text of the system is a byte string in GBK (code page 936): entries, reports, pane texts and file
// contents. Conversion to Unicode happens only where a text meets a Qt widget.
namespace gbk {

// True when the system can convert between GBK and Unicode. Without it every conversion below throws
// std::runtime_error.
bool Available();

// GBK bytes to Unicode. Bytes that do not form a GBK character become U+FFFD; nothing is dropped silently.
QString ToQString(std::string_view bytes);

// Unicode to GBK. Characters GBK cannot encode become '?'.
std::string FromQString(const QString& text);

// Unicode to GBK, or nothing when a character cannot be encoded.
std::optional<std::string> FromQStringStrict(const QString& text);

// UTF-8 to GBK, for the program's own fixed texts, which are all encodable.
std::string FromUtf8(std::string_view utf8);

// True when the byte opens a two-byte GBK character.
constexpr bool IsLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// True when the byte may close a two-byte GBK character.
constexpr bool IsTrailByte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

// Bytes of the character at `pos`: 2 for a lead byte with a valid trail behind it, else 1. An invalid pair
// counts as one byte, so the byte behind it (a separator, say) is read afresh and never swallowed.
constexpr std::size_t CharLength(std::string_view text, std::size_t pos) {
    return pos + 1 < text.size() && IsLeadByte(static_cast<unsigned char>(text[pos])) &&
                   IsTrailByte(static_cast<unsigned char>(text[pos + 1]))
               ? 2
               : 1;
}

// Position of the first occurrence of needle in haystack at or after `from` that starts on a character
// boundary (never on the second byte of a two-byte character), or npos. `from` must be a boundary.
std::size_t Find(std::string_view haystack, std::string_view needle, std::size_t from = 0);

inline bool Contains(std::string_view haystack, std::string_view needle) {
    return Find(haystack, needle) != std::string_view::npos;
}

// Replaces every whole-character occurrence of `placeholder` in `text`, left to right.
void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value);

}  // namespace gbk
