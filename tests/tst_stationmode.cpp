// Station mode of zorbelflash against simulated instruments that come and go: a port is
// a link in a temporary folder (named in ZORBEL_PORTS), plugging in is making the link
// to an instrument's pseudo-terminal, unplugging is removing it. Rounds and request
// time-outs are short, and every wait is for something the instruments or the rounds
// show, never for a time.

#include "commandline.h"
#include "devicelock.h"
#include "exitstatus.h"
#include "firmwarefile.h"
#include "flashjob.h"
#include "flashtool.h"
#include "hexfile.h"
#include "instrumentreport.h"
#include "simulatedinstrument.h"
#include "stationmode.h"
#include "watchedport.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kFirmwareBytes = 8192; // 128 blocks
constexpr int kRequestTimeoutMs = 2000; // a write on a loaded machine is not given up by chance
constexpr int kRoundMs = 350;         // the shortest round: the reply wait and a little
constexpr int kReplyWaitMs = 300;
constexpr int kRearmAfterMs = 300;    // silence that arms a port whose unit left the station in doubt
constexpr int kPollMs = 10;
constexpr int kStepLimitMs = 5000;    // a step not reached by then fails the test

// One step of a scripted run: when `when` holds, `then` is done and the next step waits.
struct Step
{
    const char *what;
    std::function<bool()> when;
    std::function<void()> then;
};

// Runs the steps on a timer while `run` runs the event loop; the text of the step that
// was never reached, or empty. `stop` ends the run when a step is not reached.
QString runScript(const QList<Step> &steps, const std::function<void()> &run, const std::function<void()> &stop)
{
    QString missed;
    int next = 0;
    QElapsedTimer stepClock;
    stepClock.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        while (next < steps.size() && steps.at(next).when()) {
            steps.at(next).then();
            ++next;
            stepClock.start();
        }
        if (next < steps.size() && stepClock.elapsed() > kStepLimitMs) {
            missed = QString::fromLatin1(steps.at(next).what);
            next = static_cast<int>(steps.size());
            stop();
        }
    });
    poll.start(kPollMs);
    run();
    return missed;
}

StationMode::Timing shortTiming()
{
    StationMode::Timing timing;
    timing.requestTimeoutMs = kRequestTimeoutMs;
    timing.roundMs = kRoundMs;
    timing.replyWaitMs = kReplyWaitMs;
    timing.rearmAfter = std::chrono::milliseconds(kRearmAfterMs);
    return timing;
}

PortScan::PortState answerOf(QChar c)
{
    switch (c.toLatin1()) {
    case 'F':
    case 'N':
    case 'S':
        return PortScan::PortState::Found;
    case '-':
        return PortScan::PortState::NoAnswer;
    case 'o':
        return PortScan::PortState::OtherReply;
    case 'x':
        return PortScan::PortState::NoSuchDevice;
    case 'b':
        return PortScan::PortState::Busy;
    default:
        break;
    }
    return PortScan::PortState::PermissionDenied;
}

} // namespace

class TestStationMode : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandLine_data();
    void commandLine();
    void connectionRule_data();
    void connectionRule();
    void writesEachConnectionOnce();
    void firstFailedWriteDecides_data();
    void firstFailedWriteDecides();
    void refusedPortDecidesWhenNothingWritten();
    void appearingPortIsAskedAtOnce();
    void endingItInterruptsTheWrite();
    void hangUpEndsTheProgram();

private:
    QString linkPath(int com) const;
    bool plugIn(int com, const SimulatedInstrument &instrument) const;
    bool unplug(int com) const;
    void mapPorts(int count) const;

    std::unique_ptr<QTemporaryDir> dir;
    QByteArray firmware;
    QString hexPath;
};

void TestStationMode::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    firmware = HexFile::firmware(kFirmwareBytes, 5);
    hexPath = dir->filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(firmware));
}

void TestStationMode::cleanup()
{
    qputenv("ZORBEL_PORTS", "");
}

QString TestStationMode::linkPath(int com) const
{
    return dir->filePath(QStringLiteral("slot%1").arg(com));
}

bool TestStationMode::plugIn(int com, const SimulatedInstrument &instrument) const
{
    return instrument.isValid() && QFile::link(instrument.devicePath(), linkPath(com));
}

bool TestStationMode::unplug(int com) const
{
    return QFile::remove(linkPath(com));
}

// COM1 .. COMcount, each the link of its slot, whether plugged in or not.
void TestStationMode::mapPorts(int count) const
{
    QStringList pairs;
    for (int com = 1; com <= count; ++com)
        pairs.append(QStringLiteral("COM%1=%2").arg(com).arg(linkPath(com)));
    qputenv("ZORBEL_PORTS", pairs.join(QLatin1Char(',')).toUtf8());
}

