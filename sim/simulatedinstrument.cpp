#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <chrono>
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
constexpr int kWaitSliceMs = 10;
constexpr int kPacingSpinUs = 200;        // a paced byte's last microseconds are waited out awake          // waits let Qt events run this often
constexpr int kReadChunkBytes = 4096;     // bytes taken from the line at once when unpaced
constexpr int kBitsPerByte = 10;          // start bit, 8 data bits, stop bit
constexpr long long kMicrosPerSecond = 1000000;
constexpr long long kMicrosPerMilli = 1000;
constexpr int kAddressBytes = 2;
constexpr int kCommandMaxBytes = 8;       // "@w#####;"
constexpr char kCommandStart = '@';
constexpr char kCommandEnd = ';';
constexpr int kByteShift = 8;
constexpr int kBabbleChunkBytes = 4096;   // status text offered to an unpaced line at once
// What a babbling instrument keeps sending; no request byte in it.
constexpr char kBabbleText[] = "Z123 running, 21.5 C\r\n";
constexpr qsizetype kBabbleTextLength = sizeof kBabbleText - 1;

constexpr quint32 kNoiseSeed = 0x2545F491u;      // the noise is the same sequence every time
constexpr quint32 kNoiseMultiplier = 1664525u;   // linear congruential generator
constexpr quint32 kNoiseIncrement = 1013904223u;
constexpr int kNoiseShift = 24;                  // the generator's best bits are its top ones

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

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

SimulatedInstrument::SimulatedInstrument()
    : SimulatedInstrument(Config())
{
}

SimulatedInstrument::SimulatedInstrument(const Config &config)
    : m_config(config)
    , m_flash(kFlashSize, static_cast<char>(kEndByte))
{
    if (!openLine()) {
        closeLine();
        m_state = State::HungUp;
        return;
    }
    m_thread = std::thread([this]() { run(); });
}

SimulatedInstrument::~SimulatedInstrument()
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
    closeLine();
    if (m_hungUpSlaveFd >= 0)
        ::close(m_hungUpSlaveFd);
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
}

bool SimulatedInstrument::openLine()
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
    termios settings{};
    if (::tcgetattr(m_slaveFd, &settings) != 0) {
        m_errorString = errnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(m_slaveFd, TCSANOW, &settings) != 0) {
        m_errorString = errnoText("tcsetattr");
        return false;
    }
    return true;
}

void SimulatedInstrument::closeLine()
{
    {
        std::lock_guard<std::mutex> line(m_lineMutex);
        if (m_masterFd >= 0)
            ::close(m_masterFd); // the loader's side sees the hang-up, the device path goes
        // The slave stays open (hung up) until the object goes: the pseudo-terminal's
        // number stays taken, so that no other instrument made meanwhile, in this
        // process or another, appears under the path of this one and is asked in its
        // place by whoever still tries that path.
        if (m_slaveFd >= 0 && m_hungUpSlaveFd < 0)
            m_hungUpSlaveFd = m_slaveFd;
        else if (m_slaveFd >= 0)
            ::close(m_slaveFd);
        m_masterFd = -1;
        m_slaveFd = -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::HungUp;
    }
    m_changed.notify_all();
}

void SimulatedInstrument::wake()
{
    if (m_wakeWrite >= 0) {
        const char token = 0;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &token, 1);
    }
}

bool SimulatedInstrument::isValid() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorString.isEmpty();
}

QString SimulatedInstrument::errorString() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorString;
}

QString SimulatedInstrument::devicePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devicePath;
}

QString SimulatedInstrument::portMapEntry(const QString &comName) const
{
    return comName + QLatin1Char('=') + devicePath();
}

SimulatedInstrument::Config SimulatedInstrument::config() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config;
}

void SimulatedInstrument::setConfig(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = config;
}

void SimulatedInstrument::swapUnit(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = config;
    if (m_state == State::HungUp)
        return;
    m_state = State::Idle;
    m_command.clear();
    m_addressFill = 0;
    m_blockFill = 0;
    m_deafUntil = {};
}

