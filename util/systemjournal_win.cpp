// SystemJournal where there is no journald (Windows, and Unix systems other than
// Linux): never reachable.

#include "systemjournal.h"

bool SystemJournal::isReachable()
{
    return false;
}

bool SystemJournal::send(const QList<QByteArray> & /*fields*/)
{
    return false;
}
