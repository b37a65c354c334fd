// Which status a run ends with when its instruments ended differently.

#include "exitstatus.h"

#include "stationmode.h"

#include <algorithm>

ExitStatus combinedStatus(const QList<ExitStatus> &statuses, bool recordLost)
{
    const auto failure = std::find_if(statuses.cbegin(), statuses.cend(), [](ExitStatus status) {
        return status != ExitStatus::Success && status != ExitStatus::NotConfirmed;
    });
    if (failure != statuses.cend())
        return *failure;
    if (statuses.contains(ExitStatus::NotConfirmed))
        return ExitStatus::NotConfirmed;
    return recordLost ? ExitStatus::RecordLost : ExitStatus::Success;
}

ExitStatus exitStatusFor(InstrumentReport::Outcome outcome)
{
    switch (outcome) {
    case InstrumentReport::Outcome::Written:
    case InstrumentReport::Outcome::Current:
        return ExitStatus::Success;
    case InstrumentReport::Outcome::WrongVersion:
    case InstrumentReport::Outcome::NoRestart:
        return ExitStatus::NotConfirmed;
    case InstrumentReport::Outcome::NoAnswer:
        return ExitStatus::NoAnswer;
    case InstrumentReport::Outcome::Unchanged: // the port failed before anything went out
    case InstrumentReport::Outcome::ConnectionLost:
    case InstrumentReport::Outcome::LineNoise:
        return ExitStatus::ConnectionLost;
    case InstrumentReport::Outcome::Interrupted:
        return ExitStatus::Interrupted;
    case InstrumentReport::Outcome::Busy:
    case InstrumentReport::Outcome::PermissionDenied:
        return ExitStatus::PortUnavailable;
    case InstrumentReport::Outcome::NotPossible:
        break;
    }
    return ExitStatus::FileNotSuitable;
}

ExitStatus stationStatus(const StationMode &station)
{
    QList<ExitStatus> statuses;
    for (const InstrumentReport::Outcome outcome : station.outcomes())
        statuses.append(exitStatusFor(outcome));
    if (statuses.isEmpty() && station.currentCount() == 0 && !station.refusedPorts().isEmpty())
        return ExitStatus::PortUnavailable;
    return combinedStatus(statuses, false);
}