void TestStationMode::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("watch");
    QTest::addColumn<QString>("error"); // a part of the error text; empty: valid

    QTest::newRow("every port") << QStringList{"write", "F", "--watch"} << true << "";
    QTest::newRow("one port") << QStringList{"write", "F", "--watch", "--port", "COM3"} << true << "";
    QTest::newRow("records") << QStringList{"write", "F", "--watch", "--json", "--log", "L"} << true << "";
    QTest::newRow("with --wait") << QStringList{"write", "F", "--watch", "--wait", "3"} << true << "--wait";
    QTest::newRow("with --count") << QStringList{"write", "F", "--watch", "--all", "--count", "2"} << true
                                  << "--count";
    QTest::newRow("check") << QStringList{"check", "F", "--watch"} << true << "check takes no option";
    QTest::newRow("list") << QStringList{"list", "--watch"} << true << "list takes no options";
    QTest::newRow("write without it") << QStringList{"write", "F"} << false << "";
}

void TestStationMode::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, watch);
    QFETCH(QString, error);

    const CommandLine::Result result = CommandLine::parse(QStringList{"zorbelflash"} + arguments);
    QVERIFY2(error.isEmpty() ? result.error.isEmpty() : result.error.contains(error), qPrintable(result.error));
    if (error.isEmpty())
        QCOMPARE(result.options.watch, watch);
}

// The rule that tells a written unit from the next one, one letter a round, a second
// apart: F the unit with its old firmware (V1.23), N it with the new one (V1.24), S a
// unit with V1.23 behind another device, - silence, x no device, b busy, o another
// device's reply. A write ends within its round; the unit then answers `after`
// (-1: nothing). Ports are armed again after 5 s of silence where in doubt.
void TestStationMode::connectionRule_data()
{
    QTest::addColumn<QString>("answers");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("writes");

    QTest::newRow("waits for the first answer") << "-x-oF" << 124 << 1;
    QTest::newRow("new firmware, stays") << "FNNNN" << 124 << 1;
    QTest::newRow("new firmware, long silence") << "F----------N" << 124 << 1;
    QTest::newRow("new firmware, device gone and back") << "FxxxxxxxN" << 124 << 1;
    QTest::newRow("swapped for the factory firmware") << "FNNF" << 124 << 2;
    QTest::newRow("swapped within one round") << "FF" << 124 << 2;
    QTest::newRow("another device, same version") << "FNS" << 124 << 2;
    QTest::newRow("same version, stays") << "FFFFFFFF" << 123 << 1;
    QTest::newRow("same version, short silence") << "F---F" << 123 << 1;
    QTest::newRow("same version, 5 s silence") << "F------F" << 123 << 2;
    QTest::newRow("same version, 5 s without device") << "Fxxxxx-F" << 123 << 2;
    QTest::newRow("same version never loops") << "F-------F-------F-------F" << 123 << 2;
    QTest::newRow("no answer after the write") << "F-----F" << -1 << 2;
    QTest::newRow("held by another program") << "bFFFF" << 124 << 0;
    QTest::newRow("held elsewhere, then 5 s free") << "bF------F" << 124 << 1;
}

void TestStationMode::connectionRule()
{
    QFETCH(QString, answers);
    QFETCH(int, after);
    QFETCH(int, writes);

    WatchedPort port(std::chrono::seconds(5));
    WatchedPort::Clock::time_point now{};
    int started = 0;
    for (const QChar c : answers) {
        now += std::chrono::seconds(1);
        WatchedPort::Observation seen;
        seen.state = answerOf(c);
        seen.version = c == QLatin1Char('N') ? 124 : 123;
        seen.deviceId = c == QLatin1Char('S') ? QStringLiteral("B") : QStringLiteral("A");
        if (port.takeAnswer(seen, now)) {
            ++started;
            QCOMPARE(port.state(), WatchedPort::State::Writing);
            QVERIFY(!port.takeAnswer(seen, now)); // not asked while writing
            port.endWrite(after, now);
        }
    }
    QCOMPARE(started, writes);
}

