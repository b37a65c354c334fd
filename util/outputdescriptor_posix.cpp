// OutputDescriptor on Unix: fcntl(F_DUPFD_CLOEXEC), write() and poll().

#include "outputdescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

OutputDescriptor::OutputDescriptor(int fd)
    : m_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0))
{
    if (m_fd < 0)
        m_openError = errno;
}

OutputDescriptor::~OutputDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OutputDescriptor::Written OutputDescriptor::write(const char *data, qint64 size) const
{
    const ssize_t count = ::write(m_fd, data, static_cast<size_t>(size));
    return judged(count, errno);
}

bool OutputDescriptor::waitForRoom(std::chrono::milliseconds wait) const
{
    pollfd entry = {};
    entry.fd = m_fd;
    entry.events = POLLOUT;
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(wait.count()));
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}
