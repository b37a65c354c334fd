#pragma once

#include "modem.h"
#include "portmap.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

// Waiting for what a port receives, which only the tests do: the Modem's own reads never
// wait. Reads from the port, with the calling thread's events running, until `count`
// bytes have come or msecs have passed, and returns what came (taken from the port).
inline QByteArray readWithin(Modem &modem, int count, int msecs)
{
    constexpr int kPollSliceMs = 1;
    QByteArray received(count, '\0');
    int got = 0;
    const QDeadlineTimer deadline(msecs);
    for (;;) {
        got += modem.readTty(received.data() + got, count - got);
        if (got >= count || deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollSliceMs);
        QThread::msleep(kPollSliceMs);
    }
    received.truncate(got);
    return received;
}

// A Modem with a COM name map of its own, taken when it is made (ZORBEL_PORTS as it is
// then) and again on refreshPortMap(), as the window keeps one for its Modem.
class MappedModem : public Modem
{
public:
    MappedModem()
    {
        m_map.refresh();
        setPortMap(&m_map);
    }
    void refreshPortMap() { m_map.refresh(); }

private:
    PortMap m_map;
};
