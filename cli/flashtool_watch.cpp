// zorbelflash's station mode (write --watch): what the station says and records
// while it runs.

#include "flashtool.h"

#include "firmwarefile.h"
#include "flashjob.h"
#include "instrumentreport.h"
#include "instrumenttexts.h"
#include "recordjournal.h"
#include "stationmode.h"
#include "systemjournal.h"
#include "writesession.h"

#include <QIODevice>

#include <chrono>

namespace {

constexpr int kShortHashDigits = 12; // of the SHA-256, in the journal's message

void say(QIODevice &stream, const QString &text)
{
    stream.write(text.toUtf8());
}

} // namespace

ExitStatus FlashTool::watch(const PortScan::CandidateSource &source, const QString &watched,
                            const CommandLine::Options &options, const FirmwareFile &firmware, QIODevice *log)
{
    say(human(options), QStringLiteral("watching %1 for instruments (Ctrl-C ends after the running writes)\n")
                            .arg(watched));
    const QString sha256 = QString::fromLatin1(firmware.blockDataSha256(firmware.blocksToSend()));
    const QString expected = InstrumentTexts::firmware(options.expectedVersion);
    if (options.journal) {
        SystemJournal::send(RecordJournal::stationEntry(
            RecordJournal::StationEvent::Started,
            QStringLiteral("station started: %1 (sha256 %2), units are to answer V%3")
                .arg(firmware.path(), sha256.left(kShortHashDigits), expected),
            {{"FILE", firmware.path()}, {"SHA256", sha256}, {"EXPECTED_VERSION", expected}}));
    }
    const std::unique_ptr<WriteSession> session = sessionFor(options, log);
    StationMode::Timing timing;
    timing.requestTimeoutMs = m_requestTimeoutMs;
    timing.restartWait = std::chrono::milliseconds(options.restartWaitMs);
    StationMode stationMode(source, firmware, options.expectedVersion, timing);
    stationMode.setByIdFolder(m_byIdFolder);
    connect(&stationMode, &StationMode::writeStarted, &stationMode, [&session](FlashJob *job) {
        session->showLine(QStringLiteral("found Zorbelmeter FW V%1 on %2 (%3)")
                              .arg(job->report().firmwareBefore, job->port(), job->device()));
        session->follow(job);
    });
    // The answer after a write is the port's: the unit written, or one plugged in meanwhile.
    connect(session.get(), &WriteSession::jobDone, &stationMode, [&session](FlashJob *job) {
        const InstrumentReport::Outcome outcome = job->report().outcome;
        if (outcome == InstrumentReport::Outcome::WrongVersion || outcome == InstrumentReport::Outcome::NoRestart)
            session->showLine(QStringLiteral("%1: a unit plugged in there meanwhile would answer the same way")
                                  .arg(job->port()));
    });
    connect(&stationMode, &StationMode::unitCurrent, &stationMode,
            [&](const PortScan::PortResult &result, const QString &byId) {
                const QString line = QStringLiteral("%1: already V%2, not written")
                                         .arg(result.candidate.name, InstrumentTexts::firmware(result.reply));
                session->showLine(line);
                session->record(InstrumentReport::unwritten(result, InstrumentReport::Outcome::Current, firmware, byId),
                                line);
            });
    connect(&stationMode, &StationMode::portUnavailable, &stationMode, [&session](const PortScan::PortResult &result) {
        session->showLine(QStringLiteral("%1 (%2): %3; asked again every round")
                              .arg(result.candidate.name, result.candidate.devicePath, InstrumentTexts::answer(result)));
    });
    connect(&stationMode, &StationMode::portNeedsCheck, &stationMode, [&session](const PortScan::PortResult &result) {
        session->showLine(QStringLiteral("%1: written twice, still answers V%2: check the unit "
                                         "(written again once the port was empty)")
                              .arg(result.candidate.name, InstrumentTexts::firmware(result.reply)));
    });
    m_station = &stationMode;
    stationMode.run();
    const ExitStatus status = stationStatus(stationMode);
    m_station = nullptr;
    session->finish();
    const QString summary = InstrumentTexts::stationSummary(stationMode);
    say(*m_output.err, summary + QLatin1Char('\n'));
    if (options.journal) {
        SystemJournal::send(RecordJournal::stationEntry(
            RecordJournal::StationEvent::Ended, QStringLiteral("station ended: %1").arg(summary),
            {{"FILE", firmware.path()},
             {"SHA256", sha256},
             {"EXPECTED_VERSION", expected},
             {"WRITTEN", QString::number(stationMode.writtenCount())},
             {"CURRENT", QString::number(stationMode.currentCount())},
             {"INCOMPLETE", QString::number(stationMode.incompletePorts().size())}}));
    }
    return status == ExitStatus::Success && session->recordLost() ? ExitStatus::RecordLost : status;
}
