#pragma once

#include <chrono>

// The two waits of a unit's life on a station, and their defaults on the command line.
namespace StationTimes {

// After its write, how long an instrument is waited for to answer again (its restart).
inline constexpr std::chrono::seconds kRestartWait{15};
// Where a unit answered the same version after its write as before it: the silence
// (or absence of its device) after which its port is armed again.
inline constexpr std::chrono::seconds kRearmAfter{5};

} // namespace StationTimes
