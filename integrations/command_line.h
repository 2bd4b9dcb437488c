#pragma once

#include <string>
#include <string_view>
#include <vector>

// A command line split into program and arguments.
struct SplitCommand {
    std::vector<std::string> words;
    std::string error;  // empty when the line was complete; otherwise why it is not
};

// Splits `line` into words as a POSIX shell does: blanks separate words; '...' keeps everything as it is;
// "..." keeps everything but a backslash before $ ` " \ or a line break; a backslash outside quotes keeps
// the next character. "" and '' are empty words. Nothing is expanded: $VAR, ~, globs, $(...), ; and | are
// plain text. An unterminated quote is an error.
SplitCommand SplitCommandLine(std::string_view line);
