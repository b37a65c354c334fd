#pragma once

#include "portscan.h"

// One port as station mode sees it, from round to round.
//
// The station knows the version every unit is to have (V). A unit that answers V is
// done; a unit that answers any other version is written, whenever it appears and
// whatever happened on the port before (a failed write, a unit pulled early, a busy
// spell). Nothing else tells one unit from the next: not the device behind the port,
// not the version a unit had before.
//
// One bound against loops: at most kWritesWithoutV writes in a row on a port without
// a V answer between them. A unit that then still answers another version is named
// for a check and written again only once the port was empty or answered V.
//
// Each unit seen and not written is named once per appearance: an appearance ends
// when the port is seen empty (no device, no answer, another device). After a write
// whose unit never answered, silence may be the unit still restarting: it does not
// end the appearance until something answers.
class WatchedPort
{
public:
    static constexpr int kWritesWithoutV = 2;

    enum class State {
        Empty,    // no unit seen since the port was last empty (or ever)
        Writing,  // a write runs on the port; it is not asked
        Done,     // the unit answers V (plugged in that way, or confirmed after its write)
        Written,  // a write ended without a V answer; the next other version is written
        Check,    // written kWritesWithoutV times and still not at V: waits for a person
    };

    // What the station is to do with an answer.
    enum class Verdict {
        Nothing,  // as before: nothing to do or say
        Write,    // write the unit now; the port is Writing from then on
        Current,  // name the unit as current (once per appearance)
        NeedsCheck, // name the port for a check (once per appearance)
    };

    explicit WatchedPort(int expectedVersion) : m_expected(expectedVersion) {}

    State state() const { return m_state; }
    // Writes begun since the last V answer or empty port.
    int writesWithoutV() const { return m_writesWithoutV; }

    // Takes what a round saw. version: the firmware version answered (state Found).
    Verdict takeAnswer(PortScan::PortState answer, int version);
    // The write is over, however it ended. versionAfter: what the port answered after
    // it (-1: nothing, or not asked); restarting: the write went through and its unit
    // was waited for, so silence from now on may be its restart.
    void endWrite(int versionAfter, bool restarting);

private:
    void becomeEmpty();

    int m_expected;
    State m_state = State::Empty;
    int m_writesWithoutV = 0;
    bool m_mayBeRestarting = false; // the last write's unit never answered after it
};
