// SystemJournal where the system keeps no journal of that kind: never reachable.

#include "systemjournal.h"

bool SystemJournal::isReachable()
{
    return false;
}

bool SystemJournal::send(const QList<QByteArray> & /*fields*/)
{
    return false;
}
