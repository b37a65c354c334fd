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
#include "instrumenttexts.h"
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
constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;      // what the firmware written brings
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
    return timing;
}

// A unit with the old firmware that comes back with the new one after its write.
SimulatedInstrument::Config oldUnit()
{
    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.versionAfterWrite = kNewVersion;
    return config;
}

PortScan::PortState answerOf(QChar c)
{
    switch (c.toLatin1()) {
    case 'O':
    case 'V':
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
    void portRule_data();
    void portRule();
    void writesEachConnectionOnce();
    void firstFailedWriteDecides_data();
    void firstFailedWriteDecides();
    void refusedPortDecidesWhenNothingWritten();
    void appearingPortIsAskedAtOnce();
    void endingItInterruptsTheWrite();
    void signalsEndTheProgram_data();
    void signalsEndTheProgram();

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

    const QStringList v{"--expect-version", "1.24"};
    QTest::newRow("every port") << QStringList{"write", "F", "--watch"} + v << true << "";
    QTest::newRow("one port") << QStringList{"write", "F", "--watch", "--port", "COM3"} + v << true << "";
    QTest::newRow("records") << QStringList{"write", "F", "--watch", "--json", "--log", "L"} + v << true << "";
    QTest::newRow("no version") << QStringList{"write", "F", "--watch"} << true << "--watch needs --expect-version";
    QTest::newRow("station") << QStringList{"station", "P", "--journal", "--json"} << false << "";
    QTest::newRow("station, --port") << QStringList{"station", "P", "--port", "COM1"} << false << "from the profile";
    QTest::newRow("with --wait") << QStringList{"write", "F", "--watch", "--wait", "3"} + v << true << "--wait";
    QTest::newRow("with --count") << QStringList{"write", "F", "--watch", "--all", "--count", "2"} + v << true
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

// The station's rule, one letter a round: O a unit with the old firmware, V one with
// the expected version, - silence, x no device, b busy, o another device's reply. A
// write ends within its round, and the port then answered `after`: V, O, - (nothing
// while the unit restarts) or f (the write failed, nothing asked). The verdicts, one
// letter a round: W written, C named current, K named for a check, . nothing.
void TestStationMode::portRule_data()
{
    QTest::addColumn<QString>("answers");
    QTest::addColumn<QChar>("after");
    QTest::addColumn<QString>("verdicts");

    QTest::newRow("old firmware written, then done") << "OVVV" << QChar('V') << "W...";
    QTest::newRow("current, named once an appearance") << "VVVxV" << QChar('V') << "C...C";
    QTest::newRow("written unit swapped for an old one") << "OVO" << QChar('V') << "W.W";
    QTest::newRow("failed write, next old unit written") << "OO" << QChar('f') << "WW";
    QTest::newRow("busy spell, then written") << "bbbO" << QChar('V') << "...W";
    QTest::newRow("never at V: twice, then a check") << "OOOO" << QChar('O') << "WWK.";
    QTest::newRow("check ends when empty") << "OOO-O" << QChar('O') << "WWK.W";
    QTest::newRow("check ends with V") << "OOOVO" << QChar('O') << "WWKCW";
    QTest::newRow("empty between failed writes") << "O-O-O" << QChar('f') << "W.W.W";
    QTest::newRow("restart silence keeps the bound") << "O-O-O-" << QChar('-') << "W.W.K.";
    QTest::newRow("late V after the wait") << "O--V" << QChar('-') << "W..C";
    QTest::newRow("another device is empty") << "OVoV" << QChar('V') << "W..C";
}

void TestStationMode::portRule()
{
    QFETCH(QString, answers);
    QFETCH(QChar, after);
    QFETCH(QString, verdicts);

    WatchedPort port(kNewVersion);
    QString seen;
    for (const QChar c : answers) {
        const int version = c == QLatin1Char('V') ? kNewVersion : kOldVersion;
        switch (port.takeAnswer(answerOf(c), version)) {
        case WatchedPort::Verdict::Write:
            seen += QLatin1Char('W');
            QCOMPARE(port.takeAnswer(answerOf(c), version), WatchedPort::Verdict::Nothing); // not asked while writing
            port.endWrite(after == QLatin1Char('V') ? kNewVersion : after == QLatin1Char('O') ? kOldVersion : -1,
                          after == QLatin1Char('-'));
            break;
        case WatchedPort::Verdict::Current:
            seen += QLatin1Char('C');
            break;
        case WatchedPort::Verdict::NeedsCheck:
            seen += QLatin1Char('K');
            break;
        case WatchedPort::Verdict::Nothing:
            seen += QLatin1Char('.');
            break;
        }
    }
    QCOMPARE(seen, verdicts);
}

// Two instruments plugged in at once are written side by side and, while they stay
// connected, not again; one unplugged and plugged in again answers the new version and
// is recorded current. A busy port is named once. Ended between writes, every write
// written: status 0.
void TestStationMode::writesEachConnectionOnce()
{
    SimulatedInstrument first(oldUnit());
    SimulatedInstrument second(oldUnit());
    SimulatedInstrument held(oldUnit());
    QVERIFY(first.isValid() && second.isValid() && held.isValid());
    QVERIFY(plugIn(3, held));
    DeviceLock lock; // another program holds COM3
    QCOMPARE(lock.acquire(linkPath(3)), DeviceLock::Result::Locked);
    mapPorts(3);

    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), kNewVersion, shortTiming());
    QSignalSpy started(&station, &StationMode::writeStarted);
    QSignalSpy finished(&station, &StationMode::writeFinished);
    QSignalSpy unavailable(&station, &StationMode::portUnavailable);
    QSignalSpy current(&station, &StationMode::unitCurrent);
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
        {"named current", [&] { return current.size() == 1; }, [&] { station.stop(); }},
    };
    const QString missed = runScript(steps, [&] { station.run(); status = stationStatus(station); }, [&] { station.stop(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed));

    QCOMPARE(status, ExitStatus::Success);
    QCOMPARE(started.size(), 2);
    QCOMPARE(first.transfersStarted(), 1);
    QCOMPARE(second.transfersStarted(), 1);
    QCOMPARE(held.transfersStarted(), 0);
    for (const InstrumentReport &report : std::as_const(reports))
        QCOMPARE(report.outcome, InstrumentReport::Outcome::Written);
    QCOMPARE(first.flash().left(kFirmwareBytes), firmware);
    QCOMPARE(second.flash().left(kFirmwareBytes), firmware);
    QCOMPARE(unavailable.size(), 1); // said once, however many rounds found it busy
    QCOMPARE(unavailable.first().first().value<PortScan::PortResult>().candidate.name, QStringLiteral("COM3"));
    QCOMPARE(InstrumentTexts::stationSummary(station), QStringLiteral("2 written, 1 already current; refused: COM3"));
}