SimulatedInstrument::State SimulatedInstrument::state() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

QByteArray SimulatedInstrument::receivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void SimulatedInstrument::clearReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

int SimulatedInstrument::versionQueries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_versionQueries;
}

int SimulatedInstrument::transfersStarted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfersStarted;
}

int SimulatedInstrument::transfersEnded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfersEnded;
}

bool SimulatedInstrument::endReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endReceived;
}

QList<quint16> SimulatedInstrument::blockAddresses() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blockAddresses;
}

int SimulatedInstrument::requestsSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

QByteArray SimulatedInstrument::flash() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flash;
}

SimulatedInstrument::LineSettings SimulatedInstrument::lineSettings() const
{
    LineSettings line;
    termios settings{};
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        if (m_slaveFd < 0 || ::tcgetattr(m_slaveFd, &settings) != 0)
            return line;
    }
    line.baudRate = speedToBaud(::cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    line.parity = (settings.c_cflag & PARENB) != 0;
    line.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
    line.hardwareFlowControl = (settings.c_cflag & CRTSCTS) != 0;
    line.softwareFlowControl = (settings.c_iflag & (IXON | IXOFF)) != 0;
    return line;
}

qint64 SimulatedInstrument::babbledBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_babbled;
}

bool SimulatedInstrument::babbling() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.babble && m_versionQueries > 0 && m_state == State::Idle;
}

// The next piece of status text: one byte on a paced line (sent on the line's
// clock), else as much of a chunk as the line takes now, without waiting.
void SimulatedInstrument::babble()
{
    const bool paced = byteTimeUs() > 0;
    QByteArray bytes(paced ? 1 : kBabbleChunkBytes, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = kBabbleText[(m_babblePos + i) % kBabbleTextLength];
    qint64 sent = 0;
    if (paced) {
        sent = sendToLoader(bytes) ? 1 : 0;
    } else {
        std::lock_guard<std::mutex> line(m_lineMutex);
        if (m_masterFd >= 0)
            sent = qMax<ssize_t>(::write(m_masterFd, bytes.constData(), static_cast<size_t>(bytes.size())), 0);
    }
    m_babblePos = (m_babblePos + sent) % kBabbleTextLength;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_babbled += sent;
    }
    m_changed.notify_all();
}

int SimulatedInstrument::pendingAtDevice() const
{
    std::lock_guard<std::mutex> lock(m_lineMutex);
    int count = 0;
    if (m_slaveFd < 0 || ::ioctl(m_slaveFd, FIONREAD, &count) != 0)
        return 0;
    return count;
}

bool SimulatedInstrument::sendRaw(const QByteArray &bytes)
{
    return writeMaster(bytes.constData(), static_cast<int>(bytes.size()));
}

void SimulatedInstrument::stopReceiving()
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_slaveFd >= 0)
        ::tcflow(m_slaveFd, TCOOFF);
}

void SimulatedInstrument::resumeReceiving()
{
    std::lock_guard<std::mutex> line(m_lineMutex);
    if (m_slaveFd >= 0)
        ::tcflow(m_slaveFd, TCOON);
}

QList<qint64> SimulatedInstrument::turnaroundsUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_turnaroundsUs;
}

void SimulatedInstrument::hangUp()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state == State::HungUp || !m_thread.joinable())
        return;
    m_hangUpRequested = true;
    lock.unlock();
    m_changed.notify_all();
    wake();
    lock.lock();
    m_changed.wait(lock, [this]() { return m_state == State::HungUp; });
}

bool SimulatedInstrument::isHungUp() const
{
    return state() == State::HungUp;
}

void SimulatedInstrument::setEventHandler(std::function<void(const QString &)> handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eventHandler = std::move(handler);
}

bool SimulatedInstrument::waitUntil(const std::function<bool()> &condition, int msecs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(msecs);
    QCoreApplication *app = QCoreApplication::instance();
    const bool runEvents = app != nullptr && QThread::currentThread() == app->thread();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (condition())
                return true;
            const auto now = Clock::now();
            if (now >= deadline)
                return false;
            m_changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(kWaitSliceMs)));
            if (condition())
                return true;
        }
        if (runEvents)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

