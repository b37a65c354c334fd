#pragma once

// SerialPlatform: every call the serial layer makes to the operating system, behind
// one interface. serialplatform_posix.cpp holds the Unix side (Linux's driver settings
// among it), serialplatform_win.cpp the Windows side; CMake builds the one that fits.

#include "devicelock.h"
#include "usblatency.h"

#include <QString>
#include <QStringList>

#include <memory>

class LowLatencyMode;
class QSerialPort;

namespace SerialPlatform {

// A device lock taken, or why not.
struct LockAttempt
{
    DeviceLock::Result result = DeviceLock::Result::Failed;
    int handle = -1; // what releaseDevice() lets go of; -1 when there is nothing to let go
    QString error;   // the system's words for a failure
};

// Locks the device at devicePath for this process alone, never waiting for it.
LockAttempt lockDevice(const QString &devicePath);
// Lets go of a lock that lockDevice() returned.
void unlockDevice(int handle);

// Asks the driver behind an open terminal descriptor for low-latency mode (Linux only).
UsbLatency::Outcome requestLowLatency(int fd);
// Puts back the serial flags an Enabled request found; false when the driver refused
// or the descriptor is gone.
bool restoreSerialFlags(int fd, const UsbLatency::Outcome &request);

// Low-latency mode for the open port when the device is a USB-serial adapter that has
// it, for as long as the object lives; null for other devices and where there is none.
std::unique_ptr<LowLatencyMode> lowLatencyFor(const QSerialPort &port, const QString &devicePath);

// The name the serial library is given for a device path (a relative one starts in the
// working folder).
QString portNameFor(const QString &devicePath);

// Whether the serial library's lock file for a device would need a longer name than a
// folder allows: on Unix it is named LCK.. and the path as the library is given it
// (without /dev/, each '/' made '_'), so a path of more than about 250 bytes has none,
// and the library refuses the open as it refuses a locked device. False on Windows,
// which has no lock files.
bool lockFileNameTooLong(const QString &devicePath);

// The device a path leads to now, named so that another device under the same path
// reads differently (the node and its device number); empty when nothing is there.
QString deviceNode(const QString &devicePath);

// Whether the device behind an open port is still there (no hang-up, no error), asked
// without waiting. False where it cannot be told.
bool deviceStillThere(const QSerialPort &port);

// The folders to watch for the devices at devicePaths to appear and go: their own
// folders, byIdFolder (the adapters' stable names) when it is there, and on Linux /dev,
// where an adapter's first port appears; each once. Empty where the system is not asked
// to tell of such changes (Windows).
QStringList deviceFolders(const QStringList &devicePaths, const QString &byIdFolder);

// Whether the driver takes output bytes now, asked without waiting. True where it
// cannot be told: the serial library then decides.
bool takesOutputNow(const QSerialPort &port);

} // namespace SerialPlatform
