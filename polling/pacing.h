#pragma once

#include <chrono>

// Every delay of the monitor in one place. The program runs with the defaults; tests shrink them so a
// whole round takes milliseconds.
struct Pacing {
    std::chrono::milliseconds startDelay{3000};  // monitor started -> monitoring starts by itself
    std::chrono::milliseconds firstRound{1000};  // monitoring started -> first round
    std::chrono::milliseconds entryPause{2000};  // after each analysed entry, and before arming the timer
    std::chrono::milliseconds nextRound{60000};  // end of a round -> next round

    static Pacing Immediate() { return {std::chrono::milliseconds{0}, {}, {}, {}}; }
};