// Two instruments plugged in at once are written side by side and, while they stay
// connected, not again; one unplugged and plugged in again is written again. A busy
// port is named once. Ended between writes, every write written: status 0.
void TestStationMode::writesEachConnectionOnce()
{
    SimulatedInstrument first;
    SimulatedInstrument second;
    SimulatedInstrument held;
    QVERIFY(first.isValid() && second.isValid() && held.isValid());
    QVERIFY(plugIn(3, held));
    DeviceLock lock; // another program holds COM3
    QCOMPARE(lock.acquire(linkPath(3)), DeviceLock::Result::Locked);
    mapPorts(3);

    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), shortTiming());
    QSignalSpy started(&station, &StationMode::writeStarted);
    QSignalSpy finished(&station, &StationMode::writeFinished);
    QSignalSpy unavailable(&station, &StationMode::portUnavailable);
    QList<InstrumentReport> reports;
    connect(&station, &StationMode::writeFinished, this, [&](FlashJob *job) { reports.append(job->report()); });
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] { ++rounds; });
    int mark = 0;

    ExitStatus status = ExitStatus::UsageError;
    const QList<Step> steps = {
        {"a round without instruments", [&] { return rounds >= 1; },
         [&] { QVERIFY(plugIn(1, first) && plugIn(2, second)); }},
        {"both written", [&] { return finished.size() == 2; }, [&] { mark = rounds; }},
        {"two rounds with both connected", [&] { return rounds >= mark + 2; },
         [&] {
             QCOMPARE(first.transfersStarted(), 1);
             QVERIFY(unplug(1));
             mark = rounds;
         }},
        // The round going on may have seen COM1 still there; the next one has not.
        {"a round with COM1 unplugged", [&] { return rounds >= mark + 2; },
         [&] { QVERIFY(plugIn(1, first)); }},
        {"written again", [&] { return finished.size() == 3; }, [&] { station.stop(); }},
    };
    const QString missed = runScript(steps, [&] { status = station.run(); }, [&] { station.stop(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed));

    QCOMPARE(status, ExitStatus::Success);
    QCOMPARE(started.size(), 3);
    QCOMPARE(first.transfersStarted(), 2);
    QCOMPARE(second.transfersStarted(), 1);
    QCOMPARE(held.transfersStarted(), 0);
    for (const InstrumentReport &report : std::as_const(reports))
        QCOMPARE(report.outcome, InstrumentReport::Outcome::Written);
    QCOMPARE(first.flash().left(kFirmwareBytes), firmware);
    QCOMPARE(second.flash().left(kFirmwareBytes), firmware);
    QCOMPARE(unavailable.size(), 1); // said once, however many rounds found it busy
    QCOMPARE(unavailable.first().first().value<PortScan::PortResult>().candidate.name, QStringLiteral("COM3"));
    QCOMPARE(station.summary(), QStringLiteral("3 written; refused: COM3"));
}

// An instrument that fails mid-way beside one that is written: the first write that was
// not written decides the status, and the summary names its port. The failed one stays
// connected (stalled) or is gone (hung up); either way it is not written again.
void TestStationMode::firstFailedWriteDecides_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<InstrumentReport::Outcome>("outcome");
    QTest::addColumn<ExitStatus>("status");

    QTest::newRow("stalls") << "stall" << InstrumentReport::Outcome::NoAnswer << ExitStatus::NoAnswer;
    QTest::newRow("hangs up") << "hangup" << InstrumentReport::Outcome::ConnectionLost << ExitStatus::ConnectionLost;
}

void TestStationMode::firstFailedWriteDecides()
{
    QFETCH(QString, fault);
    QFETCH(InstrumentReport::Outcome, outcome);
    QFETCH(ExitStatus, status);

    SimulatedInstrument::Config faulty;
    if (fault == QLatin1String("stall"))
        faulty.stallAfterBlocks = 5;
    else
        faulty.hangUpAfterBlocks = 5;
    SimulatedInstrument good;
    SimulatedInstrument failing(faulty);
    QVERIFY(plugIn(1, good) && plugIn(2, failing));
    mapPorts(2);

    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), shortTiming());
    QList<InstrumentReport> reports;
    connect(&station, &StationMode::writeFinished, this, [&](FlashJob *job) { reports.append(job->report()); });
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] { ++rounds; });
    int mark = 0;

    ExitStatus ended = ExitStatus::UsageError;
    const QList<Step> steps = {
        {"both writes over", [&] { return reports.size() == 2; }, [&] { mark = rounds; }},
        {"two rounds more", [&] { return rounds >= mark + 2; }, [&] { station.stop(); }},
    };
    const QString missed = runScript(steps, [&] { ended = station.run(); }, [&] { station.stop(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed));

    QCOMPARE(reports.size(), 2);
    const InstrumentReport &failed = reports.at(0).port == QLatin1String("COM2") ? reports.at(0) : reports.at(1);
    QCOMPARE(failed.outcome, outcome);
    QCOMPARE(ended, status);
    QCOMPARE(station.summary(), QStringLiteral("1 written, 1 incomplete (COM2)"));
    QCOMPARE(failing.transfersStarted(), 1);
}

