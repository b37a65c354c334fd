// The rule by which station mode decides, port by port, which unit to write.

#include "watchedport.h"

namespace {

// The port holds no unit of ours: nothing there, nothing answers, or another device.
bool isEmpty(PortScan::PortState state)
{
    switch (state) {
    case PortScan::PortState::NoSuchDevice:
    case PortScan::PortState::NoAnswer:
    case PortScan::PortState::OtherReply:
    case PortScan::PortState::OpenFailed:
        return true;
    case PortScan::PortState::NotProbed:
    case PortScan::PortState::Busy:
    case PortScan::PortState::PermissionDenied:
    case PortScan::PortState::Found:
        break;
    }
    return false;
}

} // namespace

WatchedPort::Verdict WatchedPort::takeAnswer(PortScan::PortState answer, int version)
{
    if (m_state == State::Writing)
        return Verdict::Nothing; // the write holds the port; a round does not ask it
    if (isEmpty(answer)) {
        // Silence right after a write whose unit never answered may be its restart.
        if (!(m_mayBeRestarting && m_state == State::Written))
            becomeEmpty();
        return Verdict::Nothing;
    }
    if (answer != PortScan::PortState::Found)
        return Verdict::Nothing; // busy or refused: asked again next round
    m_mayBeRestarting = false;
    if (version == m_expected) {
        m_writesWithoutV = 0;
        if (m_state == State::Done)
            return Verdict::Nothing;
        m_state = State::Done;
        return Verdict::Current;
    }
    if (m_state == State::Check)
        return Verdict::Nothing;
    if (m_writesWithoutV >= kWritesWithoutV) {
        m_state = State::Check;
        return Verdict::NeedsCheck;
    }
    ++m_writesWithoutV;
    m_state = State::Writing;
    return Verdict::Write;
}

void WatchedPort::endWrite(int versionAfter, bool restarting)
{
    if (m_state != State::Writing)
        return;
    if (versionAfter >= 0 && versionAfter == m_expected) {
        m_state = State::Done;
        m_writesWithoutV = 0;
        m_mayBeRestarting = false;
        return;
    }
    m_state = State::Written;
    m_mayBeRestarting = restarting && versionAfter < 0;
}

void WatchedPort::becomeEmpty()
{
    m_state = State::Empty;
    m_writesWithoutV = 0;
    m_mayBeRestarting = false;
}
