#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <chrono>

namespace {

constexpr int kWaitSliceMs = 10;          // waits let Qt events run this often
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
    , m_line(lineEnd())
{
    if (!m_line.isValid()) {
        m_state = State::HungUp;
        return;
    }
    m_line.setBaudRate(m_config.baudRate);
    m_line.start();
}

SimulatedInstrument::~SimulatedInstrument() = default;

// What the line's thread asks of the instrument.
SimulatedLine::Peer SimulatedInstrument::lineEnd()
{
    SimulatedLine::Peer peer;
    peer.wantsToSend = [this]() { return babbling(); };
    peer.readyToSend = [this]() { babble(); };
    peer.arriving = [this]() { answerArriving(); };
    peer.received = [this](const QByteArray &bytes) { receive(bytes); };
    peer.restarting = [this]() { return restarting(); };
    peer.hungUp = [this]() { lineHungUp(); };
    return peer;
}

void SimulatedInstrument::lineHungUp()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::HungUp;
    }
    m_changed.notify_all();
}

bool SimulatedInstrument::isValid() const
{
    return m_line.isValid();
}

QString SimulatedInstrument::errorString() const
{
    return m_line.errorString();
}

QString SimulatedInstrument::devicePath() const
{
    return m_line.devicePath();
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
    m_line.setBaudRate(config.baudRate);
}

void SimulatedInstrument::swapUnit(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = config;
    m_line.setBaudRate(config.baudRate);
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
    return m_line.settings();
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
    const bool paced = m_line.isPaced();
    QByteArray bytes(paced ? 1 : kBabbleChunkBytes, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = kBabbleText[(m_babblePos + i) % kBabbleTextLength];
    qint64 sent = 0;
    if (paced)
        sent = m_line.send(bytes) ? 1 : 0;
    else
        sent = m_line.offer(bytes);
    m_babblePos = (m_babblePos + sent) % kBabbleTextLength;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_babbled += sent;
    }
    m_changed.notify_all();
}

int SimulatedInstrument::pendingAtDevice() const
{
    return m_line.pendingAtDevice();
}

bool SimulatedInstrument::sendRaw(const QByteArray &bytes)
{
    return m_line.sendRaw(bytes);
}

void SimulatedInstrument::stopReceiving()
{
    m_line.stopReceiving();
}

void SimulatedInstrument::resumeReceiving()
{
    m_line.resumeReceiving();
}

QList<qint64> SimulatedInstrument::turnaroundsUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_turnaroundsUs;
}

void SimulatedInstrument::hangUp()
{
    m_line.hangUp();
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

bool SimulatedInstrument::restarting() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Clock::now() < m_deafUntil;
}

// Bytes have come in: the answer to a request on the line has begun.
void SimulatedInstrument::answerArriving()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_answerDue) {
        m_answerDue = false;
        m_turnaroundsUs.append(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_requestSentAt).count());
    }
}

void SimulatedInstrument::receive(const QByteArray &bytes)
{
    QList<Action> actions;
    takeIn(bytes, actions);
    perform(actions);
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
            if (!m_line.pause(action.delayMs))
                return;
            break;
        case Action::Kind::HangUp:
            m_line.close();
            return;
        case Action::Kind::Restart: {
            QString link;
            QString relink;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                link = m_config.restartLink;
                relink = m_config.relinkAs;
            }
            m_line.dropLink(link, relink);
            break;
        }
        case Action::Kind::StopReceiving:
            m_line.stopReceiving();
            break;
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
            if (!m_line.send(action.bytes))
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
