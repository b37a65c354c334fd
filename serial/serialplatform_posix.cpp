// SerialPlatform on Unix: the device lock with flock(), Linux's low-latency setting of
// USB-serial adapters, and the port's state asked with poll().

#include "serialplatform.h"

#include "lowlatencymode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// poll() answers at once.
constexpr int kPollNowMs = 0;
// The serial library's lock file is named this, followed by the device's path.
constexpr std::string_view kLockFilePrefix = "LCK..";
// Left out of the lock file's name.
constexpr std::string_view kDeviceFolder = "/dev/";

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

DeviceLock::Result lockResultOfOpen(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return DeviceLock::Result::NoSuchDevice;
    case EACCES:
    case EPERM:
        return DeviceLock::Result::PermissionDenied;
    case EBUSY:
        return DeviceLock::Result::Busy;
    default:
        return DeviceLock::Result::Failed;
    }
}

#ifdef Q_OS_LINUX
UsbLatency::Outcome outcomeOf(UsbLatency::State state, int systemError = 0)
{
    UsbLatency::Outcome outcome;
    outcome.state = state;
    outcome.systemError = systemError;
    return outcome;
}

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

namespace SerialPlatform {

// The device is opened a second time (non-blocking, never as controlling terminal) and
// locked with flock(): this covers what the lock files and TIOCEXCL of the serial
// library miss (a second open by root, the same device reached through a symlink).
LockAttempt lockDevice(const QString &devicePath)
{
    LockAttempt attempt;
    if (devicePath.isEmpty()) {
        attempt.result = DeviceLock::Result::NoSuchDevice;
        return attempt;
    }
    const QByteArray path = QFile::encodeName(devicePath);
    int fd = -1;
    do {
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        attempt.error = systemText(error);
        attempt.result = lockResultOfOpen(error);
        return attempt;
    }
    int locked = -1;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
        const int error = errno;
        attempt.error = systemText(error);
        ::close(fd);
        attempt.result = error == EWOULDBLOCK ? DeviceLock::Result::Busy : DeviceLock::Result::Failed;
        return attempt;
    }
    attempt.result = DeviceLock::Result::Locked;
    attempt.handle = fd;
    return attempt;
}

void unlockDevice(int handle)
{
    if (handle >= 0)
        ::close(handle); // closing the descriptor drops the flock
}

UsbLatency::Outcome requestLowLatency(int fd)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return failure(errno);
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0)
        return outcomeOf(UsbLatency::State::AlreadyOn);
    const int previousFlags = settings.flags;
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return failure(errno);
    UsbLatency::Outcome outcome = outcomeOf(UsbLatency::State::Enabled);
    outcome.previousFlags = previousFlags;
    return outcome;
#else
    Q_UNUSED(fd)
    return {};
#endif
}

bool restoreSerialFlags(int fd, const UsbLatency::Outcome &request)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return false;
    settings.flags = request.previousFlags;
    return ::ioctl(fd, TIOCSSERIAL, &settings) == 0;
#else
    Q_UNUSED(fd)
    Q_UNUSED(request)
    return false;
#endif
}

std::unique_ptr<LowLatencyMode> lowLatencyFor(const QSerialPort &port, const QString &devicePath)
{
#ifdef Q_OS_LINUX
    const QString adapter = UsbLatency::adapterDevice(devicePath);
    if (adapter.isEmpty())
        return {};
    return std::make_unique<LowLatencyMode>(port.handle(), adapter);
#else
    Q_UNUSED(port)
    Q_UNUSED(devicePath)
    return {};
#endif
}

// The serial library looks a path that does not begin with '/' up under /dev; here, as
// for the lock, a relative path starts in the working folder.
QString portNameFor(const QString &devicePath)
{
    return QDir::isRelativePath(devicePath) ? QFileInfo(devicePath).absoluteFilePath() : devicePath;
}

bool lockFileNameTooLong(const QString &devicePath)
{
    QByteArray name = QFile::encodeName(portNameFor(devicePath));
    if (name.startsWith(kDeviceFolder.data()))
        name.remove(0, qsizetype(kDeviceFolder.size()));
    return kLockFilePrefix.size() + std::size_t(name.size()) > std::size_t(NAME_MAX);
}

QString deviceNode(const QString &devicePath)
{
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    struct stat status {};
    if (target.isEmpty() || ::stat(QFile::encodeName(target).constData(), &status) != 0)
        return {};
    return QStringLiteral("%1 %2").arg(target).arg(static_cast<qulonglong>(status.st_rdev));
}

bool deviceStillThere(const QSerialPort &port)
{
    pollfd device{static_cast<int>(port.handle()), POLLIN | POLLOUT, 0};
    if (::poll(&device, 1, kPollNowMs) < 0)
        return false;
    return (device.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

QStringList deviceFolders(const QStringList &devicePaths, const QString &byIdFolder)
{
    QStringList folders;
    for (const QString &devicePath : devicePaths) {
        if (!devicePath.isEmpty())
            folders.append(QFileInfo(devicePath).absolutePath());
    }
    if (QDir(byIdFolder).exists())
        folders.append(byIdFolder);
#ifdef Q_OS_LINUX
    folders.append(QStringLiteral("/dev")); // an adapter's first port appears there
#endif
    folders.removeDuplicates();
    return folders;
}

bool takesOutputNow(const QSerialPort &port)
{
    pollfd writable{static_cast<int>(port.handle()), POLLOUT, 0};
    return ::poll(&writable, 1, kPollNowMs) == 1 && (writable.revents & POLLOUT) != 0;
}

} // namespace SerialPlatform
