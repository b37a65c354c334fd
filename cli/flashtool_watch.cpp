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
    timing.rearmAfter = std::chrono::milliseconds(options.rearmAfterMs);
    timing.restartWait = std::chrono::milliseconds(options.restartWaitMs);
    StationMode station(source, firmware, timing);
    station.setExpectedVersion(options.expectedVersion);
    station.setByIdFolder(m_byIdFolder);
    connect(&station, &StationMode::writeStarted, &station, [&session](FlashJob *job) {
        session->showLine(QStringLiteral("found Zorbelmeter FW V%1 on %2 (%3)")
                              .arg(job->report().firmwareBefore, job->port(), job->device()));
        session->follow(job);
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
    connect(&station, &StationMode::portInDoubt, &station, [&session, &options](const QString &port, bool stuck) {
        if (stuck) {
            session->showLine(QStringLiteral("%1: written twice in a row and still answering the version it had; "
                                             "written again only when another version or another device answers")
                                  .arg(port));
            return;
        }
        session->showLine(QStringLiteral("%1: the unit answers the same version after its write as before it; "
                                         "a unit swapped in with that version is written after %2 s of silence "
                                         "or without its device (--expect-version removes the doubt)")
                              .arg(port)
                              .arg(std::chrono::duration<double>(std::chrono::milliseconds(options.rearmAfterMs)).count()));
    });
    m_station = &station;
    const ExitStatus status = station.run();
    m_station = nullptr;
    session->finish();
    say(*m_output.err, station.summary() + QLatin1Char('\n'));
    return status == ExitStatus::Success && session->recordLost() ? ExitStatus::RecordLost : status;
}
