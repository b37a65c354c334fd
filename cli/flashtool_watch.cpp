// zorbelflash's station mode (write --watch): what the station says and records
// while it runs.

#include "flashtool.h"

#include "firmwarefile.h"
#include "flashjob.h"
#include "instrumentreport.h"
#include "instrumenttexts.h"
#include "stationmode.h"
#include "writesession.h"

#include <QIODevice>

#include <chrono>

namespace {

void say(QIODevice &stream, const QString &text)
{
    stream.write(text.toUtf8());
}

} // namespace

ExitStatus FlashTool::watch(const PortScan::CandidateSource &source, const CommandLine::Options &options,
                            const FirmwareFile &firmware, QIODevice *log)
{
    say(human(options), options.port.isEmpty()
                            ? QStringLiteral("watching every port present for instruments (Ctrl-C ends)\n")
                            : QStringLiteral("watching %1 for instruments (Ctrl-C ends)\n").arg(options.port));
    const std::unique_ptr<WriteSession> session = sessionFor(options, log);
    StationMode::Timing timing;
    timing.requestTimeoutMs = m_requestTimeoutMs;
    timing.restartWait = std::chrono::milliseconds(options.restartWaitMs);
    StationMode station(source, firmware, options.expectedVersion, timing);
    station.setByIdFolder(m_byIdFolder);
    connect(&station, &StationMode::writeStarted, &station, [&session](FlashJob *job) {
        session->showLine(QStringLiteral("found Zorbelmeter FW V%1 on %2 (%3)")
                              .arg(job->report().firmwareBefore, job->port(), job->device()));
        session->follow(job);
    });
    // The answer after a write is the port's: the unit written, or one plugged in meanwhile.
    connect(session.get(), &WriteSession::jobDone, &station, [&session](FlashJob *job) {
        const InstrumentReport::Outcome outcome = job->report().outcome;
        if (outcome == InstrumentReport::Outcome::WrongVersion || outcome == InstrumentReport::Outcome::NoRestart)
            session->showLine(QStringLiteral("%1: a unit plugged in there meanwhile would answer the same way")
                                  .arg(job->port()));
    });
    connect(&station, &StationMode::unitCurrent, &station,
            [&](const PortScan::PortResult &result, const QString &byId) {
                session->showLine(QStringLiteral("%1: already V%2, not written")
                                      .arg(result.candidate.name, InstrumentTexts::firmware(result.reply)));
                session->record(InstrumentReport::unwritten(result, InstrumentReport::Outcome::Current, firmware, byId));
            });
    connect(&station, &StationMode::portUnavailable, &station, [&session](const PortScan::PortResult &result) {
        session->showLine(QStringLiteral("%1 (%2): %3; asked again every round")
                              .arg(result.candidate.name, result.candidate.devicePath, InstrumentTexts::answer(result)));
    });
    connect(&station, &StationMode::portNeedsCheck, &station, [&session](const PortScan::PortResult &result) {
        session->showLine(QStringLiteral("%1: written twice, still answers V%2: check the unit "
                                         "(written again once the port was empty)")
                              .arg(result.candidate.name, InstrumentTexts::firmware(result.reply)));
    });
    m_station = &station;
    station.run();
    const ExitStatus status = stationStatus(station);
    m_station = nullptr;
    session->finish();
    say(*m_output.err, InstrumentTexts::stationSummary(station) + QLatin1Char('\n'));
    return status == ExitStatus::Success && session->recordLost() ? ExitStatus::RecordLost : status;
}
