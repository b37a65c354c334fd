#pragma once

#include "versionreply.h"

class Modem;

// One discovery exchange on a port that is already open: the version query goes out,
// and kReplyWaitMs later the reply (at most two bytes) is read and judged. The caller
// does the waiting, so any number of ports can be asked at once.
class VersionProbe
{
public:
    // Drops whatever is waiting in the input, then sends the version query. False when
    // the query could not be handed to the driver.
    static bool sendQuery(Modem &modem);
    // Reads what has arrived of the reply, at most two bytes, and judges it. Anything
    // after the two bytes stays queued (dropInput() takes it away).
    static VersionReply readReply(Modem &modem);
    // Reads and drops everything waiting in the input, e.g. before a transfer.
    static void dropInput(Modem &modem);
};
