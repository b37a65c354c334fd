// Station mode against units that behave as real ones do after their write: they
// restart (deaf for a while, or gone from the bus and back), come back with their new
// firmware, are swapped for the next unit, answer slowly, or stand on a port that two
// stations watch. Each case counts the writes every instrument received.

#include "firmwarefile.h"
#include "flashjob.h"
#include "hexfile.h"
#include "simulatedinstrument.h"
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
constexpr int kOtherVersion = 120;
constexpr int kRoundsAfter = 3;      // rounds watched after the last write, for a write too many
constexpr int kWaitMs = 30000;

} // namespace

class TestStationUnits : public QObject
{
    Q_OBJECT

private slots:
    void restarts_data();
    void restarts() { run(); }
    void longRestarts_data();
    void longRestarts() { run(); }
    void swapsAndPeers_data();
    void swapsAndPeers() { run(); }

private:
    static void columns();
    void run();
};

void TestStationUnits::columns()
{
    QTest::addColumn<int>("restartMs");
    QTest::addColumn<bool>("portGone");     // the link is gone during the restart
    QTest::addColumn<int>("versionAfter");  // -1: the version it had
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<int>("swapAfterMs");   // another unit on the port this long after the write; -1: none
    QTest::addColumn<int>("stations");
}

void TestStationUnits::restarts_data()
{
    columns();
    QTest::newRow("restart 0.3 s") << 300 << false << kNewVersion << 0 << -1 << 1;
    QTest::newRow("restart 0.3 s, port gone") << 300 << true << kNewVersion << 0 << -1 << 1;
    QTest::newRow("restart 1 s, same version") << 1000 << false << -1 << 0 << -1 << 1;
}

void TestStationUnits::longRestarts_data()
{
    columns();
    QTest::newRow("restart 3 s") << 3000 << false << kNewVersion << 0 << -1 << 1;
    QTest::newRow("restart 3 s, port gone") << 3000 << true << kNewVersion << 0 << -1 << 1;
}

void TestStationUnits::swapsAndPeers_data()
{
    columns();
    QTest::newRow("swap 0.2 s after the write") << 1000 << false << kNewVersion << 0 << 200 << 1;
    QTest::newRow("slow replier") << 0 << false << kNewVersion << 800 << -1 << 1;
    QTest::newRow("two stations on one port") << 300 << true << kNewVersion << 0 << -1 << 2;
}

void TestStationUnits::run()
{
    QFETCH(int, restartMs);
    QFETCH(bool, portGone);
    QFETCH(int, versionAfter);
    QFETCH(int, replyDelayMs);
    QFETCH(int, swapAfterMs);
    QFETCH(int, stations);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(HexFile::firmware(kFirmwareBytes, 3)));
    hex.close();
    const QString link = dir.filePath(QStringLiteral("slot1"));

    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.restartMs = restartMs;
    config.restartLink = portGone ? link : QString();
    config.versionAfterWrite = versionAfter;
    config.replyDelayMs = replyDelayMs;
    SimulatedInstrument unit(config);
    SimulatedInstrument::Config otherConfig;
    otherConfig.version = kOtherVersion;
    SimulatedInstrument other(otherConfig);
    QVERIFY(unit.isValid() && other.isValid());
    QVERIFY(QFile::link(unit.devicePath(), link));
    qputenv("ZORBEL_PORTS", QStringLiteral("COM1=%1").arg(link).toUtf8());

    StationMode::Timing timing;
    timing.requestTimeoutMs = 2000;
    timing.roundMs = 350;
    std::vector<std::unique_ptr<StationMode>> watching;
    int written = 0;
    int rounds = 0;
    for (int i = 0; i < stations; ++i) {
        watching.push_back(std::make_unique<StationMode>(&PortScan::presentPorts,
                                                         FirmwareFile::load(hexPath), timing));
        connect(watching.back().get(), &StationMode::writeFinished, this, [&written] { ++written; });
    }
    connect(watching.front().get(), &StationMode::roundFinished, this, [&rounds] { ++rounds; });
    const int writesWanted = swapAfterMs >= 0 ? 2 : 1;
    int settledAt = -1;

    // The script: swap when due; stop once every write is over and a few rounds more passed.
    QElapsedTimer clock;
    clock.start();
    QTimer script;
    connect(&script, &QTimer::timeout, this, [&] {
        if (swapAfterMs >= 0 && unit.transfersEnded() == 1 && other.transfersStarted() == 0
            && QFile::symLinkTarget(link) == unit.devicePath()) {
            QTimer::singleShot(swapAfterMs, this, [&] {
                QFile::remove(link);
                QFile::link(other.devicePath(), link);
            });
            swapAfterMs = -2; // done
        }
        if (settledAt < 0 && written >= writesWanted)
            settledAt = rounds;
        const bool settled = settledAt >= 0 && rounds >= settledAt + kRoundsAfter;
        if (settled || clock.elapsed() > kWaitMs) {
            for (auto it = watching.rbegin(); it != watching.rend(); ++it)
                (*it)->stop(); // the innermost first
        }
    });
    script.start(10);
    // The second station runs inside the first one's event loop.
    if (stations > 1)
        QTimer::singleShot(0, this, [&] { watching.back()->run(); });
    watching.front()->run();
    script.stop();

    QVERIFY2(settledAt >= 0, "the writes never ended");
    QCOMPARE(unit.transfersStarted(), 1);
    QCOMPARE(unit.transfersEnded(), 1);
    QCOMPARE(other.transfersStarted(), swapAfterMs == -2 ? 1 : 0);
    QCOMPARE(written, writesWanted);
    qputenv("ZORBEL_PORTS", "");
}

QTEST_GUILESS_MAIN(TestStationUnits)
#include "tst_stationunits.moc"
