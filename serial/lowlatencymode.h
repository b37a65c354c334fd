#pragma once

// LowLatencyMode: an adapter's low-latency mode, undone when the object goes.

#include "usblatency.h"

#include <QString>

// Low-latency mode on an open USB-serial adapter for as long as the object lives.
// The constructor asks the driver for it; the destructor puts the adapter's serial
// flags back as they were, so that a device the loader probed or used is left as it
// was found. The descriptor must stay open until the object is gone.
class LowLatencyMode
{
public:
    // adapterPath names the device in the debug output.
    LowLatencyMode(int fd, QString adapterPath);
    ~LowLatencyMode();

    LowLatencyMode(const LowLatencyMode &) = delete;
    LowLatencyMode &operator=(const LowLatencyMode &) = delete;

    const UsbLatency::Outcome &outcome() const { return m_outcome; }
    const QString &adapterPath() const { return m_adapterPath; }

private:
    int m_fd;
    QString m_adapterPath;
    UsbLatency::Outcome m_outcome;
};
