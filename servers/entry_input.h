#pragma once

#include <cstddef>
#include <string>

#include <QString>

#include "servers/server_entry.h"

// Turns a name and IP typed into the add dialog into a server entry, refusing what the entry format cannot
// carry. No widgets here, so the rules can be checked on their own.
namespace entry {

// Most GBK bytes name and IP may have together so that their built entry still fits kMaxEntryBytes.
inline constexpr std::size_t kMaxInputBytes = kMaxEntryBytes - kFixedBytes;

struct InputResult {
    std::string entry;  // GBK, ready to append; only when problem is empty
    QString problem;    // why nothing can be appended, worded for the user

    bool ok() const { return problem.isEmpty(); }
};

// Takes both texts as typed: no trimming, and empty texts are fine. Refused: a ",", "@", CR, LF or NUL in
// either (they would split or cut the line), a character GBK cannot encode, and name plus IP beyond
// kMaxInputBytes.
InputResult EntryFromInput(const QString& name, const QString& ip);

// The GBK size of a text as counted against kMaxInputBytes; a character GBK cannot encode counts as one byte
// (it is refused on its own when confirmed).
std::size_t InputBytes(const QString& text);

}  // namespace entry
