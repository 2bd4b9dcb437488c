#pragma once

#include <string>
#include <string_view>

// RFC 4180 fields for the history's two CSVs: the history window's export and `tessiv --history --csv`.
namespace history {

// One CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view utf8);

// A field of text from a host (a name, a URL, a fault line): one that a spreadsheet would take for a formula
// (it begins with =, +, -, @, a tab or a carriage return) gets a leading ', then it is quoted as CsvField
// does.
std::string CsvTextField(std::string_view utf8);

}  // namespace history
