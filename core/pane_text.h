#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kPaneCapBytes = 5000;

// Puts `text` + CR LF in front of a pane text, then cuts the pane to its first 5000 bytes. The cut drops the
// oldest bytes and may split an entry, its CR LF or a two-byte character.
void PrependPaneText(std::string& pane, std::string_view text);
