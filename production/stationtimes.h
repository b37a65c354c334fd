#pragma once

#include <chrono>

// The wait of a unit's life on a station, and its default on the command line.
namespace StationTimes {

// After its write, how long an instrument is waited for to answer again (its restart).
inline constexpr std::chrono::seconds kRestartWait{15};

} // namespace StationTimes
