#pragma once

#include "portscan.h"

// One port as station mode sees it, from round to round: ready for the next instrument,
// writing one, or holding on to the connection it has written. An instrument that stays
// connected is written once; its port is armed again only once the device has gone
// away or has stayed silent for kSilentRoundsToRearm rounds in a row (unplugged,
// switched off).
class WatchedPort
{
public:
    enum class State {
        Armed,   // the next instrument that answers here is written
        Writing, // a write runs on the port; it is not asked
        Holding, // written (or tried) on this connection; waits for it to end
    };

    static constexpr int kSilentRoundsToRearm = 2;

    State state() const { return m_state; }

    // Takes what the port answered in a round. True when an instrument answered on an
    // armed port: it is to be written now, and the port is Writing from here on.
    bool takeAnswer(PortScan::PortState answer);
    // The write on the port is over, however it ended: the port holds its connection.
    void endWrite();

private:
    State m_state = State::Armed;
    int m_silentRounds = 0; // Holding: rounds in a row without an answer
};
