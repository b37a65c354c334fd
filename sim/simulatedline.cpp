#include "simulatedline.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPollTimeoutMs = 100;       // the thread looks at its stop flag this often
constexpr int kWritePollMs = 50;          // wait for room in the line when it is full
constexpr int kHangUpRetryMs = 20;        // pause after a hang-up report before looking again
constexpr int kPacingSpinUs = 200;        // a paced byte's last microseconds are waited out awake
constexpr int kReadChunkBytes = 4096;     // bytes taken from the line at once when unpaced
constexpr int kBitsPerByte = 10;          // start bit, 8 data bits, stop bit
constexpr long long kMicrosPerSecond = 1000000;
constexpr long long kMicrosPerMilli = 1000;

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

int speedToBaud(speed_t speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

} // namespace

SimulatedLine::SimulatedLine(Peer peer)
    : m_peer(std::move(peer))
{
    if (!open()) {
        release();
        m_closed = true;
    }
}

SimulatedLine::~SimulatedLine()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    wake();
    if (m_thread.joinable())
        m_thread.join();
    resumeReceiving(); // a stopped line could hold up the closing
    release();
    if (m_hungUpSlaveFd >= 0)
        ::close(m_hungUpSlaveFd);
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
}

bool SimulatedLine::open()
{
    int wakePipe[2] = {-1, -1};
    if (::pipe(wakePipe) != 0) {
        m_errorString = errnoText("pipe");
        return false;
    }
    m_wakeRead = wakePipe[0];
    m_wakeWrite = wakePipe[1];
    for (int fd : wakePipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_masterFd < 0) {
        m_errorString = errnoText("posix_openpt");
        return false;
    }
    ::fcntl(m_masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0) {
        m_errorString = errnoText("grantpt/unlockpt");
        return false;
    }
    char name[256] = {};
    if (::ptsname_r(m_masterFd, name, sizeof name) != 0) {
        m_errorString = errnoText("ptsname_r");
        return false;
    }
    m_devicePath = QString::fromLocal8Bit(name);
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slaveFd < 0) {
        m_errorString = errnoText("open slave");
        return false;
    }
    termios terminal{};
    if (::tcgetattr(m_slaveFd, &terminal) != 0) {
        m_errorString = errnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&terminal);
    if (::tcsetattr(m_slaveFd, TCSANOW, &terminal) != 0) {
        m_errorString = errnoText("tcsetattr");
        return false;
    }
    return true;
}

void SimulatedLine::release()
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_masterFd >= 0)
        ::close(m_masterFd); // the loader's side sees the hang-up, the device path goes
    // The slave stays open (hung up) until the object goes: the pseudo-terminal's
    // number stays taken, so that no other line made meanwhile, in this process or
    // another, appears under the path of this one and is asked in its place by whoever
    // still tries that path.
    if (m_slaveFd >= 0 && m_hungUpSlaveFd < 0)
        m_hungUpSlaveFd = m_slaveFd;
    else if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_masterFd = -1;
    m_slaveFd = -1;
}

void SimulatedLine::close()
{
    release();
    m_peer.hungUp();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

void SimulatedLine::wake()
{
    if (m_wakeWrite >= 0) {
        const char token = 0;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &token, 1);
    }
}

bool SimulatedLine::isValid() const
{
    return m_errorString.isEmpty();
}

QString SimulatedLine::errorString() const
{
    return m_errorString;
}

QString SimulatedLine::devicePath() const
{
    return m_devicePath;
}

void SimulatedLine::start()
{
    if (isValid() && !m_thread.joinable())
        m_thread = std::thread([this]() { run(); });
}

void SimulatedLine::setBaudRate(int bitsPerSecond)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_baudRate = bitsPerSecond;
}

bool SimulatedLine::isPaced() const
{
    return byteTimeUs() > 0;
}

long long SimulatedLine::byteTimeUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_baudRate > 0 ? kBitsPerByte * kMicrosPerSecond / m_baudRate : 0;
}

SimulatedLine::Settings SimulatedLine::settings() const
{
    Settings line;
    termios terminal{};
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        if (m_slaveFd < 0 || ::tcgetattr(m_slaveFd, &terminal) != 0)
            return line;
    }
    line.baudRate = speedToBaud(::cfgetospeed(&terminal));
    switch (terminal.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    line.parity = (terminal.c_cflag & PARENB) != 0;
    line.stopBits = (terminal.c_cflag & CSTOPB) != 0 ? 2 : 1;
    line.hardwareFlowControl = (terminal.c_cflag & CRTSCTS) != 0;
    line.softwareFlowControl = (terminal.c_iflag & (IXON | IXOFF)) != 0;
    return line;
}

int SimulatedLine::pendingAtDevice() const
{
    std::lock_guard<std::mutex> lock(m_lineMutex);
    int count = 0;
    if (m_slaveFd < 0 || ::ioctl(m_slaveFd, FIONREAD, &count) != 0)
        return 0;
    return count;
}

bool SimulatedLine::sendRaw(const QByteArray &bytes)
{
    return writeMaster(bytes.constData(), static_cast<int>(bytes.size()));
}

qint64 SimulatedLine::offer(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_masterFd < 0)
        return 0;
    return qMax<ssize_t>(::write(m_masterFd, bytes.constData(), static_cast<size_t>(bytes.size())), 0);
}

void SimulatedLine::stopReceiving()
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_slaveFd >= 0)
        ::tcflow(m_slaveFd, TCOOFF);
}

