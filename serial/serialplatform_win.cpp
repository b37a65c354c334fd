// SerialPlatform on Windows: the exclusive open of the port itself keeps every other
// program out, so the device lock holds nothing; there is no low-latency setting to
// ask for, and the port's state is left to the serial library.

#include "serialplatform.h"

#include "lowlatencymode.h"

#include <QSerialPort>

namespace SerialPlatform {

LockAttempt lockDevice(const QString & /*devicePath*/)
{
    LockAttempt attempt;
    attempt.result = DeviceLock::Result::Locked;
    return attempt;
}

void unlockDevice(int /*handle*/) {}

UsbLatency::Outcome requestLowLatency(int /*fd*/)
{
    return {};
}

bool restoreSerialFlags(int /*fd*/, const UsbLatency::Outcome & /*request*/)
{
    return false;
}

std::unique_ptr<LowLatencyMode> lowLatencyFor(const QSerialPort & /*port*/, const QString & /*devicePath*/)
{
    return {};
}

QString portNameFor(const QString &devicePath)
{
    return devicePath;
}

bool lockFileNameTooLong(const QString & /*devicePath*/)
{
    return false;
}

QString deviceNode(const QString &devicePath)
{
    return devicePath; // a COM name stands for its device
}

bool deviceStillThere(const QSerialPort & /*port*/)
{
    return false;
}

QStringList deviceFolders(const QStringList & /*devicePaths*/, const QString & /*byIdFolder*/)
{
    return {};
}

bool takesOutputNow(const QSerialPort & /*port*/)
{
    return true;
}

} // namespace SerialPlatform
