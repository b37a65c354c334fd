// OutputQueue: a standard stream written without waiting; the platform's side of it
// is in writeWithoutWaiting() and waitWritable().

#include "outputqueue.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#else
#include <io.h>
#endif

namespace {

constexpr qint64 kBytesPerKiB = 1024;

#ifdef Q_OS_UNIX
// One write that takes what the descriptor can take now. The descriptor is made
// non-blocking for this call only: its open file description may be the shell's too
// (the terminal), which must not be left non-blocking.
qint64 writeWithoutWaiting(int fd, const char *data, qint64 size)
{
    const int flags = ::fcntl(fd, F_GETFL);
    const bool toggle = flags != -1 && (flags & O_NONBLOCK) == 0;
    if (toggle)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
    const int writeError = errno;
    if (toggle)
        ::fcntl(fd, F_SETFL, flags);
    errno = writeError;
    return written;
}

// Waits until the deadline at most for the descriptor to take bytes; false when it did not.
bool waitWritable(int fd, const QDeadlineTimer &deadline)
{
    pollfd entry = {};
    entry.fd = fd;
    entry.events = POLLOUT;
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(deadline.remainingTime()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}
#else
// Elsewhere the write waits as a file's would.
qint64 writeWithoutWaiting(int fd, const char *data, qint64 size)
{
    return ::_write(fd, data, static_cast<unsigned int>(size));
}

bool waitWritable(int /*fd*/, const QDeadlineTimer & /*deadline*/)
{
    return true;
}
#endif

} // namespace

OutputQueue::OutputQueue(int fd, QObject *parent)
    : QIODevice(parent)
    , m_fd(fd)
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
#ifdef Q_OS_UNIX
    m_writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    m_writable->setEnabled(false);
    connect(m_writable.get(), &QSocketNotifier::activated, this, &OutputQueue::onWritable);
#endif
}

OutputQueue::~OutputQueue() = default;

qint64 OutputQueue::settle(QIODevice &stream)
{
    if (stream.bytesToWrite() > 0)
        stream.waitForBytesWritten(kSettleMs);
    return stream.bytesToWrite();
}

qint64 OutputQueue::bytesToWrite() const
{
    return m_queue.size();
}

bool OutputQueue::waitForBytesWritten(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    for (;;) {
        const Flushed flushed = flushNow();
        if (flushed != Flushed::Later)
            return flushed == Flushed::All;
        if (deadline.hasExpired() || !waitWritable(m_fd, deadline))
            return false;
    }
}

qint64 OutputQueue::readData(char * /*data*/, qint64 /*maxSize*/)
{
    return -1;
}

qint64 OutputQueue::writeData(const char *data, qint64 size)
{
    if (m_queue.size() + size > kBoundBytes) {
        setErrorString(QStringLiteral("the output is stuck (%1 KiB wait to be written)")
                           .arg(m_queue.size() / kBytesPerKiB));
        return -1;
    }
    m_queue.append(data, size);
    if (flushNow() != Flushed::Failed)
        return size;
    // This write goes no further; what was queued before it stays, counted as not written.
    m_queue.chop(std::min<qint64>(size, m_queue.size()));
    setErrorString(qt_error_string(m_error));
    return -1;
}

OutputQueue::Flushed OutputQueue::flushNow()
{
    while (!m_queue.isEmpty()) {
        const qint64 written = writeWithoutWaiting(m_fd, m_queue.constData(), m_queue.size());
        if (written > 0) {
            m_queue.remove(0, written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (m_writable)
                m_writable->setEnabled(true);
            return Flushed::Later;
        }
        m_error = errno;
        if (m_writable)
            m_writable->setEnabled(false);
        return Flushed::Failed;
    }
    if (m_writable)
        m_writable->setEnabled(false);
    return Flushed::All;
}

void OutputQueue::onWritable()
{
    flushNow();
}
