#pragma once

// DeviceLock: an exclusive lock on a serial device for as long as the object lives.

#include <QString>

// An exclusive advisory lock on a serial device, held for as long as the object lives.
//
// On Unix the device is opened a second time (non-blocking, never as controlling
// terminal) and locked with flock(); another program or another Modem that holds the
// lock makes acquire() report Busy. This covers what the lock files and TIOCEXCL of the
// serial library miss: a second open by root, or the same device reached through two
// different paths (a symlink). On Windows the exclusive open of the device itself does
// the job and the lock is a no-op. The platform's part: SerialPlatform::lockDevice.
class DeviceLock
{
public:
    enum class Result {
        Locked,           // the lock is held
        NoSuchDevice,     // the path does not name a device
        PermissionDenied, // the device exists but may not be opened for read and write
        Busy,             // another program or Modem holds the device
        Failed            // any other error; see errorString()
    };

    DeviceLock() = default;
    ~DeviceLock();
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

    Result acquire(const QString &devicePath);
    void release();
    bool isHeld() const;
    QString errorString() const { return m_errorString; }

private:
    int m_fd = -1; // the platform's handle of the lock; -1 when none is held
    bool m_held = false;
    QString m_errorString;
};
