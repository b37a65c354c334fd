// zorbelflash on a bench of several ports: --all writing every instrument at once, ports
// that are busy or refused, the number of instruments a bench expects, and devices
// named by relative paths. The tool runs in
// this process against simulated instruments.

#include "flashtoolfixture.h"

#include <QDir>

namespace {

// "COM2 busy", sorted: one entry per JSON line.
QStringList recordedOutcomes(const QByteArray &out)
{
    QStringList outcomes;
    const QList<QJsonObject> objects = jsonLines(out);
    for (const QJsonObject &object : objects)
        outcomes.append(object.value("port").toString() + QLatin1Char(' ') + object.value("outcome").toString());
    outcomes.sort();
    return outcomes;
}

} // namespace

class TestZorbelflashPorts : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init() { setUpFixture(); }
    void cleanup();
    void allWritesEveryInstrumentAlike();
    void allWritesAtTheSameTime();
    void unavailablePortsAreAccountedFor_data();
    void unavailablePortsAreAccountedFor();
    void countWaitsForEveryInstrument_data();
    void countWaitsForEveryInstrument();
    void relativeDevicePath_data();
    void relativeDevicePath();

private:
    QString m_startFolder = QDir::currentPath();
};

void TestZorbelflashPorts::cleanup()
{
    QDir::setCurrent(m_startFolder);
    tearDownFixture();
}

void TestZorbelflashPorts::unavailablePortsAreAccountedFor_data()
{
    // Ports COM1, COM2, ...: an instrument of that kind, "busy" (an instrument whose
    // port another program holds) or "denied" (a path that refuses to be opened).
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("named"); // on standard error

    QTest::newRow("--all: busy between two written")
        << QStringList{"ok", "busy", "ok"} << QStringList{"--all"} << 6
        << QStringList{"COM1 written", "COM2 busy", "COM3 written"} << QStringList{"COM2"};
    QTest::newRow("--all: permission denied")
        << QStringList{"ok", "denied"} << QStringList{"--all"} << 6
        << QStringList{"COM1 written", "COM2 permission-denied"} << QStringList{"COM2"};
    QTest::newRow("--all: COM order decides")
        << QStringList{"busy", "hangup"} << QStringList{"--all"} << 6
        << QStringList{"COM1 busy", "COM2 connection-lost"} << QStringList{"COM1"};
    QTest::newRow("--all: no instrument, one busy")
        << QStringList{"silent", "busy"} << QStringList{"--all", "--wait", "0"} << 6
        << QStringList{"COM2 busy"} << QStringList{"COM2"};
    QTest::newRow("no instrument, one busy")
        << QStringList{"silent", "busy"} << QStringList{"--wait", "0"} << 6
        << QStringList{"COM2 busy"} << QStringList{"COM2"};
    QTest::newRow("instrument found, another port busy")
        << QStringList{"ok", "busy"} << QStringList{} << 0
        << QStringList{"COM1 written"} << QStringList{};
}

void TestZorbelflashPorts::unavailablePortsAreAccountedFor()
{
    QFETCH(QStringList, ports);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, records);
    QFETCH(QStringList, named);

    std::vector<std::unique_ptr<DeviceLock>> heldElsewhere;
    QStringList map;
    for (int i = 0; i < ports.size(); ++i) {
        const QString com = QStringLiteral("COM%1").arg(i + 1);
        if (ports.at(i) == QLatin1String("denied")) {
            const QString path = permissionDeniedPath(*dir);
            if (path.isEmpty())
                QSKIP("no path here that refuses to be opened");
            map.append(com + QLatin1Char('=') + path);
            continue;
        }
        QVERIFY(addInstruments({ports.at(i) == QLatin1String("busy") ? QStringLiteral("ok") : ports.at(i)}));
        map.append(instruments.back()->portMapEntry(com));
        if (ports.at(i) == QLatin1String("busy")) {
            heldElsewhere.push_back(std::make_unique<DeviceLock>());
            QCOMPARE(heldElsewhere.back()->acquire(instruments.back()->devicePath()), DeviceLock::Result::Locked);
        }
    }
    qputenv("ZORBEL_PORTS", map.join(QLatin1Char(',')).toUtf8());

    const Run run = runTool(QStringList{"write", "FILE", "--json"} + arguments);
    QVERIFY2(exitCode(run.status) == status, run.err.constData());
    QCOMPARE(recordedOutcomes(run.out), records);
    for (const QString &port : std::as_const(named)) {
        const QByteArray line = "zorbelflash: " + port.toUtf8() + " (";
        QVERIFY2(run.err.contains(line), run.err.constData()); // "COM2 (/dev/pts/7): busy; nothing written"
    }
}

