#pragma once

#include <string>
#include <string_view>

// Text that came from a host or a file, made fit for any output: every C0 control byte and DEL becomes the
// four visible bytes `\xNN` (lower-case hex), so it can never start a line, move a terminal's cursor or end a
// record. All other bytes, GBK's two-byte characters included, are kept; GBK never uses these bytes inside a
// character, so the result is still whole GBK.
std::string EscapeControls(std::string_view bytes);

// True when `bytes` holds nothing EscapeControls would change.
bool HasNoControls(std::string_view bytes);