// A station that wrote nothing while a port it watched was held by another program
// ends as a write --all would: status 6, and the summary names the port.
void TestStationMode::refusedPortDecidesWhenNothingWritten()
{
    SimulatedInstrument held;
    QVERIFY(plugIn(1, held));
    DeviceLock lock;
    QCOMPARE(lock.acquire(linkPath(1)), DeviceLock::Result::Locked);
    mapPorts(1);
    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), shortTiming());
    QSignalSpy unavailable(&station, &StationMode::portUnavailable);
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] {
        if (++rounds == 3)
            station.stop();
    });
    QCOMPARE(station.run(), ExitStatus::PortUnavailable);
    QCOMPARE(unavailable.size(), 1);
    QCOMPARE(station.summary(), QStringLiteral("0 written; refused: COM1"));
}

// Rounds ten minutes apart: a unit plugged in is asked because its port appeared.
void TestStationMode::appearingPortIsAskedAtOnce()
{
    SimulatedInstrument unit;
    QVERIFY(unit.isValid());
    mapPorts(1);
    StationMode::Timing timing = shortTiming();
    timing.roundMs = 600000;
    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), timing);
    QSignalSpy finished(&station, &StationMode::writeFinished);
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] { ++rounds; });
    const QList<Step> steps = {
        {"the first round", [&] { return rounds >= 1; }, [&] { QVERIFY(plugIn(1, unit)); }},
        {"written", [&] { return finished.size() == 1; }, [&] { station.stop(); }},
    };
    const QString missed = runScript(steps, [&] { station.run(); }, [&] { station.stop(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed));
    QCOMPARE(unit.transfersEnded(), 1);
}

// The command line end to end: write FILE --watch --json --log, ended while a write
// runs. That write stops without its end marker, is recorded "interrupted" on standard
// output and in the log, the summary names it, and the status is 130.
void TestStationMode::endingItInterruptsTheWrite()
{
    SimulatedInstrument::Config paced;
    paced.baudRate = 19200; // 128 blocks take about 4.6 s
    SimulatedInstrument instrument(paced);
    QVERIFY(plugIn(1, instrument));
    mapPorts(1);

    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    FlashTool::Output output;
    output.out = &out;
    output.err = &err;
    FlashTool tool(output, kRequestTimeoutMs);
    const QString logPath = dir->filePath(QStringLiteral("station.log"));

    ExitStatus status = ExitStatus::Success;
    const QList<Step> steps = {
        {"a few blocks written", [&] { return instrument.blockAddresses().size() >= 3; }, [&] { tool.interrupt(); }},
    };
    const QString missed = runScript(
        steps,
        [&] {
            status = tool.run({QStringLiteral("zorbelflash"), QStringLiteral("write"), hexPath,
                               QStringLiteral("--watch"), QStringLiteral("--json"), QStringLiteral("--log"), logPath});
        },
        [&] { tool.interrupt(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed + QString::fromUtf8(err.data())));

    QCOMPARE(status, ExitStatus::Interrupted);
    QVERIFY(!instrument.endReceived());
    const QList<QByteArray> lines = out.data().split('\n');
    QCOMPARE(lines.size(), 2); // one record and the empty rest after its line feed
    const QJsonObject record = QJsonDocument::fromJson(lines.first()).object();
    QCOMPARE(record.value(QStringLiteral("outcome")).toString(), QStringLiteral("interrupted"));
    QCOMPARE(record.value(QStringLiteral("port")).toString(), QStringLiteral("COM1"));
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), out.data());
    QVERIFY2(err.data().endsWith("0 written, 1 incomplete (COM1)\n"), err.data().constData());
}

// The program itself, its terminal or SSH session gone (SIGHUP) while it writes: the
// write stops as on Ctrl-C, its record says so, the summary names it, status 130.
void TestStationMode::hangUpEndsTheProgram()
{
    SimulatedInstrument::Config paced;
    paced.baudRate = 19200;
    SimulatedInstrument instrument(paced);
    QVERIFY(plugIn(1, instrument));

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", QStringLiteral("COM1=") + linkPath(1));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--watch", "--json"});
    QVERIFY(program.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= 3, 10000);
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGHUP) == 0);
    QVERIFY(program.waitForFinished(10000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 130);
    QVERIFY(!instrument.endReceived());
    const QJsonObject record = QJsonDocument::fromJson(program.readAllStandardOutput()).object();
    QCOMPARE(record.value(QStringLiteral("outcome")).toString(), QStringLiteral("interrupted"));
    const QByteArray messages = program.readAllStandardError();
    QVERIFY2(messages.endsWith("0 written, 1 incomplete (COM1)\n"), messages.constData());
}

QTEST_GUILESS_MAIN(TestStationMode)
#include "tst_stationmode.moc"
