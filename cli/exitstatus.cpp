// Which status a run ends with when its instruments ended differently.

#include "exitstatus.h"

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
