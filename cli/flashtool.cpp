#include "flashtool.h"

#include "firmwarefile.h"
#include "flashjob.h"
#include "instrumentreport.h"
#include "modem.h"
#include "portscan.h"
#include "progressview.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QIODevice>

#include <memory>

namespace {

constexpr int kHexDigitsOfAddress = 4;
constexpr int kHexDigitsOfByte = 2;
constexpr int kHexBase = 16;
// list: columns of the COM name and the device, padded on the right.
constexpr int kNameColumn = -6;
constexpr int kDeviceColumn = -20;

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

} // namespace

FlashTool::FlashTool(const Output &output, int requestTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_output(output)
    , m_requestTimeoutMs(requestTimeoutMs)
{
}

FlashTool::~FlashTool() = default;

ExitStatus FlashTool::run(const QStringList &arguments)
{
    const CommandLine::Result parsed = CommandLine::parse(arguments);
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
    for (FlashJob *job : std::as_const(m_jobs))
        job->interrupt();
}

ExitStatus FlashTool::check(const CommandLine::Options &options) const
{
    const FirmwareFile firmware = FirmwareFile::load(options.file);
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
    const FirmwareFile firmware = FirmwareFile::load(options.file);
    if (firmware.verdict() != FirmwareFile::Verdict::Suitable) {
        const QString verdict = firmware.verdict() == FirmwareFile::Verdict::Unreadable
                                    ? QStringLiteral("unreadable")
                                    : QStringLiteral("not suitable");
        say(*m_output.err, QStringLiteral("zorbelflash: %1: %2: %3; nothing written\n")
                               .arg(options.file, verdict, firmware.reason()));
        return ExitStatus::FileNotSuitable;
    }

    std::unique_ptr<QFile> log;
    if (!options.logFile.isEmpty()) {
        log = std::make_unique<QFile>(options.logFile);
        if (!log->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            say(*m_output.err, QStringLiteral("zorbelflash: cannot open log file %1: %2\n")
                                   .arg(options.logFile, log->errorString()));
            return ExitStatus::UsageError;
        }
    }

    PortScan::CandidateSource source = &PortScan::presentPorts;
    if (!options.port.isEmpty()) {
        const PortScan::Candidate named = PortScan::portNamed(options.port);
        source = [named] { return QList<PortScan::Candidate>{named}; };
    }
    if (m_interrupted)
        return ExitStatus::Interrupted;
    say(human(options), options.port.isEmpty()
                            ? QStringLiteral("looking for the instrument on every port present\n")
                            : QStringLiteral("looking for the instrument on %1\n").arg(options.port));
    PortScan scan(source);
    if (!runScan(scan, options.waitMs)) {
        say(human(options), QStringLiteral("interrupted, nothing written\n"));
        return ExitStatus::Interrupted;
    }

    QList<int> found;
    for (int index = 0; index < scan.results().size(); ++index) {
        if (scan.results().at(index).state == PortScan::PortState::Found)
            found.append(index);
    }
    if (found.isEmpty()) {
        if (!options.port.isEmpty() && !scan.results().isEmpty())
            return reportUnavailablePort(scan.results().first(), options, firmware, log.get());
        say(*m_output.err, QStringLiteral("zorbelflash: no instrument found (%1 port(s) asked)\n")
                               .arg(scan.results().size()));
        return ExitStatus::NoInstrument;
    }

    for (int index : std::as_const(found)) {
        const PortScan::PortResult &result = scan.results().at(index);
        say(human(options), QStringLiteral("found %1 on %2 (%3)\n")
                                .arg(instrumentText(result.reply), result.candidate.name,
                                     result.candidate.devicePath));
    }
    if (!options.all && found.size() > 1) {
        say(human(options), QStringLiteral("writing %1 only (--all writes every instrument found)\n")
                                .arg(scan.results().at(found.first()).candidate.name));
        found = {found.first()};
    }

    QList<FlashJob *> jobs;
    for (int index : std::as_const(found)) {
        const PortScan::PortResult &result = scan.results().at(index);
        jobs.append(new FlashJob(result.candidate.name, result.candidate.devicePath, scan.takePort(index),
                                 firmwareText(result.reply), firmware, m_requestTimeoutMs, this));
    }
    const ExitStatus status = runJobs(jobs, options, log.get());
    qDeleteAll(jobs);
    return status;
}

ExitStatus FlashTool::reportUnavailablePort(const PortScan::PortResult &result,
                                            const CommandLine::Options &options,
                                            const FirmwareFile &firmware, QIODevice *log)
{
    InstrumentReport report;
    if (result.state == PortScan::PortState::Busy)
        report.outcome = InstrumentReport::Outcome::Busy;
    else if (result.state == PortScan::PortState::PermissionDenied)
        report.outcome = InstrumentReport::Outcome::PermissionDenied;
    else {
        say(*m_output.err, QStringLiteral("zorbelflash: no instrument found on %1 (%2)\n")
                               .arg(options.port, answerText(result)));
        return ExitStatus::NoInstrument;
    }
    // The port the user named cannot be had: reported like an instrument, nothing sent.
    report.port = result.candidate.name;
    report.device = result.candidate.devicePath;
    report.file = firmware.path();
    report.sha256 = firmware.blockDataSha256(0);
    say(*m_output.err, QStringLiteral("zorbelflash: %1 (%2): %3; nothing written\n")
                           .arg(report.port, report.device, answerText(result)));
    emitReport(report, options.json, log);
    return InstrumentReport::exitStatusFor(report.outcome);
}

ExitStatus FlashTool::runJobs(QList<FlashJob *> &jobs, const CommandLine::Options &options, QIODevice *log)
{
    ProgressView view(human(options), humanIsTerminal(options));
    m_holdJson = options.json && view.isLive() && m_output.outIsTerminal;
    QEventLoop loop;
    int running = static_cast<int>(jobs.size());
    for (FlashJob *job : std::as_const(jobs)) {
        const int row = view.addRow(job->port(), job->blockTotal());
        connect(job, &FlashJob::progress, this,
                [&view, row, job] { view.update(row, {job->blocksDone(), job->elapsedMs()}); });
        connect(job, &FlashJob::finished, this, [&, row, job] {
            view.finishRow(row, closingText(*job));
            emitReport(job->report(), options.json, log);
            if (--running == 0)
                loop.quit();
        });
    }
    m_jobs = jobs;
    emit writesStarted(static_cast<int>(jobs.size()));
    for (FlashJob *job : std::as_const(jobs)) {
        if (m_interrupted)
            job->interrupt();
        else
            job->start();
    }
    if (running > 0)
        loop.exec();
    m_jobs.clear();
    m_holdJson = false;
    for (const QByteArray &line : std::as_const(m_deferredJson))
        m_output.out->write(line);
    m_deferredJson.clear();

    if (m_interrupted)
        return ExitStatus::Interrupted;
    // The first instrument in COM order that was not written decides.
    for (const FlashJob *job : std::as_const(jobs)) {
        const ExitStatus status = InstrumentReport::exitStatusFor(job->report().outcome);
        if (status != ExitStatus::Success)
            return status;
    }
    return ExitStatus::Success;
}

bool FlashTool::runScan(PortScan &scan, int waitMs)
{
    if (m_interrupted)
        return false;
    QEventLoop loop;
    connect(&scan, &PortScan::finished, &loop, &QEventLoop::quit);
    m_scan = &scan;
    scan.start(waitMs);
    if (scan.state() != PortScan::State::Finished)
        loop.exec();
    m_scan = nullptr;
    return !m_interrupted;
}

void FlashTool::emitReport(const InstrumentReport &report, bool json, QIODevice *log)
{
    const QByteArray line = report.toJsonLine();
    if (log != nullptr)
        log->write(line);
    if (!json)
        return;
    // A live display on the same terminal would be torn by lines written into it.
    if (m_holdJson)
        m_deferredJson.append(line);
    else
        m_output.out->write(line);
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

