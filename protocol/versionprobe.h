#pragma once

#include "versionreply.h"

class Modem;

// One discovery exchange on a port that is already open: the version query goes out,
// and kReplyWaitMs later the reply (at most two bytes) is read and judged. The caller
// does the waiting, so any number of ports can be asked at once; nothing here waits
// on the port.
class VersionProbe
{
public:
    // Drops whatever is waiting in the input, then queues the version query: what the
    // driver takes now goes out at once, the rest follows as the line allows. False
    // when the port is not usable.
    static bool sendQuery(Modem &modem);
    // Sends the query again, keeping what came meanwhile: a slow answer to an earlier
    // query still counts.
    static bool repeatQuery(Modem &modem);
    // True once the driver has taken the whole query. A port that has not (its output
    // stopped or blocked) was never asked, and counts as not answering.
    static bool queryTaken(const Modem &modem);
    // Reads what has arrived of the reply, at most two bytes, and judges it. Anything
    // after the two bytes stays queued (dropInput() takes it away). A port that has not
    // taken the query is not read: its reply is empty.
    static VersionReply readReply(Modem &modem);
    // Reads and drops everything waiting in the input, e.g. before a transfer.
    static void dropInput(Modem &modem);
};
