#include "text/data_text.h"

#include <algorithm>

namespace {

bool IsControl(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

}  // namespace

bool HasNoControls(std::string_view bytes) {
    return std::ranges::none_of(bytes, IsControl);
}

std::string EscapeControls(std::string_view bytes) {
    if (HasNoControls(bytes)) return std::string(bytes);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + 16);
    for (char c : bytes) {
        if (!IsControl(c)) {
            out += c;
            continue;
        }
        auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}