// An instrument that fails mid-way beside one that is written: the first write that was
// not written decides the status, and the summary names its port. The failed one that
// stays connected (stalled) still answers its old version and is written once more; one
// that is gone (hung up) is not.
void TestStationMode::firstFailedWriteDecides_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<InstrumentReport::Outcome>("outcome");
    QTest::addColumn<ExitStatus>("status");
    QTest::addColumn<int>("writes");

    QTest::newRow("stalls") << "stall" << InstrumentReport::Outcome::NoAnswer << ExitStatus::NoAnswer << 2;
    QTest::newRow("hangs up") << "hangup" << InstrumentReport::Outcome::ConnectionLost << ExitStatus::ConnectionLost
                              << 1;
}

void TestStationMode::firstFailedWriteDecides()
{
    QFETCH(QString, fault);
    QFETCH(InstrumentReport::Outcome, outcome);
    QFETCH(ExitStatus, status);
    QFETCH(int, writes);

    SimulatedInstrument::Config faulty = oldUnit();
    if (fault == QLatin1String("stall"))
        faulty.stallAfterBlocks = 5;
    else
        faulty.hangUpAfterBlocks = 5;
    SimulatedInstrument good(oldUnit());
    SimulatedInstrument failing(faulty);
    QVERIFY(plugIn(1, good) && plugIn(2, failing));
    mapPorts(2);

    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), kNewVersion, shortTiming());
    QList<InstrumentReport> reports;
    connect(&station, &StationMode::writeFinished, this, [&](FlashJob *job) { reports.append(job->report()); });
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] { ++rounds; });
    int mark = 0;

    ExitStatus ended = ExitStatus::UsageError;
    const QList<Step> steps = {
        {"every write over", [&] { return reports.size() == 1 + writes; }, [&] { mark = rounds; }},
        {"two rounds more", [&] { return rounds >= mark + 2; }, [&] { station.stop(); }},
    };
    const QString missed = runScript(steps, [&] { station.run(); ended = stationStatus(station); }, [&] { station.stop(); });
    QVERIFY2(missed.isEmpty(), qPrintable(QStringLiteral("never came: ") + missed));

    QCOMPARE(reports.size(), 1 + writes);
    const InstrumentReport &failed = reports.at(0).port == QLatin1String("COM2") ? reports.at(0) : reports.at(1);
    QCOMPARE(failed.outcome, outcome);
    QCOMPARE(ended, status);
    QCOMPARE(InstrumentTexts::stationSummary(station), QStringLiteral("1 written, %1 incomplete (%2)")
                                    .arg(writes)
                                    .arg(QStringList(writes, QStringLiteral("COM2")).join(QStringLiteral(", "))));
    QCOMPARE(failing.transfersStarted(), writes);
}

