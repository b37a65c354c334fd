#include "flashjob.h"

#include "flashwriter.h"
#include "instrumentprotocol.h"
#include "modem.h"
#include "versionprobe.h"

#include <QTimer>

#include <algorithm>

namespace {

constexpr double kMillisPerSecond = 1000.0;
// The driver has taken the last block and the end marker when the writer reports the
// write done, but up to 68 bytes of them may still be on their way down the line
// (36 ms at 19200 bit/s). Closing the port resets its line settings, so it is closed
// only after this pause.
constexpr int kLineSettleMs = 100;

} // namespace

FlashJob::FlashJob(const QString &port, const QString &device, std::unique_ptr<Modem> modem,
                   const QString &firmwareBefore,
                   const FirmwareFile &firmware, int requestTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_modem(std::move(modem))
    , m_firmware(firmware)
    , m_writer(std::make_unique<FlashWriter>(*m_modem, m_firmware.image(),
                                             std::chrono::milliseconds(requestTimeoutMs)))
{
    m_report.port = port;
    m_report.device = device;
    m_report.firmwareBefore = firmwareBefore;
    m_report.file = firmware.path();
    connect(m_writer.get(), &FlashWriter::progress, this, &FlashJob::progress);
    connect(m_writer.get(), &FlashWriter::finished, this, &FlashJob::onWriterFinished);
}

FlashJob::~FlashJob()
{
    // The writer goes first: it drops whatever an unfinished transfer left queued.
    m_writer.reset();
}

void FlashJob::start()
{
    if (m_state != State::Ready)
        return;
    m_state = State::Running;
    // Stale input (the rest of the version reply) goes before the command: the first
    // request may follow the command within microseconds.
    VersionProbe::dropInput(*m_modem);
    m_clock.start();
    m_writer->start();
}

void FlashJob::interrupt()
{
    if (m_state == State::Ready) {
        m_clock.start();
        m_state = State::Running;
    }
    m_writer->interrupt();
}

int FlashJob::blocksDone() const
{
    return std::min(m_writer->ackCount(), m_writer->blockTotal());
}

bool FlashJob::commandNotSent() const
{
    return m_writer->outcome() == FlashWriter::Outcome::CommandNotSent;
}

int FlashJob::blockTotal() const
{
    return m_writer->blockTotal();
}

qint64 FlashJob::elapsedMs() const
{
    if (m_endMs >= 0)
        return m_endMs;
    return m_clock.isValid() ? m_clock.elapsed() : 0;
}

void FlashJob::onWriterFinished()
{
    m_endMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    const int sent = m_writer->blocksSent();
    m_report.outcome = InstrumentReport::outcomeOf(m_writer->outcome());
    m_report.blocks = sent;
    m_report.sha256 = m_firmware.blockDataSha256(sent);
    m_report.seconds = static_cast<double>(m_endMs) / kMillisPerSecond;
    m_state = State::Finishing;
    // The port is not closed here, inside its own signal. After an abort nothing is
    // left queued (the writer dropped it), so it goes as soon as control is back.
    const bool written = m_writer->outcome() == FlashWriter::Outcome::Written;
    QTimer::singleShot(written ? kLineSettleMs : 0, this, &FlashJob::release);
}

void FlashJob::release()
{
    if (m_state == State::Finished)
        return;
    m_modem->closeTty();
    m_state = State::Finished;
    emit finished();
}
