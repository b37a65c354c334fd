// zorbelflash's commands: check, list and write (one port, --all, --watch).

#include "flashtool.h"

#include "firmwarefile.h"
#include "flashjob.h"
#include "instrumentreport.h"
#include "instrumenttexts.h"
#include "logfile.h"
#include "modem.h"
#include "outputqueue.h"
#include "portscan.h"
#include "stableportname.h"
#include "stationmode.h"
#include "stationprofile.h"
#include "systemjournal.h"
#include "writesession.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QIODevice>
#include <QMap>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <utility>

namespace {

constexpr int kHexDigitsOfAddress = 4;
constexpr int kHexBase = 16;
// list: columns of the COM name and the device, padded on the right.
constexpr int kNameColumn = -6;
constexpr int kDeviceColumn = -20;

FirmwareFile::Checksums checksumRule(const CommandLine::Options &options)
{
    return options.strict ? FirmwareFile::Checksums::Refuse : FirmwareFile::Checksums::Warn;
}

void say(QIODevice &stream, const QString &text)
{
    stream.write(text.toUtf8());
}

// The scan's ports in one of these states, by index, in COM order.
QList<int> portsIn(const PortScan &scan, std::initializer_list<PortScan::PortState> states)
{
    QList<int> indices;
    for (int index = 0; index < scan.results().size(); ++index) {
        if (std::find(states.begin(), states.end(), scan.results().at(index).state) != states.end())
            indices.append(index);
    }
    return indices;
}

// "COM1, COM3"
QString namesOf(const PortScan &scan, const QList<int> &indices)
{
    QStringList names;
    for (int index : indices)
        names.append(scan.results().at(index).candidate.name);
    return names.join(QStringLiteral(", "));
}

} // namespace

