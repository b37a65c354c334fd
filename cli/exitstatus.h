#pragma once

#include "instrumentreport.h"

#include <QList>

// What zorbelflash tells its caller by its exit status.
enum class ExitStatus {
    Success = 0,         // every instrument written; check: file suitable; list: always
    UsageError = 1,      // bad command line, or the --log file cannot be opened
    FileNotSuitable = 2, // the HEX file is not suitable or cannot be read
    NoInstrument = 3,    // no instrument answered
    NoAnswer = 4,        // a write was aborted: the instrument stopped answering
    ConnectionLost = 5,  // a write was aborted: connection lost or line noise
    PortUnavailable = 6, // a port is busy or may not be opened (--port, --all, or no instrument found)
    RecordLost = 7,      // every instrument written, but a record could not be kept
    NotConfirmed = 8,    // written, but the instrument did not come back with the expected version
    Interrupted = 130,   // SIGINT, SIGTERM or SIGHUP ended the run (128 + SIGINT, as shells report it)
};

// The status of a whole run from its outcomes in COM order (or the order the writes
// ended): the first failure decides; otherwise a write not confirmed (8); otherwise a
// record that could not be kept (7); otherwise success.
ExitStatus combinedStatus(const QList<ExitStatus> &statuses, bool recordLost);

class StationMode;

// A station's status: its writes decide as for --all, in the order they ended; with
// nothing written or current, a port refused at its last look (6).
ExitStatus stationStatus(const StationMode &station);

// The one mapping from what happened to an instrument to the status it calls for.
ExitStatus exitStatusFor(InstrumentReport::Outcome outcome);

inline int exitCode(ExitStatus status)
{
    return static_cast<int>(status);
}
