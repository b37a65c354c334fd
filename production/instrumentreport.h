#pragma once

#include "flashwriter.h"
#include "portscan.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class FirmwareFile;
class QJsonObject;

// What zorbelflash reports about one instrument: the fields of its JSON line.
class InstrumentReport
{
public:
    enum class Outcome {
        Written,          // every block and the end marker went out (and, when asked, confirmed)
        Current,          // station mode: the unit already answers the expected version
        WrongVersion,     // written, but came back with another version than expected
        NoRestart,        // written, but did not answer again within the restart wait
        Unchanged,        // the write ended before its command went out: firmware untouched
        NoAnswer,         // the instrument stopped asking for blocks
        ConnectionLost,   // the port went away
        LineNoise,        // the line carried something other than the protocol
        Interrupted,      // SIGINT, SIGTERM or SIGHUP stopped the write
        Busy,             // the port is held by another program
        PermissionDenied, // the port may not be opened
        NotPossible,      // the writer refused the image (the file check keeps it out)
    };

    QString port;        // COM name, or the device path it was named by
    QString device;      // device path
    QString byId;        // the adapter's link in /dev/serial/by-id; empty: it has none
    QString firmwareBefore; // "1.23" as the instrument reported it; empty: not known
    // "1.24" as it answered after the write; empty: it never answered. Only recorded
    // when the instrument was asked after its write (afterAsked).
    QString firmwareAfter;
    bool afterAsked = false;
    QString file;        // absolute path of the HEX file
    QByteArray sha256;   // hex, of the block data sent
    int blocks = 0;      // blocks sent
    double seconds = 0;  // from the write command to the end of the write
    Outcome outcome = Outcome::NotPossible;
    QDateTime time;      // when the outcome was known (UTC)

    // One line of JSON (with its line feed); the fields in the order of their names.
    // host and tool_version are the station's own.
    QByteArray toJsonLine() const;
    // The same fields as an object.
    QJsonObject toJson() const;
    // Sets time to now.
    void stamp();

    // The record of a port whose instrument was not written: nothing sent.
    static InstrumentReport unwritten(const PortScan::PortResult &result, Outcome outcome,
                                      const FirmwareFile &firmware, const QString &byId);

    // "written", "no-answer", ...
    static QString outcomeName(Outcome outcome);
    static Outcome outcomeOf(FlashWriter::Outcome outcome);
};