FlashTool::FlashTool(const Output &output, int requestTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_output(output)
    , m_requestTimeoutMs(requestTimeoutMs)
    , m_byIdFolder(QString::fromLatin1(StablePortName::kByIdFolder))
{
}

FlashTool::~FlashTool() = default;

ExitStatus FlashTool::run(const QStringList &arguments)
{
    const CommandLine::Result parsed = CommandLine::parse(arguments);
    ExitStatus status = runCommand(parsed);
    // The streams get a moment to take what waits; the rest is dropped. With --json,
    // what standard output did not take are records.
    const qint64 recordBytesLeft = OutputQueue::settle(*m_output.out);
    if (recordBytesLeft > 0 && parsed.options.json && parsed.options.command == CommandLine::Command::Write) {
        say(*m_output.err, QStringLiteral("zorbelflash: records could not be written to standard output (it is "
                                          "stuck; %1 bytes dropped)\n").arg(recordBytesLeft));
        if (status == ExitStatus::Success)
            status = ExitStatus::RecordLost;
    }
    OutputQueue::settle(*m_output.err);
    return status;
}

ExitStatus FlashTool::runCommand(const CommandLine::Result &parsed)
{
    if (!parsed.error.isEmpty()) {
        say(*m_output.err, QStringLiteral("zorbelflash: %1\n").arg(parsed.error));
        return ExitStatus::UsageError;
    }
    switch (parsed.options.command) {
    case CommandLine::Command::Help:
        say(*m_output.out, CommandLine::helpText());
        return ExitStatus::Success;
    case CommandLine::Command::Version:
        say(*m_output.out, QStringLiteral("zorbelflash %1\n").arg(QCoreApplication::applicationVersion()));
        return ExitStatus::Success;
    case CommandLine::Command::Check:
        return check(parsed.options);
    case CommandLine::Command::List:
        return list();
    case CommandLine::Command::Station:
        return station(parsed.options);
    case CommandLine::Command::Write:
        break;
    }
    return write(parsed.options);
}

void FlashTool::interrupt()
{
    if (m_station != nullptr && m_station->state() == StationMode::State::Watching) {
        // A stop never spoils a unit: the running writes end first.
        m_station->finishWrites();
        if (m_station->runningWrites() > 0)
            say(*m_output.err, QStringLiteral("zorbelflash: stopping after the running writes (again to stop now)\n"));
        return;
    }
    m_interrupted = true;
    if (m_scan != nullptr)
        m_scan->stop();
    if (m_station != nullptr)
        m_station->stop();
    for (FlashJob *job : std::as_const(m_jobs))
        job->interrupt();
}

ExitStatus FlashTool::check(const CommandLine::Options &options) const
{
    const FirmwareFile firmware = FirmwareFile::load(options.file, checksumRule(options));
    warnOfChecksums(firmware, options);
    switch (firmware.verdict()) {
    case HexVerdict::Suitable:
        break;
    case HexVerdict::NotSuitable:
        say(*m_output.out, QStringLiteral("%1: not suitable: %2\n").arg(options.file, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    case HexVerdict::Unreadable:
        say(*m_output.out, QStringLiteral("%1: unreadable: %2\n").arg(options.file, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    }
    const int blocks = firmware.blocksToSend();
    say(*m_output.out, QStringLiteral("%1: suitable\n"
                                      "end address: %2 (0x%3)\n"
                                      "blocks: %4 of %5 bytes\n"
                                      "sha256: %6\n")
                           .arg(options.file)
                           .arg(firmware.image().end())
                           .arg(QStringLiteral("%1").arg(firmware.image().end(), kHexDigitsOfAddress, kHexBase, QLatin1Char('0')).toUpper())
                           .arg(blocks)
                           .arg(InstrumentProtocol::kBlockBytes)
                           .arg(QString::fromLatin1(firmware.blockDataSha256(blocks))));
    return ExitStatus::Success;
}

ExitStatus FlashTool::list()
{
    PortScan scan(&PortScan::presentPorts);
    if (!runScan(scan, 0))
        return ExitStatus::Interrupted;
    int shown = 0;
    for (const PortScan::PortResult &result : scan.results()) {
        if (result.state == PortScan::PortState::NoSuchDevice)
            continue; // not present
        say(*m_output.out, QStringLiteral("%1  %2  %3\n")
                               .arg(result.candidate.name, kNameColumn)
                               .arg(result.candidate.devicePath, kDeviceColumn)
                               .arg(InstrumentTexts::answer(result)));
        ++shown;
    }
    if (shown == 0)
        say(*m_output.out, QStringLiteral("no serial port present\n"));
    return ExitStatus::Success;
}

ExitStatus FlashTool::station(const CommandLine::Options &options)
{
    const StationProfile profile = StationProfile::load(options.profile);
    if (!profile.isValid()) {
        say(*m_output.err, QStringLiteral("zorbelflash: %1; nothing written\n").arg(InstrumentTexts::profileError(profile)));
        return ExitStatus::UsageError;
    }
    CommandLine::Options fromProfile = options;
    fromProfile.command = CommandLine::Command::Write;
    fromProfile.file = profile.firmwarePath();
    fromProfile.watch = true;
    fromProfile.expectedVersion = profile.expectedVersion();
    fromProfile.logFile = profile.logPath();
    fromProfile.restartWaitMs = CommandLine::millis(profile.restartWait());
    m_profile = profile.path();
    return write(fromProfile, profile.ports().isEmpty() ? PortScan::CandidateSource() : profile.source());
}

ExitStatus FlashTool::write(const CommandLine::Options &options, PortScan::CandidateSource source)
{
    // Records that cannot be kept stop the run before anything is sent.
    if (options.journal && !SystemJournal::isReachable()) {
        say(*m_output.err, QStringLiteral("zorbelflash: --journal: no systemd journal is reachable here; "
                                          "nothing written\n"));
        return ExitStatus::UsageError;
    }
    // The record's file first, before the HEX file and before any port: a log that
    // cannot be kept stops the run before anything is sent.
    std::unique_ptr<LogFile> log;
    if (!options.logFile.isEmpty()) {
        LogFile::Opened opened = LogFile::open(options.logFile);
        if (!opened.file) {
            say(*m_output.err, QStringLiteral("zorbelflash: cannot open log file %1: %2; nothing written\n")
                                   .arg(options.logFile, opened.error));
            return ExitStatus::UsageError;
        }
        log = std::move(opened.file);
        connect(log.get(), &LogFile::reopened, this, [this](const QString &path) {
            say(*m_output.err, QStringLiteral("zorbelflash: the log file %1 was moved or deleted; opened it again\n").arg(path));
        });
    }

    const FirmwareFile firmware = FirmwareFile::load(options.file, checksumRule(options));
    warnOfChecksums(firmware, options);
    if (firmware.verdict() != HexVerdict::Suitable) {
        const QString verdict = firmware.verdict() == HexVerdict::Unreadable
                                    ? QStringLiteral("unreadable")
                                    : QStringLiteral("not suitable");
        say(*m_output.err, QStringLiteral("zorbelflash: %1: %2: %3; nothing written\n")
                               .arg(options.file, verdict, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    }

    QString watched = QStringLiteral("every port present");
    if (source) {
        watched = QStringLiteral("the ports of %1").arg(m_profile);
    } else if (!options.port.isEmpty()) {
        const PortScan::Candidate named = PortScan::portNamed(options.port);
        source = [named] { return QList<PortScan::Candidate>{named}; };
        watched = options.port;
    } else {
        source = &PortScan::presentPorts;
    }
    if (m_interrupted)
        return ExitStatus::Interrupted;
    if (options.watch)
        return watch(source, watched, options, firmware, log.get());
    QString looking = options.port.isEmpty()
                          ? QStringLiteral("looking for the instrument on every port present")
                          : QStringLiteral("looking for the instrument on %1").arg(options.port);
    if (options.count > 0)
        looking = QStringLiteral("looking for %1 instrument(s) on every port present").arg(options.count);
    say(human(options), looking + QLatin1Char('\n'));
    PortScan scan(source);
    // One instrument is wanted: the scan ends the moment it has answered.
    scan.setEndWhenWanted(!options.all);
    if (!runScan(scan, options.waitMs, std::max(options.count, 1))) {
        say(human(options), QStringLiteral("interrupted, nothing written\n"));
        return ExitStatus::Interrupted;
    }
    return writeFound(scan, options, firmware, log.get());
}

ExitStatus FlashTool::writeFound(PortScan &scan, const CommandLine::Options &options, const FirmwareFile &firmware,
                                 QIODevice *log)
{
    QList<int> found = portsIn(scan, {PortScan::PortState::Found});
    const QList<int> unavailable = portsIn(scan, {PortScan::PortState::Busy, PortScan::PortState::PermissionDenied});
    if (found.isEmpty() && !options.port.isEmpty() && unavailable.isEmpty()) {
        const QString answer = scan.results().isEmpty() ? Modem::reason(Modem::OpenResult::NoDevice)
                                                        : InstrumentTexts::answer(scan.results().first());
        say(*m_output.err, QStringLiteral("zorbelflash: no instrument found on %1 (%2)\n").arg(options.port, answer));
        return ExitStatus::NoInstrument;
    }
    const std::unique_ptr<WriteSession> session = sessionFor(options, log);
    // What happened to each port, in COM order (scan order): the first that was not
    // written decides the exit status.
    QMap<int, ExitStatus> statuses;
    // With --all (or --port) every port counts; otherwise a port that could not be
    // opened matters only when no instrument was found elsewhere.
    if (options.all || !options.port.isEmpty() || found.isEmpty()) {
        for (int index : unavailable) {
            reportUnavailablePort(scan.results().at(index), firmware, *session);
            statuses.insert(index, ExitStatus::PortUnavailable);
        }
    }

    if (options.count > 0 && found.size() < options.count) {
        say(*m_output.err, QStringLiteral("zorbelflash: %1 of %2 instrument(s) answered%3; nothing written\n")
                               .arg(found.size())
                               .arg(options.count)
                               .arg(found.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(namesOf(scan, found))));
        return ExitStatus::NoInstrument;
    }
    if (found.isEmpty()) {
        if (options.port.isEmpty()) {
            say(*m_output.err,
                QStringLiteral("zorbelflash: no instrument found (%1 port(s) asked%2)\n")
                    .arg(scan.results().size())
                    .arg(unavailable.isEmpty() ? QString()
                                               : QStringLiteral(", %1 could not be opened").arg(unavailable.size())));
        }
        return statuses.isEmpty() ? ExitStatus::NoInstrument : combinedStatus(statuses.values(), session->recordLost());
    }

    found = chooseInstruments(scan, found, options);
    Jobs jobs;
    for (int index : std::as_const(found)) {
        jobs.push_back(FlashJob::forInstrument(scan.results().at(index), scan.takePort(index), firmware,
                                               m_requestTimeoutMs, m_byIdFolder));
        FlashJob::Confirmation confirmation;
        confirmation.enabled = options.expectedVersion >= 0;
        confirmation.expectedVersion = options.expectedVersion;
        confirmation.restartWait = std::chrono::milliseconds(options.restartWaitMs);
        jobs.back()->setConfirmation(confirmation);
    }
    runJobs(jobs, *session);
    for (std::size_t i = 0; i < jobs.size(); ++i)
        statuses.insert(found.at(static_cast<int>(i)), exitStatusFor(jobs.at(i)->report().outcome));
    session->finish();
    return combinedStatus(statuses.values(), session->recordLost());
}

QList<int> FlashTool::chooseInstruments(const PortScan &scan, const QList<int> &found,
                                        const CommandLine::Options &options)
{
    for (int index : found) {
        const PortScan::PortResult &result = scan.results().at(index);
        say(human(options), QStringLiteral("found %1 on %2 (%3)\n")
                                .arg(InstrumentTexts::instrument(result.reply), result.candidate.name,
                                     result.candidate.devicePath));
    }
    if (options.count > 0 && found.size() > options.count) {
        say(human(options), QStringLiteral("%1 instruments answered, %2 expected: writing every one\n")
                                .arg(found.size())
                                .arg(options.count));
    }
    if (options.all || found.size() <= 1)
        return found;
    say(human(options), QStringLiteral("writing %1 only (--all writes every instrument found)\n")
                            .arg(scan.results().at(found.first()).candidate.name));
    return {found.first()};
}

void FlashTool::reportUnavailablePort(const PortScan::PortResult &result, const FirmwareFile &firmware,
                                      WriteSession &session)
{
    const auto outcome = result.state == PortScan::PortState::Busy ? InstrumentReport::Outcome::Busy
                                                                    : InstrumentReport::Outcome::PermissionDenied;
    const QString message = QStringLiteral("%1 (%2): %3; nothing written")
                                .arg(result.candidate.name, result.candidate.devicePath, InstrumentTexts::answer(result));
    say(*m_output.err, QStringLiteral("zorbelflash: %1\n").arg(message));
    session.record(InstrumentReport::unwritten(result, outcome, firmware,
                                               StablePortName::of(result.candidate.devicePath, m_byIdFolder)),
                   message);
}

void FlashTool::runJobs(const Jobs &jobs, WriteSession &session)
{
    QEventLoop loop;
    for (const auto &job : jobs)
        session.follow(job.get());
    connect(&session, &WriteSession::jobDone, &loop, [&session, &loop] {
        if (session.running() == 0)
            loop.quit();
    });
    m_jobs.clear();
    for (const auto &job : jobs)
        m_jobs.append(job.get());
    emit writesStarted(static_cast<int>(jobs.size()));
    for (const auto &job : jobs) {
        if (m_interrupted)
            job->interrupt();
        else
            job->start();
    }
    if (session.running() > 0)
        loop.exec();
    m_jobs.clear();
}

std::unique_ptr<WriteSession> FlashTool::sessionFor(const CommandLine::Options &options, QIODevice *log) const
{
    return std::make_unique<WriteSession>(human(options), humanIsTerminal(options), *m_output.out,
                                          m_output.outIsTerminal, *m_output.err, options.json, log,
                                          options.journal);
}

bool FlashTool::runScan(PortScan &scan, int waitMs, int wanted)
{
    if (m_interrupted)
        return false;
    QEventLoop loop;
    connect(&scan, &PortScan::finished, &loop, &QEventLoop::quit);
    m_scan = &scan;
    scan.start(waitMs, wanted);
    if (scan.state() != PortScan::State::Finished)
        loop.exec();
    m_scan = nullptr;
    return !m_interrupted;
}

void FlashTool::warnOfChecksums(const FirmwareFile &firmware, const CommandLine::Options &options) const
{
    // With --strict the warning is the refusal's reason; a file refused for another
    // reason is not written anyway.
    const QString warning = firmware.checksumWarning();
    if (warning.isEmpty() || options.strict || firmware.verdict() != HexVerdict::Suitable)
        return;
    say(*m_output.err, QStringLiteral("zorbelflash: warning: %1: %2; taken as the window takes it (--strict refuses "
                                      "such a file)\n")
                           .arg(options.file, warning));
}

QIODevice &FlashTool::human(const CommandLine::Options &options) const
{
    // With --json, standard output carries the JSON lines alone.
    return options.json ? *m_output.err : *m_output.out;
}

bool FlashTool::humanIsTerminal(const CommandLine::Options &options) const
{
    return options.json ? m_output.errIsTerminal : m_output.outIsTerminal;
}
