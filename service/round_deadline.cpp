#include "service/round_deadline.h"

#include <algorithm>

std::chrono::milliseconds LongestRoundGap(std::size_t entries, const MonitorSettings& settings) {
    using std::chrono::milliseconds;
    const Pacing& pacing = settings.pacing;
    // A cancelled or timed-out transfer takes up to a second more to end.
    const milliseconds perEntry =
        std::max(settings.queryLimits.totalTimeout, settings.queryLimits.connectTimeout) +
        milliseconds(1000) + pacing.entryPause;
    const milliseconds round = perEntry * static_cast<long>(entries) + pacing.entryPause;
    const milliseconds longest = std::max({round, pacing.nextRound, pacing.startDelay + pacing.firstRound});
    return longest + longest / 2 + std::chrono::minutes(1);
}
