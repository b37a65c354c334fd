// OutputDescriptor on Windows: the C runtime's _dup(), _write() and _close(). There is no
// asking ahead whether the output has room: the write itself waits for it.

#include "outputdescriptor.h"

#include <cerrno>
#include <io.h>
#include <thread>

OutputDescriptor::OutputDescriptor(int fd)
    : m_fd(::_dup(fd))
{
    if (m_fd < 0)
        m_openError = errno;
}

OutputDescriptor::~OutputDescriptor()
{
    if (m_fd >= 0)
        ::_close(m_fd);
}

OutputDescriptor::Written OutputDescriptor::write(const char *data, qint64 size) const
{
    const int count = ::_write(m_fd, data, static_cast<unsigned int>(size));
    return judged(count, errno);
}

bool OutputDescriptor::waitForRoom(std::chrono::milliseconds wait) const
{
    std::this_thread::sleep_for(wait);
    return true;
}
