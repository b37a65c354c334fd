// A bench adapter: one line, units swapped in its socket.

#include "benchadapter.h"

namespace {

SimulatedInstrument::Config emptySocket()
{
    SimulatedInstrument::Config config;
    config.plugged = false;
    return config;
}

} // namespace

BenchAdapter::BenchAdapter()
    : m_line(emptySocket())
{
}

int BenchAdapter::plug(const SimulatedInstrument::Config &unit, int again)
{
    close();
    m_startedAtPlug = m_line.transfersStarted();
    m_endedAtPlug = m_line.transfersEnded();
    m_line.swapUnit(unit);
    if (again >= 0 && again < m_writes.size()) {
        m_current = again;
        return m_current;
    }
    m_current = static_cast<int>(m_writes.size());
    m_writes.append(0);
    return m_current;
}

void BenchAdapter::pull()
{
    close();
    m_line.swapUnit(emptySocket());
}

int BenchAdapter::writes(int unit) const
{
    if (unit < 0 || unit >= m_writes.size())
        return 0;
    return m_writes.at(unit) + (unit == m_current ? m_line.transfersStarted() - m_startedAtPlug : 0);
}

int BenchAdapter::endsOfCurrent() const
{
    return m_current < 0 ? 0 : m_line.transfersEnded() - m_endedAtPlug;
}

void BenchAdapter::close()
{
    if (m_current < 0)
        return;
    m_writes[m_current] = writes(m_current);
    m_current = -1;
}
