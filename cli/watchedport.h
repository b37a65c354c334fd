#pragma once

#include "portscan.h"
#include "stationtimes.h"

#include <QString>

#include <chrono>

// One port as station mode sees it, from round to round: ready for the next unit,
// writing one, or holding on to the unit it has written.
//
// A unit is told by what the station can see of it: the device behind the port (a
// USB adapter's own name, or the device node) and the version it answers. After a
// write the port holds that unit: answers with the version it gave after its write
// never arm the port again, whatever silence or device loss came in between (a
// restart, a USB re-enumeration). Another device behind the port, or another version,
// is another unit and arms it at once.
//
// Where the unit answered the same version after its write as before it (or never
// answered), a restart cannot be told from a swap. The port is then armed again once
// it has been silent or without its device for rearmAfter without a break; and after
// two such writes in a row on the same device, only another version or another device
// arms it, so that no unit is written more than twice.
//
// A port found busy (another program, another station, holds it) is held the same
// way for whatever unit is behind it when it comes free: that program may have
// written it.
class WatchedPort
{
public:
    enum class State {
        Armed,   // the next unit that answers here is written
        Writing, // a write runs on the port; it is not asked
        Holding, // holds the unit written here (or held elsewhere); waits for another
    };

    using Clock = std::chrono::steady_clock;

    // What one round saw on the port.
    struct Observation
    {
        PortScan::PortState state = PortScan::PortState::NotProbed;
        int version = -1;   // the firmware version answered (Found), e.g. 123
        QString deviceId;   // who is behind the port now; empty: not known
    };

    explicit WatchedPort(std::chrono::milliseconds rearmAfter = StationTimes::kRearmAfter)
        : m_rearmAfter(rearmAfter)
    {
    }

    State state() const { return m_state; }
    // The version the held unit answered after its write; -1 when not known.
    int heldVersion() const { return m_versionAfter; }
    // The held unit answers the version it had before its write (or never answered):
    // a swap is told from a restart only by silence.
    bool isAmbiguous() const;

    // Takes what a round saw. True when a unit is to be written now; the port is
    // Writing from then on.
    bool takeAnswer(const Observation &seen, Clock::time_point now);
    // The write is over, however it ended. versionAfter: what the unit answered after
    // it (-1: nothing). True when this was the second write in a row that left the
    // station in doubt: from now on silence alone does not arm the port.
    bool endWrite(int versionAfter, Clock::time_point now);
    // The unit answering here already has the firmware to be written: held, not written.
    void holdCurrent(const Observation &seen);

private:
    void noteSilence(Clock::time_point now);

    std::chrono::milliseconds m_rearmAfter;
    State m_state = State::Armed;
    QString m_deviceId;       // the held unit's device
    int m_versionBefore = -1; // the held unit's version before its write
    int m_versionAfter = -1;  // and after it; -1: not answered yet
    bool m_heldElsewhere = false; // held since the port was found busy
    int m_doubtfulWrites = 0; // writes in a row on this device that left the station in doubt
    bool m_silent = false;    // Holding: silent or without device since m_silentSince
    Clock::time_point m_silentSince;
};