bool SimulatedInstrument::waitForTransferEnd(int msecs)
{
    return waitUntil([this]() { return m_endReceived; }, msecs);
}

bool SimulatedInstrument::waitForVersionQueries(int count, int msecs)
{
    return waitUntil([this, count]() { return m_versionQueries >= count; }, msecs);
}

bool SimulatedInstrument::waitForState(State state, int msecs)
{
    return waitUntil([this, state]() { return m_state == state; }, msecs);
}

bool SimulatedInstrument::waitForPendingAtDevice(int count, int msecs)
{
    // The count lives in the kernel, not behind m_mutex: look at it once per slice.
    const auto deadline = Clock::now() + std::chrono::milliseconds(msecs);
    for (;;) {
        if (pendingAtDevice() >= count)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
    }
}

long long SimulatedInstrument::byteTimeUs() const
{
    const int baud = config().baudRate;
    return baud > 0 ? kBitsPerByte * kMicrosPerSecond / baud : 0;
}

bool SimulatedInstrument::pauseUs(long long micros)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::microseconds(micros),
                       [this]() { return m_stop || m_hangUpRequested; });
    return !m_stop && !m_hangUpRequested;
}

bool SimulatedInstrument::pauseUntil(std::chrono::steady_clock::time_point due)
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

bool SimulatedInstrument::writeMaster(const char *data, int count)
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

bool SimulatedInstrument::sendToLoader(const QByteArray &bytes)
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

void SimulatedInstrument::run()
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
            hangUpNow = m_hangUpRequested && m_state != State::HungUp;
        }
        if (hangUpNow) {
            closeLine();
            continue;
        }

        restoreLinkWhenDue();
        int master = -1;
        {
            std::lock_guard<std::mutex> line(m_lineMutex);
            master = m_masterFd;
        }
        const bool babbleNow = master >= 0 && babbling();
        const short masterEvents = static_cast<short>(POLLIN | (babbleNow ? POLLOUT : 0));
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
        const bool roomToBabble = babbleNow && (fds[1].revents & POLLOUT) != 0;
        if (roomToBabble)
            babble();
        if (!(fds[1].revents & POLLIN)) {
            if (roomToBabble)
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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_answerDue) {
                m_answerDue = false;
                m_turnaroundsUs.append(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_requestSentAt).count());
            }
        }
        if (byteTime <= 0) {
            QList<Action> actions;
            takeIn(chunk.left(static_cast<int>(got)), actions);
            perform(actions);
            continue;
        }
        // A paced line delivers one byte per byte time. Bytes that were waiting together
        // follow each other on the line's own clock, so waking late does not stretch it.
        lineFreeAt = std::max(Clock::now(), lineFreeAt);
        for (ssize_t i = 0; i < got; ++i) {
            lineFreeAt += std::chrono::microseconds(byteTime);
            if (!pauseUntil(lineFreeAt))
                break;
            QList<Action> actions;
            takeIn(chunk.mid(static_cast<int>(i), 1), actions);
            perform(actions);
        }
    }
}

void SimulatedInstrument::restoreLinkWhenDue()
{
    if (m_linkToRestore.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Clock::now() < m_deafUntil)
            return;
    }
    QFile::link(devicePath(), m_linkToRestore);
    m_linkToRestore.clear();
}

void SimulatedInstrument::takeIn(const QByteArray &bytes, QList<Action> &actions)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(bytes);
        for (char byte : bytes)
            handleByte(static_cast<unsigned char>(byte), actions);
    }
    m_changed.notify_all();
}

