#include "devicelock.h"

#ifdef Q_OS_UNIX
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

DeviceLock::~DeviceLock()
{
    release();
}

DeviceLock::Result DeviceLock::acquire(const QString &devicePath)
{
    release();
    m_errorString.clear();
#ifdef Q_OS_UNIX
    if (devicePath.isEmpty())
        return Result::NoSuchDevice;
    const QByteArray path = QFile::encodeName(devicePath);
    int fd = -1;
    do {
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        m_errorString = QString::fromLocal8Bit(std::strerror(error));
        switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return Result::NoSuchDevice;
        case EACCES:
        case EPERM:
            return Result::PermissionDenied;
        case EBUSY:
            return Result::Busy;
        default:
            return Result::Failed;
        }
    }
    int locked = -1;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
        const int error = errno;
        m_errorString = QString::fromLocal8Bit(std::strerror(error));
        ::close(fd);
        return error == EWOULDBLOCK ? Result::Busy : Result::Failed;
    }
    m_fd = fd;
#else
    Q_UNUSED(devicePath);
#endif
    m_held = true;
    return Result::Locked;
}

void DeviceLock::release()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0) {
        ::close(m_fd); // closing the descriptor drops the flock
        m_fd = -1;
    }
#endif
    m_held = false;
}

bool DeviceLock::isHeld() const
{
    return m_held;
}

