// The rule by which station mode tells a unit it has written from the next one.

#include "watchedport.h"

namespace {

constexpr int kDoubtfulWritesToStop = 2; // then silence alone no longer arms the port

bool isSilence(PortScan::PortState state)
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

bool WatchedPort::isAmbiguous() const
{
    return m_heldElsewhere || m_versionAfter < 0 || m_versionAfter == m_versionBefore;
}

bool WatchedPort::takeAnswer(const Observation &seen, Clock::time_point now)
{
    switch (m_state) {
    case State::Writing:
        return false; // the write holds the port; a round does not ask it
    case State::Armed:
        if (seen.state == PortScan::PortState::Busy) {
            // Another program has the port: whatever it did to the unit behind it, that
            // unit is not taken for a new one when the port comes free.
            m_state = State::Holding;
            m_heldElsewhere = true;
            m_deviceId.clear();
            m_versionBefore = -1;
            m_versionAfter = -1;
            m_doubtfulWrites = 0;
            m_silent = false;
            return false;
        }
        if (seen.state != PortScan::PortState::Found)
            return false;
        break;
    case State::Holding:
        if (seen.state == PortScan::PortState::Found) {
            m_silent = false;
            const bool otherDevice = !m_deviceId.isEmpty() && !seen.deviceId.isEmpty() && seen.deviceId != m_deviceId;
            if (m_deviceId.isEmpty())
                m_deviceId = seen.deviceId;
            if (!otherDevice && m_versionAfter < 0) {
                m_versionAfter = seen.version; // its first answer since the write
                return false;
            }
            if (!otherDevice && seen.version == m_versionAfter)
                return false; // the same unit
            break; // another unit
        }
        if (isSilence(seen.state))
            noteSilence(now);
        return false;
    }
    if (seen.deviceId != m_deviceId)
        m_doubtfulWrites = 0;
    m_state = State::Writing;
    m_heldElsewhere = false;
    m_deviceId = seen.deviceId;
    m_versionBefore = seen.version;
    m_versionAfter = -1;
    m_silent = false;
    return true;
}

bool WatchedPort::endWrite(int versionAfter, Clock::time_point now)
{
    if (m_state != State::Writing)
        return false;
    m_state = State::Holding;
    m_versionAfter = versionAfter;
    m_silent = false;
    if (!isAmbiguous()) {
        m_doubtfulWrites = 0;
        return false;
    }
    // Silence from here on counts: the restart, if any, was waited for by the write.
    if (versionAfter < 0)
        noteSilence(now);
    return ++m_doubtfulWrites == kDoubtfulWritesToStop;
}

void WatchedPort::holdCurrent(const Observation &seen)
{
    m_state = State::Holding;
    m_heldElsewhere = false;
    m_deviceId = seen.deviceId;
    m_versionBefore = -1; // a known version: not in doubt
    m_versionAfter = seen.version;
    m_doubtfulWrites = 0;
    m_silent = false;
}

void WatchedPort::noteSilence(Clock::time_point now)
{
    if (!m_silent) {
        m_silent = true;
        m_silentSince = now;
    }
    if (isAmbiguous() && m_doubtfulWrites < kDoubtfulWritesToStop && now - m_silentSince >= m_rearmAfter)
        m_state = State::Armed;
}
