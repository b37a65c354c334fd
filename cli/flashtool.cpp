#include "flashtool.h"

#include "firmwarefile.h"
#include "flashjob.h"
#include "instrumentreport.h"
#include "logfile.h"
#include "modem.h"
#include "outputqueue.h"
#include "portscan.h"
#include "progressview.h"
#include "stableportname.h"
#include "stationmode.h"

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
constexpr int kHexDigitsOfByte = 2;
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

QString instrumentText(const VersionReply &reply)
{
    return QString::asprintf("Zorbelmeter FW V%i.%02i", reply.majorVersion(), reply.minorVersion());
}

QString firmwareText(const VersionReply &reply)
{
    return QString::asprintf("%i.%02i", reply.majorVersion(), reply.minorVersion());
}

// What a port answered, for list and for the messages of write.
QString answerText(const PortScan::PortResult &result)
{
    switch (result.state) {
    case PortScan::PortState::Found:
        return instrumentText(result.reply);
    case PortScan::PortState::NoAnswer:
    case PortScan::PortState::NotProbed:
        return QStringLiteral("no answer");
    case PortScan::PortState::OtherReply:
        return QStringLiteral("other device (reply %1 %2)")
            .arg(static_cast<int>(result.reply.letter().at(0).unicode()), kHexDigitsOfByte, kHexBase, QLatin1Char('0'))
            .arg(result.reply.firmwareVersion(), kHexDigitsOfByte, kHexBase, QLatin1Char('0'));
    case PortScan::PortState::Busy:
        return QStringLiteral("busy");
    case PortScan::PortState::PermissionDenied:
        return QStringLiteral("permission denied (dialout?)");
    case PortScan::PortState::NoSuchDevice:
        return QStringLiteral("no such device");
    case PortScan::PortState::OpenFailed:
        break;
    }
    return QStringLiteral("cannot be set up");
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

QString abortText(InstrumentReport::Outcome outcome)
{
    switch (outcome) {
    case InstrumentReport::Outcome::NoAnswer:
        return QStringLiteral("no answer");
    case InstrumentReport::Outcome::ConnectionLost:
        return QStringLiteral("connection lost");
    case InstrumentReport::Outcome::LineNoise:
        return QStringLiteral("line noise");
    case InstrumentReport::Outcome::Interrupted:
        return QStringLiteral("interrupted");
    case InstrumentReport::Outcome::Busy:
        return QStringLiteral("busy");
    case InstrumentReport::Outcome::PermissionDenied:
        return QStringLiteral("permission denied");
    case InstrumentReport::Outcome::Written:
    case InstrumentReport::Outcome::NotPossible:
        break;
    }
    return QStringLiteral("not possible");
}

QString closingText(const FlashJob &job)
{
    const InstrumentReport &report = job.report();
    if (report.outcome == InstrumentReport::Outcome::Written) {
        return QStringLiteral("%1: written, %2 blocks in %3 s")
            .arg(report.port)
            .arg(report.blocks)
            .arg(report.seconds, 0, 'f', 1);
    }
    if (job.commandNotSent())
        return QStringLiteral("%1: not written, firmware unchanged (%2 before the write command went out)")
            .arg(report.port, abortText(report.outcome));
    return QStringLiteral("%1: incomplete, write again (%2 after %3 of %4 blocks)")
        .arg(report.port, abortText(report.outcome))
        .arg(report.blocks)
        .arg(job.blockTotal());
}

// Gives the job a row of the display that follows its blocks; returns the row.
int showProgressOf(ProgressView &view, FlashJob *job)
{
    const int row = view.addRow(job->port(), job->blockTotal());
    QObject::connect(job, &FlashJob::progress, job,
                     [&view, row, job] { view.update(row, {job->blocksDone(), job->elapsedMs()}); });
    return row;
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
    case CommandLine::Command::Write:
        break;
    }
    return write(parsed.options);
}

