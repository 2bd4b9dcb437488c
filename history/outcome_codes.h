#pragma once

#include <cstdint>
#include <string_view>

#include "history/history_records.h"
#include "ports/fault_category.h"

// How an outcome is stored: the code grows with how bad the state is, so that max() over codes is the worst
// state of a stretch (any fault beats a broken-off query, which beats normal, which beats no round at all).
namespace history {

std::int64_t OutcomeCode(Outcome outcome);
Outcome OutcomeFromCode(std::int64_t code);

Outcome OutcomeOf(FaultCategory category);

// "normal", "connection", "server", "disk", "dblog", "security", "unclassified", "broke-off", "no-data".
std::string_view OutcomeName(Outcome outcome);
// 正常, 连接异常, ...: the words every reader that shows a person the state uses, UTF-8.
std::string_view OutcomeWords(Outcome outcome);

inline constexpr std::int64_t kNormalCode = 1;

}  // namespace history
