// LowLatencyMode: asking for the mode when made, putting the flags back when gone.

#include "lowlatencymode.h"

#include "seriallog.h"

#include <utility>

LowLatencyMode::LowLatencyMode(int fd, QString adapterPath)
    : m_fd(fd)
    , m_adapterPath(std::move(adapterPath))
    , m_outcome(UsbLatency::requestLowLatency(fd))
{
}

LowLatencyMode::~LowLatencyMode()
{
    // An adapter unplugged meanwhile cannot be asked; it starts afresh when plugged in.
    if (!UsbLatency::restore(m_fd, m_outcome))
        qCInfo(lcSerial).noquote() << QStringLiteral("%1: serial flags not restored (device gone?)")
                                          .arg(m_adapterPath);
}
