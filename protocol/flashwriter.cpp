#include "flashwriter.h"

#include "modem.h"

#include <QTimer>

#include <array>

using namespace InstrumentProtocol;

namespace {
constexpr int kLowByteMask = 0xFF;
constexpr int kBitsPerByte = 8;
constexpr int kStrayAllowance = 16;   // stray bytes tolerated beyond one per block
constexpr int kBlockMessageBytes = kAddressBytes + kBlockBytes;
constexpr std::array<char, kAddressBytes> kEndMarker = {static_cast<char>(kEndMarkerByte),
                                                        static_cast<char>(kEndMarkerByte)};
} // namespace

FlashWriter::FlashWriter(Modem &modem, const LoadedImage &image, std::chrono::milliseconds requestTimeout,
                         QObject *parent)
    : QObject(parent)
    , m_modem(modem)
    , m_image(image)
    , m_total(image.blockCount())
    , m_requestTimer(new QTimer(this))
{
    m_requestTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: the instrument gets its full time.
    m_requestTimer->setTimerType(Qt::PreciseTimer);
    m_requestTimer->setInterval(requestTimeout);
    connect(m_requestTimer, &QTimer::timeout, this, &FlashWriter::onTimeout);
}

FlashWriter::~FlashWriter()
{
    // Whatever a transfer that never finished left queued must not reach the instrument.
    if (m_state == State::Running)
        m_modem.discardOutput();
}

bool FlashWriter::canWrite(bool portOpen, int imageEnd)
{
    return portOpen && LoadedImage::endFitsInstrument(imageEnd);
}

int FlashWriter::strayLimitFor(int blockTotal)
{
    return blockTotal + kStrayAllowance;
}

void FlashWriter::start()
{
    if (m_state != State::Ready)
        return;
    m_state = State::Running;
    if (!m_image.fitsInstrument()) {
        finish(Outcome::NotPossible);
        return;
    }

    connect(&m_modem, &Modem::dataArrived, this, &FlashWriter::onDataArrived);
    connect(&m_modem, &Modem::outputDrained, this, &FlashWriter::checkDrained);
    connect(&m_modem, &Modem::portLost, this, [this] { finish(Outcome::ConnectionLost); });
    m_requestTimer->start();

    // The command opens the first cycle: it too must reach the driver in time.
    m_cyclePending = true;
    if (!queue(kWriteCommand, static_cast<int>(qstrlen(kWriteCommand))))
        return;
    if (m_blockAddress > m_image.end()) { // an empty image: no block, only the end marker
        m_endQueued = true;
        if (!queue(kEndMarker.data(), kAddressBytes))
            return;
    }
    checkDrained();
    // A request may already be waiting.
    onDataArrived();
}

void FlashWriter::interrupt()
{
    if (m_state == State::Finished)
        return;
    if (m_state == State::Running)
        m_modem.discardOutput();
    finish(Outcome::Interrupted);
}

void FlashWriter::onDataArrived()
{
    if (m_state != State::Running || m_reading)
        return;
    m_reading = true;
    // After the end marker nothing more is read: what follows is left for the next user.
    char byte = 0;
    while (m_state == State::Running && !m_endQueued && m_modem.readTty(&byte, 1) == 1) {
        if (!takeByte(byte))
            break;
    }
    m_reading = false;
    if (m_state == State::Running)
        checkDrained();
}

// One byte from the instrument. False when the transfer has ended with it.
bool FlashWriter::takeByte(char byte)
{
    ++m_acks;
    if (byte == kBlockRequest) {
        m_commandSent = true; // the instrument asks, so it has the command
        queueBlock(); // the answer goes to the driver before anything is shown
    } else if (++m_stray > strayLimitFor(m_total)) {
        m_modem.discardOutput();
        finish(Outcome::LineNoise);
    }
    if (m_state != State::Running)
        return false;
    emit progress(m_acks, m_total);
    // The next request may follow at once, within this same read loop.
    checkDrained();
    return m_state == State::Running;
}

void FlashWriter::queueBlock()
{
    const int address = m_blockAddress;
    // Never read past the image, whatever imageEnd claims.
    if (address < 0 || address + kBlockBytes > kFlashImageSize) {
        finish(Outcome::NotPossible);
        return;
    }
    std::array<char, kBlockMessageBytes> message{};
    message[0] = static_cast<char>(address & kLowByteMask);
    message[1] = static_cast<char>((address >> kBitsPerByte) & kLowByteMask);
    const auto first = static_cast<std::size_t>(address);
    for (std::size_t offset = 0; offset < kBlockBytes; ++offset)
        message[kAddressBytes + offset] = static_cast<char>(m_image.bytes()[first + offset] & kLowByteMask);
    m_cyclePending = true;
    if (!queue(message.data(), kBlockMessageBytes))
        return;
    ++m_queued;
    m_blockAddress += kBlockBytes;
    if (m_blockAddress > m_image.end()) {
        m_endQueued = true;
        queue(kEndMarker.data(), kAddressBytes);
    }
}

bool FlashWriter::queue(const char *data, int count)
{
    if (m_modem.queueTty(data, count))
        return true;
    if (m_state == State::Running) {
        m_modem.discardOutput();
        finish(Outcome::ConnectionLost);
    }
    return false;
}

// The driver has taken everything queued: the cycle that sent it is complete.
void FlashWriter::checkDrained()
{
    if (m_state != State::Running || !m_cyclePending || m_modem.pendingOutput() > 0)
        return;
    m_cyclePending = false;
    m_commandSent = true; // the first cycle to complete is the command's
    m_sent = m_queued;
    if (m_endQueued) {
        emit progress(m_acks, m_total);
        finish(Outcome::Written);
        return;
    }
    m_requestTimer->start();
}

void FlashWriter::onTimeout()
{
    if (m_state != State::Running)
        return;
    // A block or end marker the driver has not taken counts as not sent.
    m_modem.discardOutput();
    finish(m_modem.portFailed() ? Outcome::ConnectionLost : Outcome::NoAnswer);
}

void FlashWriter::finish(Outcome outcome)
{
    if (m_state == State::Finished)
        return;
    m_state = State::Finished;
    // An abort before the command was out has not touched the instrument.
    const bool aborted = outcome == Outcome::NoAnswer || outcome == Outcome::ConnectionLost
                         || outcome == Outcome::LineNoise;
    m_outcome = aborted && !m_commandSent ? Outcome::CommandNotSent : outcome;
    m_requestTimer->stop();
    disconnect(&m_modem, nullptr, this, nullptr);
    emit finished(m_outcome);
}
