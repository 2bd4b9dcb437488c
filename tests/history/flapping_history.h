#pragma once

#include <filesystem>

#include "history/history_records.h"

// A history.sqlite as a fleet of flapping hosts leaves it, written straight into the tables (the store's own
// write path would take hours for a year): hourly sums for every hour of `days`, one outage a host a day,
// and for the last `flapDays` a round a minute in which every host is in fault every other round, each such
// round an outage of its own with its fault line.
struct FlappingShape {
    int hosts = 100;
    int days = 365;
    int flapDays = 14;
};

// Writes the file, which must not exist yet, with `now` as the end of the history. Throws on failure.
void WriteFlappingHistory(const std::filesystem::path& file, const FlappingShape& shape,
                          history::TimePoint now);