void SimulatedInstrument::handleByte(unsigned char byte, QList<Action> &actions)
{
    if (!m_config.plugged)
        return; // an empty socket
    switch (m_state) {
    case State::Idle:
    case State::Stalled:
        handleCommandByte(byte, actions);
        break;
    case State::AwaitAddress:
        if (m_addressFill == 0) {
            m_addressLow = byte;
            m_addressFill = 1;
            break;
        }
        m_addressFill = 0;
        if (m_addressLow == kEndByte && byte == kEndByte) {
            m_state = State::Idle;
            m_endReceived = true;
            ++m_transfersEnded;
            actions.append({Action::Kind::Event, {}, 0, Action::Marker::None,
                            QStringLiteral("transfer ended after %1 block(s)").arg(m_blocks)});
            if (!m_config.dumpPath.isEmpty())
                actions.append({Action::Kind::Dump, {}, 0, Action::Marker::None, m_config.dumpPath});
            if (m_config.versionAfterWrite >= 0)
                m_config.version = static_cast<quint8>(m_config.versionAfterWrite);
            if (m_config.restartMs > 0) {
                m_deafUntil = Clock::now() + std::chrono::milliseconds(m_config.restartMs);
                actions.append({Action::Kind::Restart, {}, 0, Action::Marker::None,
                                QStringLiteral("restarting for %1 ms").arg(m_config.restartMs)});
            }
            break;
        }
        m_blockAddress = static_cast<quint16>(m_addressLow | (byte << kByteShift));
        m_blockAddresses.append(m_blockAddress);
        m_blockFill = 0;
        m_state = State::AwaitData;
        break;
    case State::AwaitData:
        m_flash[(m_blockAddress + m_blockFill) % kFlashSize] = static_cast<char>(byte);
        if (++m_blockFill < kBlockSize)
            break;
        ++m_blocks;
        actions.append({Action::Kind::Event, {}, 0, Action::Marker::None,
                        QStringLiteral("block %1 at 0x%2").arg(m_blocks).arg(m_blockAddress, 4, 16, QLatin1Char('0'))});
        if (m_config.flashWriteDelayMs > 0)
            actions.append({Action::Kind::Delay, {}, m_config.flashWriteDelayMs, Action::Marker::None, {}});
        continueTransfer(actions);
        break;
    case State::HungUp:
        break;
    }
}

void SimulatedInstrument::handleCommandByte(unsigned char byte, QList<Action> &actions)
{
    if (Clock::now() < m_deafUntil)
        return; // restarting
    if (byte == static_cast<unsigned char>(kCommandStart)) {
        m_command = QByteArray(1, kCommandStart);
        return;
    }
    if (m_command.isEmpty())
        return;
    m_command.append(static_cast<char>(byte));
    if (byte != static_cast<unsigned char>(kCommandEnd)) {
        if (m_command.size() >= kCommandMaxBytes)
            m_command.clear();
        return;
    }
    const QByteArray command = m_command;
    m_command.clear();

    if (command == kVersionQuery) {
        const char reply[kMaxReplyLength] = {m_config.letter, static_cast<char>(m_config.version),
                                             static_cast<char>(m_config.extraByte)};
        const int length = qBound(0, m_config.replyLength, kMaxReplyLength);
        if (m_config.replyDelayMs > 0)
            actions.append({Action::Kind::Delay, {}, m_config.replyDelayMs, Action::Marker::None, {}});
        actions.append({Action::Kind::Send, QByteArray(reply, length), 0, Action::Marker::VersionReply,
                        QStringLiteral("version query, reply [%1]").arg(hex(QByteArray(reply, length)))});
        return;
    }
    if (command == kWriteCommand) {
        m_flash.fill(static_cast<char>(kEndByte));
        m_blockAddresses.clear();
        m_blocks = 0;
        m_requests = 0;
        m_requestsQueued = 0;
        m_addressFill = 0;
        m_endReceived = false;
        m_turnaroundsUs.clear();
        m_answerDue = false;
        ++m_transfersStarted;
        actions.append({Action::Kind::Event, {}, 0, Action::Marker::None, QStringLiteral("transfer started")});
        if (m_config.noiseBytes > 0) {
            QByteArray noise(m_config.noiseBytes, '\0');
            m_noiseState = kNoiseSeed;
            for (char &byte : noise) {
                m_noiseState = m_noiseState * kNoiseMultiplier + kNoiseIncrement;
                byte = static_cast<char>(m_noiseState >> kNoiseShift);
            }
            actions.append({Action::Kind::Send, noise, 0, Action::Marker::None,
                            QStringLiteral("%1 byte(s) of line noise").arg(noise.size())});
        }
        continueTransfer(actions);
    }
}

