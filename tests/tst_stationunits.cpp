// Station mode against units as a production line handles them: swapped behind a bench
// adapter that stays plugged in, pulled before their restart, slow to restart, back
// under another device number, behind a port that is busy for a while or that two
// stations watch. Each row counts the writes every unit received and the records.

#include "benchadapter.h"
#include "devicelock.h"
#include "firmwarefile.h"
#include "flashjob.h"
#include "hexfile.h"
#include "instrumentreport.h"
#include "stationmode.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int kFirmwareBytes = 1024; // 16 blocks
constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;
constexpr int kRoundsAfter = 3; // rounds watched after the last record, for a write too many
constexpr int kGiveUpMs = 60000;
constexpr int kBusyRounds = 3;

enum class Scenario {
    FailedThenOld,     // a write that fails, then the next unit with the old firmware
    PulledBeforeRestart, // pulled right after its end mark, the next one plugged in at once
    LongRestart,       // answers V only after the restart wait
    Renumbered,        // back under another device after its restart
    BusySpell,         // the port held by another program for a few rounds
    TwoStations,       // two stations watch the one port
    NeverTakes,        // answers the old version after every write
};

SimulatedInstrument::Config unit(int restartMs = 300)
{
    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.versionAfterWrite = kNewVersion;
    config.restartMs = restartMs;
    return config;
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestStationUnits : public QObject
{
    Q_OBJECT

private slots:
    void swaps_data();
    void swaps() { run(); }
    void peers_data();
    void peers() { run(); }
    void restarts_data();
    void restarts() { run(); }

private:
    static void columns();
    void run();
};

void TestStationUnits::columns()
{
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<QList<int>>("writes");      // per unit, in the order plugged in
    QTest::addColumn<QStringList>("records");    // outcomes, sorted
    QTest::addColumn<int>("checks");             // ports named for a check
}

void TestStationUnits::swaps_data()
{
    columns();
    QTest::newRow("failed write, then an old unit") << Scenario::FailedThenOld << QList<int>{1, 1}
                                                    << QStringList{"no-answer", "written"} << 0;
    QTest::newRow("pulled before its restart") << Scenario::PulledBeforeRestart << QList<int>{1, 1}
                                               << QStringList{"written", "wrong-version"} << 0;
}

// Another program or station on the port.
void TestStationUnits::peers_data()
{
    columns();
    QTest::newRow("busy spell") << Scenario::BusySpell << QList<int>{1} << QStringList{"written"} << 0;
    QTest::newRow("two stations on one port") << Scenario::TwoStations << QList<int>{1}
                                              << QStringList{"current", "written"} << 0;
}

void TestStationUnits::restarts_data()
{
    columns();
    QTest::newRow("restart longer than the wait") << Scenario::LongRestart << QList<int>{1}
                                                  << QStringList{"current", "no-restart"} << 0;
    // The port the write holds stays open through the restart: it confirms the write.
    QTest::newRow("renumbered on restart") << Scenario::Renumbered << QList<int>{1}
                                           << QStringList{"current", "written"} << 0;
    QTest::newRow("never takes the firmware") << Scenario::NeverTakes << QList<int>{2}
                                              << QStringList{"wrong-version", "wrong-version"} << 1;
}

void TestStationUnits::run()
{
    QFETCH(Scenario, scenario);
    QFETCH(QList<int>, writes);
    QFETCH(QStringList, records);
    QFETCH(int, checks);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(HexFile::firmware(kFirmwareBytes, 3)));
    hex.close();
    const QString slot1 = dir.filePath(QStringLiteral("slot1"));
    const QString slot2 = dir.filePath(QStringLiteral("slot2"));

    BenchAdapter adapter;
    QVERIFY(adapter.isValid());
    QVERIFY(QFile::link(adapter.devicePath(), slot1));
    qputenv("ZORBEL_PORTS", QStringLiteral("COM1=%1,COM2=%2").arg(slot1, slot2).toUtf8());

    SimulatedInstrument::Config first = unit();
    if (scenario == Scenario::FailedThenOld)
        first.stallAfterBlocks = 3;
    if (scenario == Scenario::PulledBeforeRestart || scenario == Scenario::LongRestart)
        first.restartMs = 1500;
    if (scenario == Scenario::Renumbered) {
        first.restartLink = slot1;
        first.relinkAs = slot2;
    }
    if (scenario == Scenario::NeverTakes)
        first.versionAfterWrite = -1;
    DeviceLock lock; // another program
    if (scenario == Scenario::BusySpell)
        QCOMPARE(lock.acquire(slot1), DeviceLock::Result::Locked);
    adapter.plug(first);

    StationMode::Timing timing;
    timing.requestTimeoutMs = 2000;
    timing.roundMs = 350;
    timing.restartWait = std::chrono::milliseconds(scenario == Scenario::LongRestart ? 500 : 3000);
    std::vector<std::unique_ptr<StationMode>> stations;
    QStringList seen;
    int checked = 0;
    int rounds = 0;
    for (int i = 0; i < (scenario == Scenario::TwoStations ? 2 : 1); ++i) {
        stations.push_back(std::make_unique<StationMode>(&PortScan::presentPorts, FirmwareFile::load(hexPath),
                                                         kNewVersion, timing));
        StationMode *station = stations.back().get();
        connect(station, &StationMode::writeFinished, this, [&](FlashJob *job) {
            seen.append(InstrumentReport::outcomeName(job->report().outcome));
            // The operator swaps the failed unit for the next one at once.
            if (scenario == Scenario::FailedThenOld && adapter.units() == 1)
                adapter.plug(unit());
        });
        connect(station, &StationMode::unitCurrent, this, [&] { seen.append(QStringLiteral("current")); });
        connect(station, &StationMode::portNeedsCheck, this, [&] { ++checked; });
    }
    connect(stations.front().get(), &StationMode::roundFinished, this, [&] {
        if (++rounds == kBusyRounds)
            lock.release();
    });

    int settledAt = -1;
    QElapsedTimer clock;
    clock.start();
    QTimer script;
    connect(&script, &QTimer::timeout, this, [&] {
        // Pulled as soon as its end mark is in, the next unit in its place.
        if (scenario == Scenario::PulledBeforeRestart && adapter.units() == 1 && adapter.endsOfCurrent() == 1)
            adapter.plug(unit());
        if (settledAt < 0 && seen.size() >= records.size())
            settledAt = rounds;
        if ((settledAt >= 0 && rounds >= settledAt + kRoundsAfter) || clock.elapsed() > kGiveUpMs) {
            for (auto it = stations.rbegin(); it != stations.rend(); ++it)
                (*it)->stop(); // the innermost first
        }
    });
    script.start(10);
    // The second station runs inside the first one's event loop.
    if (stations.size() > 1)
        QTimer::singleShot(0, this, [&] { stations.back()->run(); });
    stations.front()->run();
    script.stop();
    qputenv("ZORBEL_PORTS", "");

    QList<int> received;
    for (int i = 0; i < adapter.units(); ++i)
        received.append(adapter.writes(i));
    QCOMPARE(received, writes);
    seen.sort();
    QCOMPARE(seen, records);
    QCOMPARE(checked, checks);
}

QTEST_GUILESS_MAIN(TestStationUnits)
#include "tst_stationunits.moc"
