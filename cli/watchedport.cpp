#include "watchedport.h"

bool WatchedPort::takeAnswer(PortScan::PortState answer)
{
    switch (m_state) {
    case State::Writing:
        return false; // the write holds the port; a round does not ask it
    case State::Armed:
        if (answer != PortScan::PortState::Found)
            return false;
        m_state = State::Writing;
        return true;
    case State::Holding:
        break;
    }
    switch (answer) {
    case PortScan::PortState::Found:
        m_silentRounds = 0; // still connected
        break;
    case PortScan::PortState::NoSuchDevice:
        m_state = State::Armed; // unplugged
        break;
    case PortScan::PortState::NoAnswer:
    case PortScan::PortState::OtherReply:
    case PortScan::PortState::OpenFailed:
        if (++m_silentRounds >= kSilentRoundsToRearm)
            m_state = State::Armed; // switched off, or no longer the instrument
        break;
    case PortScan::PortState::NotProbed:
    case PortScan::PortState::Busy:
    case PortScan::PortState::PermissionDenied:
        // Not asked: says nothing about the instrument behind the port.
        break;
    }
    return false;
}

void WatchedPort::endWrite()
{
    if (m_state != State::Writing)
        return;
    m_state = State::Holding;
    m_silentRounds = 0;
}