void TestZorbelflashPorts::countWaitsForEveryInstrument_data()
{
    QTest::addColumn<QStringList>("kinds");
    QTest::addColumn<int>("lateMs"); // the last instrument answers from then on; < 0: never
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("written");

    QTest::newRow("the second answers after 350 ms")
        << QStringList{"ok", "silent"} << 350 << QStringList{"--count", "2", "--wait", "10"} << 0 << 2;
    QTest::newRow("one of two: none written")
        << QStringList{"ok", "silent"} << -1 << QStringList{"--count", "2", "--wait", "0.7"} << 3 << 0;
    QTest::newRow("two where one is expected: both written")
        << QStringList{"ok", "ok"} << -1 << QStringList{"--count", "1"} << 0 << 2;
}

void TestZorbelflashPorts::countWaitsForEveryInstrument()
{
    QFETCH(QStringList, kinds);
    QFETCH(int, lateMs);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(int, written);

    QVERIFY(addInstruments(kinds));
    mapPorts();
    SimulatedInstrument &late = *instruments.back();
    QTimer::singleShot(std::max(lateMs, 0), [&late, lateMs] {
        if (lateMs >= 0)
            late.setConfig(configFor(QStringLiteral("ok")));
    });

    const Run run = runTool(QStringList{"write", "FILE", "--all", "--json"} + arguments);
    QVERIFY2(exitCode(run.status) == status, run.err.constData());
    QCOMPARE(jsonLines(run.out).size(), written);
    int started = 0;
    for (const auto &instrument : instruments)
        started += instrument->transfersStarted();
    QCOMPARE(started, written);
    if (status == exitCode(ExitStatus::NoInstrument))
        QVERIFY2(run.err.contains("1 of 2 instrument(s) answered (COM1)"), run.err.constData());
}

void TestZorbelflashPorts::relativeDevicePath_data()
{
    QTest::addColumn<bool>("throughMap"); // named in ZORBEL_PORTS, else by --port
    QTest::newRow("--port") << false;
    QTest::newRow("ZORBEL_PORTS") << true;
}

void TestZorbelflashPorts::relativeDevicePath()
{
    QFETCH(bool, throughMap);
    QVERIFY(addInstruments({"ok"}));
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("runs")));
    QVERIFY(QFile::link(instruments.front()->devicePath(), dir->filePath(QStringLiteral("runs/x.link"))));
    QVERIFY(QDir::setCurrent(dir->path()));
    const QString relative = QStringLiteral("runs/x.link");
    qputenv("ZORBEL_PORTS", throughMap ? QByteArray("COM1=") + relative.toUtf8() : QByteArray());

    const Run run = runTool({"write", "FILE", "--json", "--port", throughMap ? QStringLiteral("COM1") : relative});
    QVERIFY2(run.status == ExitStatus::Success, run.err.constData());
    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 1);
    QCOMPARE(objects.first().value("device").toString(), dir->filePath(relative)); // where it is, for the record
    QVERIFY(instruments.front()->endReceived());
}

void TestZorbelflashPorts::allWritesEveryInstrumentAlike()
{
    QVERIFY(addInstruments({"ok", "ok", "ok"}));
    mapPorts();
    const Run run = runTool({"write", "FILE", "--all", "--json"});
    QVERIFY2(run.status == ExitStatus::Success, run.err.constData());

    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 3);
    QStringList ports;
    for (const QJsonObject &object : objects) {
        ports.append(object.value("port").toString());
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("written"));
    }
    ports.sort();
    QCOMPARE(ports, QStringList({"COM1", "COM2", "COM3"}));
    for (const auto &instrument : instruments) {
        QVERIFY(instrument->waitForTransferEnd(10000));
        QVERIFY(instrument->endReceived());
        QCOMPARE(instrument->flash().left(kFirmwareBytes), firmware);
        QCOMPARE(instrument->receivedBytes(), instruments.front()->receivedBytes());
    }
}

// Each instrument stops asking after three blocks: only writes running side by side
// give every one of them its three blocks.
void TestZorbelflashPorts::allWritesAtTheSameTime()
{
    QVERIFY(addInstruments({"stall3", "stall3", "stall3"}));
    mapPorts();
    constexpr int kNeverMs = 600000;
    const Run run = runTool({"write", "FILE", "--all", "--json"}, 3, kNeverMs);
    QCOMPARE(run.status, ExitStatus::Interrupted);
    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 3);
    for (const QJsonObject &object : objects) {
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("interrupted"));
        QCOMPARE(object.value("blocks").toInt(), 3);
    }
    for (const auto &instrument : instruments)
        QVERIFY(!instrument->endReceived());
}

QTEST_GUILESS_MAIN(TestZorbelflashPorts)
#include "tst_zorbelflash_ports.moc"
