#include "usblatency.h"

#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

UsbLatency::Outcome outcomeOf(UsbLatency::State state, int systemError = 0)
{
    UsbLatency::Outcome outcome;
    outcome.state = state;
    outcome.systemError = systemError;
    return outcome;
}

#ifdef Q_OS_LINUX
// A descriptor that is not a terminal, or a driver without the serial settings.
bool meansUnsupported(int error)
{
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP;
}

UsbLatency::Outcome failure(int error)
{
    return outcomeOf(meansUnsupported(error) ? UsbLatency::State::Unsupported : UsbLatency::State::Failed,
                     error);
}
#endif

} // namespace

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
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return failure(errno);
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0)
        return outcomeOf(State::AlreadyOn);
    const int previousFlags = settings.flags;
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return failure(errno);
    UsbLatency::Outcome outcome = outcomeOf(State::Enabled);
    outcome.previousFlags = previousFlags;
    return outcome;
#else
    Q_UNUSED(fd)
    return outcomeOf(State::Unsupported);
#endif
}

bool UsbLatency::restore(int fd, const Outcome &request)
{
    if (request.state != State::Enabled)
        return true;
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return false;
    settings.flags = request.previousFlags;
    return ::ioctl(fd, TIOCSSERIAL, &settings) == 0;
#else
    Q_UNUSED(fd)
    return false;
#endif
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
#ifdef Q_OS_LINUX
    return QStringLiteral("refused (%1); carrying on without")
        .arg(QString::fromLocal8Bit(std::strerror(outcome.systemError)));
#else
    return QStringLiteral("refused; carrying on without");
#endif
}
