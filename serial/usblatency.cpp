// UsbLatency: which devices are USB-serial adapters, and the outcome of a request in
// words; the driver is asked by the platform's part (SerialPlatform).

#include "usblatency.h"

#include "serialplatform.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>

bool UsbLatency::isAdapterPath(const QString &canonicalPath)
{
    static const QRegularExpression pattern(QStringLiteral("^/dev/tty(USB|ACM)[0-9]+$"));
    return pattern.match(canonicalPath).hasMatch();
}

QString UsbLatency::adapterDevice(const QString &devicePath)
{
    const QString resolved = QFileInfo(devicePath).canonicalFilePath();
    return isAdapterPath(resolved) ? resolved : QString();
}

UsbLatency::Outcome UsbLatency::requestLowLatency(int fd)
{
    return SerialPlatform::requestLowLatency(fd);
}

bool UsbLatency::restore(int fd, const Outcome &request)
{
    if (request.state != State::Enabled)
        return true;
    return SerialPlatform::restoreSerialFlags(fd, request);
}

QString UsbLatency::describe(const Outcome &outcome)
{
    switch (outcome.state) {
    case State::Enabled:
        return QStringLiteral("on");
    case State::AlreadyOn:
        return QStringLiteral("on (already)");
    case State::Unsupported:
        return QStringLiteral("not supported by the driver; carrying on without");
    case State::Failed:
        break;
    }
    return QStringLiteral("refused (%1); carrying on without")
        .arg(QString::fromLocal8Bit(std::strerror(outcome.systemError)));
}