void SimulatedLine::resumeReceiving()
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_slaveFd >= 0)
        ::tcflow(m_slaveFd, TCOON);
}

void SimulatedLine::hangUp()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed || !m_thread.joinable())
        return;
    m_hangUpRequested = true;
    lock.unlock();
    m_changed.notify_all();
    wake();
    lock.lock();
    m_changed.wait(lock, [this]() { return m_closed; });
}

bool SimulatedLine::pause(int msecs)
{
    return pauseUs(msecs * kMicrosPerMilli);
}

bool SimulatedLine::pauseUs(long long micros)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::microseconds(micros),
                       [this]() { return m_stop || m_hangUpRequested; });
    return !m_stop && !m_hangUpRequested;
}

bool SimulatedLine::pauseUntil(Clock::time_point due)
{
    // Sleep most of the way, then yield until the moment: the line's clock stays exact
    // even where the scheduler wakes sleepers late.
    const auto sleepUntil = due - std::chrono::microseconds(kPacingSpinUs);
    const auto now = Clock::now();
    if (sleepUntil > now
        && !pauseUs(std::chrono::duration_cast<std::chrono::microseconds>(sleepUntil - now).count()))
        return false;
    while (Clock::now() < due) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop || m_hangUpRequested)
                return false;
        }
        std::this_thread::yield();
    }
    return true;
}

bool SimulatedLine::writeMaster(const char *data, int count)
{
    int done = 0;
    while (done < count) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> line(m_lineMutex);
            fd = m_masterFd;
            if (fd < 0)
                return false;
            const ssize_t written = ::write(fd, data + done, static_cast<size_t>(count - done));
            if (written > 0) {
                done += static_cast<int>(written);
                continue;
            }
            if (written < 0 && errno != EAGAIN && errno != EINTR)
                return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop || m_hangUpRequested)
                return false;
        }
        // The line is full (nobody reads the other side): wait for room.
        pauseUs(kWritePollMs * kMicrosPerMilli);
    }
    return true;
}

bool SimulatedLine::send(const QByteArray &bytes)
{
    const long long byteTime = byteTimeUs();
    if (byteTime == 0)
        return writeMaster(bytes.constData(), static_cast<int>(bytes.size()));
    auto due = Clock::now();
    for (char byte : bytes) {
        // The byte is on the wire for one byte time before it has arrived.
        due += std::chrono::microseconds(byteTime);
        if (!pauseUntil(due) || !writeMaster(&byte, 1))
            return false;
    }
    return true;
}

void SimulatedLine::dropLink(const QString &link, const QString &relinkAs)
{
    if (!link.isEmpty() && QFile::remove(link))
        m_linkToRestore = relinkAs.isEmpty() ? link : relinkAs;
}

void SimulatedLine::restoreLinkWhenDue()
{
    if (m_linkToRestore.isEmpty() || m_peer.restarting())
        return;
    QFile::link(m_devicePath, m_linkToRestore);
    m_linkToRestore.clear();
}

void SimulatedLine::run()
{
    QByteArray chunk(kReadChunkBytes, '\0');
    auto lineFreeAt = Clock::now(); // when the last byte towards the instrument has arrived
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
        }
        bool hangUpNow = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            hangUpNow = m_hangUpRequested && !m_closed;
        }
        if (hangUpNow) {
            close();
            continue;
        }

        restoreLinkWhenDue();
        int master = -1;
        {
            std::lock_guard<std::mutex> line(m_lineMutex);
            master = m_masterFd;
        }
        const bool sendNow = master >= 0 && m_peer.wantsToSend();
        const short masterEvents = static_cast<short>(POLLIN | (sendNow ? POLLOUT : 0));
        pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {master, masterEvents, 0}};
        const nfds_t count = master >= 0 ? 2 : 1;
        const int ready = ::poll(fds, count, kPollTimeoutMs);
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (count < 2 || fds[1].revents == 0)
            continue;
        const bool roomToSend = sendNow && (fds[1].revents & POLLOUT) != 0;
        if (roomToSend)
            m_peer.readyToSend();
        if (!(fds[1].revents & POLLIN)) {
            if (roomToSend)
                continue;
            // No reader on the other side and nothing to read: do not spin.
            pauseUs(kHangUpRetryMs * kMicrosPerMilli);
            continue;
        }

        const long long byteTime = byteTimeUs();
        ssize_t got = -1;
        {
            std::lock_guard<std::mutex> line(m_lineMutex);
            if (m_masterFd >= 0)
                got = ::read(m_masterFd, chunk.data(), static_cast<size_t>(kReadChunkBytes));
        }
        if (got <= 0) {
            if (got < 0 && errno != EAGAIN && errno != EINTR)
                pauseUs(kHangUpRetryMs * kMicrosPerMilli);
            continue;
        }
        m_peer.arriving();
        if (byteTime <= 0) {
            m_peer.received(chunk.left(static_cast<int>(got)));
            continue;
        }
        // A paced line delivers one byte per byte time. Bytes that were waiting together
        // follow each other on the line's own clock, so waking late does not stretch it.
        lineFreeAt = std::max(Clock::now(), lineFreeAt);
        for (ssize_t i = 0; i < got; ++i) {
            lineFreeAt += std::chrono::microseconds(byteTime);
            if (!pauseUntil(lineFreeAt))
                break;
            m_peer.received(chunk.mid(static_cast<int>(i), 1));
        }
    }
}