// After the command (no blocks yet) or after a block: hang up, stall or ask for more.
void SimulatedInstrument::continueTransfer(QList<Action> &actions)
{
    if (m_config.hangUpAfterBlocks >= 0 && m_blocks >= m_config.hangUpAfterBlocks) {
        m_state = State::AwaitAddress;
        actions.append({Action::Kind::HangUp, {}, 0, Action::Marker::None,
                        QStringLiteral("hanging up after %1 block(s); the device is gone").arg(m_blocks)});
        return;
    }
    if (m_config.stallAfterBlocks >= 0 && m_blocks >= m_config.stallAfterBlocks) {
        m_state = State::Stalled;
        actions.append({Action::Kind::Event, {}, 0, Action::Marker::None,
                        QStringLiteral("stalled after %1 block(s)").arg(m_blocks)});
        return;
    }
    if (m_config.receiveStopAfterBlocks >= 0 && m_blocks == m_config.receiveStopAfterBlocks)
        actions.append({Action::Kind::StopReceiving, {}, 0, Action::Marker::None,
                        QStringLiteral("receive side stopped after %1 block(s)").arg(m_blocks)});
    ++m_requestsQueued;
    if (m_config.strayByte >= 0 && m_requestsQueued == m_config.strayBeforeRequest) {
        const QByteArray stray(1, static_cast<char>(m_config.strayByte));
        actions.append({Action::Kind::Send, stray, 0, Action::Marker::None,
                        QStringLiteral("stray byte %1").arg(hex(stray))});
    }
    actions.append({Action::Kind::Send, QByteArray(1, kRequestByte), 0, Action::Marker::Request, {}});
    m_state = State::AwaitAddress;
}

void SimulatedInstrument::perform(const QList<Action> &actions)
{
    std::function<void(const QString &)> handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        handler = m_eventHandler;
    }
    for (const Action &action : actions) {
        if (handler && !action.text.isEmpty() && action.kind != Action::Kind::Dump)
            handler(action.text);
        switch (action.kind) {
        case Action::Kind::Event:
            break;
        case Action::Kind::Delay:
            if (!pauseUs(action.delayMs * kMicrosPerMilli))
                return;
            break;
        case Action::Kind::HangUp:
            closeLine();
            return;
        case Action::Kind::Restart: {
            QString link;
            QString relink;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                link = m_config.restartLink;
                relink = m_config.relinkAs;
            }
            if (!link.isEmpty() && QFile::remove(link))
                m_linkToRestore = relink.isEmpty() ? link : relink;
            break;
        }
        case Action::Kind::StopReceiving: {
            std::lock_guard<std::mutex> line(m_lineMutex);
            if (m_slaveFd >= 0)
                ::tcflow(m_slaveFd, TCOOFF);
            break;
        }
        case Action::Kind::Dump: {
            QFile file(action.text);
            const QByteArray image = flash();
            const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                                 && file.write(image) == image.size();
            if (handler)
                handler(written ? QStringLiteral("flash written to %1").arg(action.text)
                                : QStringLiteral("cannot write %1: %2").arg(action.text, file.errorString()));
            break;
        }
        case Action::Kind::Send:
            if (!sendToLoader(action.bytes))
                return;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (action.marker == Action::Marker::Request) {
                    ++m_requests;
                    m_requestSentAt = Clock::now();
                    m_answerDue = true;
                }
                else if (action.marker == Action::Marker::VersionReply)
                    ++m_versionQueries;
            }
            m_changed.notify_all();
            break;
        }
    }
}
