// One instrument's write in zorbelflash, from the write command to the record.

#include "flashjob.h"

#include "flashwriter.h"
#include "instrumentprotocol.h"
#include "versionreply.h"
#include "modem.h"
#include "stableportname.h"
#include "versionprobe.h"

#include <QTimer>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

// The driver has taken the last block and the end marker when the writer reports the
// write done, but up to 68 bytes of them may still be on their way down the line
// (36 ms at 19200 bit/s). Closing the port resets its line settings, so it is closed
// (or asked again) only after this pause.
constexpr auto kLineSettle = 100ms;
// While waiting for a restarted instrument: how often the port is looked at, and how
// often the version query is sent (a query sent while it is still deaf is lost).
constexpr auto kAskTick = 100ms;
constexpr auto kQueryAgain = 300ms;

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

std::unique_ptr<FlashJob> FlashJob::forInstrument(const PortScan::PortResult &result, std::unique_ptr<Modem> modem,
                                                  const FirmwareFile &firmware, int requestTimeoutMs,
                                                  const QString &byIdFolder)
{
    auto job = std::make_unique<FlashJob>(result.candidate.name, result.candidate.devicePath, std::move(modem),
                                          VersionReply::versionText(result.reply.firmwareVersion()), firmware, requestTimeoutMs);
    job->setByIdLink(StablePortName::of(result.candidate.devicePath, byIdFolder));
    return job;
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
    if (m_state == State::Confirming) {
        // The station stopped waiting: what the unit would have answered is not known.
        m_interrupted = true;
        endConfirmation();
        return;
    }
    m_writer->interrupt();
}

int FlashJob::blocksDone() const
{
    return std::min(m_writer->blocksQueued(), m_writer->blockTotal());
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
    m_report.seconds = std::chrono::duration<double>(std::chrono::milliseconds(m_endMs)).count();
    const bool written = m_writer->outcome() == FlashWriter::Outcome::Written;
    if (written && m_confirmation.enabled) {
        m_state = State::Confirming;
        m_report.afterAsked = true;
        m_sinceWritten.start();
        m_askTimer = new QTimer(this);
        connect(m_askTimer, &QTimer::timeout, this, &FlashJob::askAgain);
        m_askTimer->start(kLineSettle);
        return;
    }
    m_state = State::Finishing;
    m_report.stamp();
    // The port is not closed here, inside its own signal. After an abort nothing is
    // left queued (the writer dropped it), so it goes as soon as control is back.
    QTimer::singleShot(written ? kLineSettle : 0ms, this, &FlashJob::release);
}

// One look at a restarting instrument: reopen its port when it came back, ask for its
// version, take the answer once it is whole. The query is sent again now and then
// without dropping what came meanwhile, so that a slow answer to an earlier one counts.
void FlashJob::askAgain()
{
    m_askTimer->setInterval(kAskTick);
    if (m_modem->isOpen() && m_modem->availableInput() >= InstrumentProtocol::kVersionReplyBytes) {
        const VersionReply reply = VersionProbe::readReply(*m_modem);
        if (reply.isAccepted()) {
            m_versionAfter = reply.firmwareVersion();
            m_report.firmwareAfter = VersionReply::versionText(reply.firmwareVersion());
            endConfirmation();
            return;
        }
        VersionProbe::dropInput(*m_modem); // out of step (noise of the restart): start afresh
    }
    if (m_sinceWritten.elapsed() >= m_confirmation.restartWait.count()) {
        endConfirmation();
        return;
    }
    if (!m_modem->isOpen()) {
        // Gone for the restart (a USB device drops off the bus): back under its path?
        m_modem->closeTty();
        if (m_modem->openDevice(m_report.device) != Modem::OpenResult::Opened) {
            m_modem->closeTty();
            return;
        }
        m_sinceQuery.invalidate();
    }
    if (!m_sinceQuery.isValid() || m_sinceQuery.elapsed() >= std::chrono::milliseconds(kQueryAgain).count()) {
        if (VersionProbe::repeatQuery(*m_modem))
            m_sinceQuery.start();
    }
}

void FlashJob::endConfirmation()
{
    if (m_state != State::Confirming)
        return;
    m_askTimer->stop();
    if (m_interrupted)
        m_report.outcome = InstrumentReport::Outcome::Interrupted;
    else if (m_confirmation.expectedVersion >= 0 && m_versionAfter != m_confirmation.expectedVersion)
        m_report.outcome = m_versionAfter < 0 ? InstrumentReport::Outcome::NoRestart
                                              : InstrumentReport::Outcome::WrongVersion;
    m_state = State::Finishing;
    m_report.stamp();
    QTimer::singleShot(0ms, this, &FlashJob::release);
}

void FlashJob::release()
{
    if (m_state == State::Finished)
        return;
    m_modem->closeTty();
    m_state = State::Finished;
    emit finished();
}
