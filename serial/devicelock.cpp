// DeviceLock: the lock's lifetime and its words; taking it is the platform's part
// (SerialPlatform::lockDevice).

#include "devicelock.h"

#include "serialplatform.h"

DeviceLock::~DeviceLock()
{
    release();
}

DeviceLock::Result DeviceLock::acquire(const QString &devicePath)
{
    release();
    const SerialPlatform::LockAttempt attempt = SerialPlatform::lockDevice(devicePath);
    m_errorString = attempt.error;
    if (attempt.result != Result::Locked)
        return attempt.result;
    m_fd = attempt.handle;
    m_held = true;
    return Result::Locked;
}

void DeviceLock::release()
{
    if (m_fd >= 0) {
        SerialPlatform::unlockDevice(m_fd);
        m_fd = -1;
    }
    m_held = false;
}

bool DeviceLock::isHeld() const
{
    return m_held;
}