// A station that wrote nothing while a port it watched was held by another program
// ends as a write --all would: status 6, and the summary names the port.
void TestStationMode::refusedPortDecidesWhenNothingWritten()
{
    SimulatedInstrument held(oldUnit());
    QVERIFY(plugIn(1, held));
    DeviceLock lock;
    QCOMPARE(lock.acquire(linkPath(1)), DeviceLock::Result::Locked);
    mapPorts(1);
    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), kNewVersion, shortTiming());
    QSignalSpy unavailable(&station, &StationMode::portUnavailable);
    int rounds = 0;
    connect(&station, &StationMode::roundFinished, this, [&] {
        if (++rounds == 3)
            station.stop();
    });
    station.run();
    QCOMPARE(stationStatus(station), ExitStatus::PortUnavailable);
    QCOMPARE(unavailable.size(), 1);
    QCOMPARE(InstrumentTexts::stationSummary(station), QStringLiteral("0 written; refused: COM1"));
}

// Rounds ten minutes apart: a unit plugged in is asked because its port appeared.
void TestStationMode::appearingPortIsAskedAtOnce()
{
    SimulatedInstrument unit(oldUnit());
    QVERIFY(unit.isValid());
    mapPorts(1);
    StationMode::Timing timing = shortTiming();
    timing.roundMs = 600000;
    StationMode station(&PortScan::presentPorts, FirmwareFile::load(hexPath), kNewVersion, timing);
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

// The command line end to end: write FILE --watch --json --log, ended twice while a
// write runs (the first only stops the station taking units). That write stops without its end marker, is recorded "interrupted" on standard
// output and in the log, the summary names it, and the status is 130.
void TestStationMode::endingItInterruptsTheWrite()
{
    SimulatedInstrument::Config paced = oldUnit();
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
        {"a few blocks written", [&] { return instrument.blockAddresses().size() >= 3; },
         [&] {
             tool.interrupt();
             tool.interrupt();
         }},
    };
    const QString missed = runScript(
        steps,
        [&] {
            status = tool.run({QStringLiteral("zorbelflash"), QStringLiteral("write"), hexPath,
                               QStringLiteral("--watch"), QStringLiteral("--expect-version"), QStringLiteral("1.24"),
                               QStringLiteral("--json"), QStringLiteral("--log"), logPath});
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

// The program itself, ended by signals while it writes (SIGHUP: its terminal or SSH
// session gone; SIGTERM: systemctl stop): one signal lets the write end, confirmed, and
// the program then ends; a second one stops the write as Ctrl-C does, status 130.
void TestStationMode::signalsEndTheProgram_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("times");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("summary");

    QTest::newRow("SIGTERM once") << int(SIGTERM) << 1 << "written" << 0 << "1 written\n";
    QTest::newRow("SIGHUP twice") << int(SIGHUP) << 2 << "interrupted" << 130 << "0 written, 1 incomplete (COM1)\n";
}

void TestStationMode::signalsEndTheProgram()
{
    QFETCH(int, signal);
    QFETCH(int, times);
    QFETCH(QString, outcome);
    QFETCH(int, status);
    QFETCH(QString, summary);

    SimulatedInstrument::Config paced = oldUnit();
    paced.baudRate = 19200;
    SimulatedInstrument instrument(paced);
    QVERIFY(plugIn(1, instrument));

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", QStringLiteral("COM1=") + linkPath(1));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--watch", "--expect-version", "1.24", "--json"});
    QVERIFY(program.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= 3, 10000);
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), signal) == 0);
    QByteArray messages;
    if (times > 1) {
        QTRY_VERIFY_WITH_TIMEOUT((messages += program.readAllStandardError()).contains("stopping after the running writes"),
                                 10000);
        QVERIFY(::kill(static_cast<pid_t>(program.processId()), signal) == 0);
    }
    QVERIFY(program.waitForFinished(30000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    QCOMPARE(instrument.endReceived(), times == 1);
    const QJsonObject record = QJsonDocument::fromJson(program.readAllStandardOutput()).object();
    QCOMPARE(record.value(QStringLiteral("outcome")).toString(), outcome);
    messages += program.readAllStandardError();
    QVERIFY2(messages.endsWith(summary.toUtf8()), messages.constData());
}

QTEST_GUILESS_MAIN(TestStationMode)
#include "tst_stationmode.moc"
