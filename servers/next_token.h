#pragma once

#include <string>
#include <string_view>

enum class Trim { No, Yes };
enum class Match { AnyOf, Whole };

// Cuts the text before the first delimiter off `source` and returns it; the delimiter is dropped and
// `source` keeps what follows. With no delimiter in `source`, returns all of it and leaves it empty.
// Match::AnyOf cuts at the first byte that occurs anywhere in `delimiter`; Match::Whole at the first
// occurrence of `delimiter` as a whole. Trim::Yes strips white space from both ends of the result only.
std::string NextToken(std::string& source, std::string_view delimiter, Trim trim = Trim::No,
                      Match match = Match::AnyOf);
