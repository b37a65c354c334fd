#pragma once

#include "simulatedinstrument.h"

#include <QList>

// A bench adapter: one serial line that stays plugged in while units are put into its
// socket and taken out, as on a production bench. The line is a simulated instrument
// whose unit is swapped; each unit's writes are counted on their own.
class BenchAdapter
{
public:
    BenchAdapter();

    bool isValid() const { return m_line.isValid(); }
    QString devicePath() const { return m_line.devicePath(); }
    SimulatedInstrument &line() { return m_line; }

    // Puts a unit into the socket (taking out the one there); returns its number, from 0.
    // again: the number of a unit taken out before, put back (its writes go on counting).
    int plug(const SimulatedInstrument::Config &unit, int again = -1);
    // Takes the unit out: the socket is empty.
    void pull();
    // The unit in the socket; -1: empty.
    int current() const { return m_current; }
    int units() const { return static_cast<int>(m_writes.size()); }
    // Writes (transfers begun) the unit received while it was in the socket.
    int writes(int unit) const;
    // Transfers the unit in the socket has ended (FF FF received).
    int endsOfCurrent() const;

private:
    void close();

    SimulatedInstrument m_line;
    QList<int> m_writes;  // of each unit until it was last taken out
    int m_current = -1;
    int m_startedAtPlug = 0;
    int m_endedAtPlug = 0;
};