void FlashTool::interrupt()
{
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
    case FirmwareFile::Verdict::Suitable:
        break;
    case FirmwareFile::Verdict::NotSuitable:
        say(*m_output.out, QStringLiteral("%1: not suitable: %2\n").arg(options.file, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    case FirmwareFile::Verdict::Unreadable:
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
                               .arg(answerText(result)));
        ++shown;
    }
    if (shown == 0)
        say(*m_output.out, QStringLiteral("no serial port present\n"));
    return ExitStatus::Success;
}

ExitStatus FlashTool::write(const CommandLine::Options &options)
{
    m_recordLost = false;
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
    if (firmware.verdict() != FirmwareFile::Verdict::Suitable) {
        const QString verdict = firmware.verdict() == FirmwareFile::Verdict::Unreadable
                                    ? QStringLiteral("unreadable")
                                    : QStringLiteral("not suitable");
        say(*m_output.err, QStringLiteral("zorbelflash: %1: %2: %3; nothing written\n")
                               .arg(options.file, verdict, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    }

    PortScan::CandidateSource source = &PortScan::presentPorts;
    if (!options.port.isEmpty()) {
        const PortScan::Candidate named = PortScan::portNamed(options.port);
        source = [named] { return QList<PortScan::Candidate>{named}; };
    }
    if (m_interrupted)
        return ExitStatus::Interrupted;
    if (options.watch)
        return watch(source, options, firmware, log.get());
    QString looking = options.port.isEmpty()
                          ? QStringLiteral("looking for the instrument on every port present")
                          : QStringLiteral("looking for the instrument on %1").arg(options.port);
    if (options.count > 0)
        looking = QStringLiteral("looking for %1 instrument(s) on every port present").arg(options.count);
    say(human(options), looking + QLatin1Char('\n'));
    PortScan scan(source);
    if (!runScan(scan, options.waitMs, std::max(options.count, 1))) {
        say(human(options), QStringLiteral("interrupted, nothing written\n"));
        return ExitStatus::Interrupted;
    }
    if (!options.port.isEmpty())
        return writeNamedPort(scan, options, firmware, log.get());
    return writeFound(scan, options, firmware, log.get());
}

ExitStatus FlashTool::writeNamedPort(PortScan &scan, const CommandLine::Options &options,
                                     const FirmwareFile &firmware, QIODevice *log)
{
    if (scan.results().isEmpty())
        return ExitStatus::NoInstrument;
    const PortScan::PortResult &result = scan.results().first();
    if (result.state == PortScan::PortState::Busy || result.state == PortScan::PortState::PermissionDenied)
        return finalStatus({reportUnavailablePort(result, options, firmware, log)});
    if (result.state != PortScan::PortState::Found) {
        say(*m_output.err, QStringLiteral("zorbelflash: no instrument found on %1 (%2)\n")
                               .arg(options.port, answerText(result)));
        return ExitStatus::NoInstrument;
    }
    say(human(options), QStringLiteral("found %1 on %2 (%3)\n")
                            .arg(instrumentText(result.reply), result.candidate.name, result.candidate.devicePath));
    const QList<FlashJob *> jobs{makeJob(scan, 0, firmware)};
    runJobs(jobs, options, log);
    const ExitStatus status = finalStatus({jobs.first()->report().outcome});
    qDeleteAll(jobs);
    return status;
}

ExitStatus FlashTool::writeFound(PortScan &scan, const CommandLine::Options &options, const FirmwareFile &firmware,
                                 QIODevice *log)
{
    QList<int> found = portsIn(scan, {PortScan::PortState::Found});
    const QList<int> unavailable = portsIn(scan, {PortScan::PortState::Busy, PortScan::PortState::PermissionDenied});
    // What happened to each port, in COM order (scan order): the first that was not
    // written decides the exit status.
    QMap<int, InstrumentReport::Outcome> outcomes;
    // With --all every port counts; otherwise a port that could not be opened matters
    // only when no instrument was found elsewhere.
    if (options.all || found.isEmpty()) {
        for (int index : unavailable)
            outcomes.insert(index, reportUnavailablePort(scan.results().at(index), options, firmware, log));
    }

    if (options.count > 0 && found.size() < options.count) {
        say(*m_output.err, QStringLiteral("zorbelflash: %1 of %2 instrument(s) answered%3; nothing written\n")
                               .arg(found.size())
                               .arg(options.count)
                               .arg(found.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(namesOf(scan, found))));
        return ExitStatus::NoInstrument;
    }
    if (found.isEmpty()) {
        say(*m_output.err, QStringLiteral("zorbelflash: no instrument found (%1 port(s) asked%2)\n")
                               .arg(scan.results().size())
                               .arg(unavailable.isEmpty() ? QString()
                                                          : QStringLiteral(", %1 could not be opened").arg(unavailable.size())));
        return outcomes.isEmpty() ? ExitStatus::NoInstrument : finalStatus(outcomes.values());
    }

    found = chooseInstruments(scan, found, options);
    QList<FlashJob *> jobs;
    for (int index : std::as_const(found))
        jobs.append(makeJob(scan, index, firmware));
    runJobs(jobs, options, log);
    for (int i = 0; i < found.size(); ++i)
        outcomes.insert(found.at(i), jobs.at(i)->report().outcome);
    qDeleteAll(jobs);
    return finalStatus(outcomes.values());
}

QList<int> FlashTool::chooseInstruments(const PortScan &scan, const QList<int> &found,
                                        const CommandLine::Options &options)
{
    for (int index : found) {
        const PortScan::PortResult &result = scan.results().at(index);
        say(human(options), QStringLiteral("found %1 on %2 (%3)\n")
                                .arg(instrumentText(result.reply), result.candidate.name,
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

InstrumentReport::Outcome FlashTool::reportUnavailablePort(const PortScan::PortResult &result,
                                                           const CommandLine::Options &options,
                                                           const FirmwareFile &firmware, QIODevice *log)
{
    // The port cannot be had: reported like an instrument, nothing sent.
    InstrumentReport report;
    report.outcome = result.state == PortScan::PortState::Busy ? InstrumentReport::Outcome::Busy
                                                               : InstrumentReport::Outcome::PermissionDenied;
    report.port = result.candidate.name;
    report.device = result.candidate.devicePath;
    report.byId = StablePortName::of(report.device, m_byIdFolder);
    report.file = firmware.path();
    report.sha256 = firmware.blockDataSha256(0);
    say(*m_output.err, QStringLiteral("zorbelflash: %1 (%2): %3; nothing written\n")
                           .arg(report.port, report.device, answerText(result)));
    emitReport(report, options.json, log);
    return report.outcome;
}

FlashJob *FlashTool::makeJob(PortScan &scan, int index, const FirmwareFile &firmware)
{
    const PortScan::PortResult &result = scan.results().at(index);
    auto *job = new FlashJob(result.candidate.name, result.candidate.devicePath, scan.takePort(index),
                             firmwareText(result.reply), firmware, m_requestTimeoutMs, this);
    job->setByIdLink(StablePortName::of(result.candidate.devicePath, m_byIdFolder));
    return job;
}

void FlashTool::runJobs(const QList<FlashJob *> &jobs, const CommandLine::Options &options, QIODevice *log)
{
    ProgressView view(human(options), humanIsTerminal(options));
    m_holdJson = options.json && view.isLive() && m_output.outIsTerminal;
    QEventLoop loop;
    int running = static_cast<int>(jobs.size());
    for (FlashJob *job : jobs) {
        const int row = showProgressOf(view, job);
        connect(job, &FlashJob::finished, this, [&, row, job] {
            view.finishRow(row, closingText(*job));
            emitReport(job->report(), options.json, log);
            if (--running == 0)
                loop.quit();
        });
    }
    m_jobs = jobs;
    emit writesStarted(static_cast<int>(jobs.size()));
    for (FlashJob *job : jobs) {
        if (m_interrupted)
            job->interrupt();
        else
            job->start();
    }
    if (running > 0)
        loop.exec();
    m_jobs.clear();
    m_holdJson = false;
    const QList<QByteArray> deferred = std::exchange(m_deferredJson, {});
    for (const QByteArray &line : deferred)
        keepRecord(*m_output.out, line, QStringLiteral("standard output"), QString());
}

ExitStatus FlashTool::finalStatus(const QList<InstrumentReport::Outcome> &outcomes) const
{
    // The outcomes as recorded decide, not whether a signal came: one that arrives
    // after every write has ended changes nothing.
    for (const InstrumentReport::Outcome outcome : outcomes) {
        const ExitStatus status = InstrumentReport::exitStatusFor(outcome);
        if (status != ExitStatus::Success)
            return status;
    }
    return m_recordLost ? ExitStatus::RecordLost : ExitStatus::Success;
}

ExitStatus FlashTool::watch(const PortScan::CandidateSource &source, const CommandLine::Options &options,
                            const FirmwareFile &firmware, QIODevice *log)
{
    say(human(options), options.port.isEmpty()
                            ? QStringLiteral("watching every port present for instruments (Ctrl-C ends)\n")
                            : QStringLiteral("watching %1 for instruments (Ctrl-C ends)\n").arg(options.port));
    ProgressView view(human(options), humanIsTerminal(options));
    m_holdJson = options.json && view.isLive() && m_output.outIsTerminal;
    StationMode::Timing timing;
    timing.requestTimeoutMs = m_requestTimeoutMs;
    StationMode station(source, firmware, timing);
    connect(&station, &StationMode::writeStarted, this, [&](FlashJob *job) {
        job->setByIdLink(StablePortName::of(job->device(), m_byIdFolder));
        view.showLine(QStringLiteral("found Zorbelmeter FW V%1 on %2 (%3)")
                          .arg(job->report().firmwareBefore, job->port(), job->device()));
        const int row = showProgressOf(view, job);
        connect(job, &FlashJob::finished, this, [&, row, job] {
            view.finishRow(row, closingText(*job));
            emitReport(job->report(), options.json, log);
            if (station.runningWrites() == 0)
                flushDeferredJson(); // the live rows are done: the records held back go out
        });
    });
    connect(&station, &StationMode::portUnavailable, this, [&view](const PortScan::PortResult &result) {
        view.showLine(QStringLiteral("%1 (%2): %3; asked again every round")
                          .arg(result.candidate.name, result.candidate.devicePath, answerText(result)));
    });
    m_station = &station;
    const ExitStatus status = station.run();
    m_station = nullptr;
    flushDeferredJson();
    m_holdJson = false;
    say(*m_output.err, station.summary() + QLatin1Char('\n'));
    return status == ExitStatus::Success && m_recordLost ? ExitStatus::RecordLost : status;
}

void FlashTool::flushDeferredJson()
{
    const QList<QByteArray> deferred = std::exchange(m_deferredJson, {});
    for (const QByteArray &line : deferred)
        keepRecord(*m_output.out, line, QStringLiteral("standard output"), QString());
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

void FlashTool::emitReport(const InstrumentReport &report, bool json, QIODevice *log)
{
    const QByteArray line = report.toJsonLine();
    if (log != nullptr)
        keepRecord(*log, line, QStringLiteral("the log file"), report.port);
    if (!json)
        return;
    // A live display on the same terminal would be torn by lines written into it.
    if (m_holdJson)
        m_deferredJson.append(line);
    else
        keepRecord(*m_output.out, line, QStringLiteral("standard output"), report.port);
}

bool FlashTool::keepRecord(QIODevice &stream, const QByteArray &line, const QString &where, const QString &port)
{
    if (stream.write(line) == line.size())
        return true;
    m_recordLost = true;
    say(*m_output.err, QStringLiteral("zorbelflash: the record%1 could not be written to %2 (%3)\n")
                           .arg(port.isEmpty() ? QString() : QStringLiteral(" of ") + port, where, stream.errorString()));
    return false;
}

void FlashTool::warnOfChecksums(const FirmwareFile &firmware, const CommandLine::Options &options) const
{
    // With --strict the warning is the refusal's reason; a file refused for another
    // reason is not written anyway.
    const QString warning = firmware.checksumWarning();
    if (warning.isEmpty() || options.strict || firmware.verdict() != FirmwareFile::Verdict::Suitable)
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

