// zorbelstation's window against simulated units, started from a profile as the program
// starts it: Slot A's unit passes, Slot B's comes back with another version twice and is
// named for a check, Slot C has no device. Slot A's unit is taken out (its tile ready
// again), a new one put in, and the window is closed while that unit restarts: once (its
// write ends on its own and the window closes after it), or twice (the write stops).
// The tiles, the header and the log records.

#include "benchadapter.h"
#include "firmwarefile.h"
#include "hexfile.h"
#include "simulatedinstrument.h"
#include "stationboard.h"
#include "stationstart.h"
#include "stationwindow.h"
#include "tilewidget.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int kFirmwareBytes = 1024; // 16 blocks
constexpr int kRequestTimeoutMs = 2000;
constexpr int kRoundMs = 350;
constexpr int kReplyWaitMs = 300;
constexpr int kRestartMs = 2500; // the second unit's restart: long enough to close the window in it
constexpr int kPollMs = 10;
constexpr int kGenerousMs = 120000;

SimulatedInstrument::Config unit(int versionAfterWrite, int restartMs)
{
    SimulatedInstrument::Config config;
    config.version = 123;
    config.versionAfterWrite = versionAfterWrite;
    config.restartMs = restartMs;
    return config;
}

// "word | detail" of a tile, as the test compares them.
QString shown(const TileWidget *tile)
{
    return tile->state().word() + QStringLiteral(" | ") + tile->state().detail();
}

} // namespace

class TestStationScreen : public QObject
{
    Q_OBJECT

private slots:
    void passFailAbsent_data();
    void passFailAbsent();
};

void TestStationScreen::passFailAbsent_data()
{
    QTest::addColumn<int>("closes");
    QTest::addColumn<QString>("lastOutcome"); // of the write running when the window was closed
    QTest::addColumn<QString>("lastTile");
    QTest::addColumn<QString>("notice");

    QTest::newRow("closed once") << 1 << "written" << "PASS | V1.24 in"
                                 << "Closing after the running writes: no new unit is taken.";
    QTest::newRow("closed twice") << 2 << "interrupted" << "STOPPED | ended before it answered again: write again"
                                  << "Stopping the running writes: write those units again.";
}

void TestStationScreen::passFailAbsent()
{
    QFETCH(int, closes);
    QFETCH(QString, lastOutcome);
    QFETCH(QString, lastTile);
    QFETCH(QString, notice);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(HexFile::firmware(kFirmwareBytes, 7)));
    hex.close();
    BenchAdapter slotA;
    SimulatedInstrument slotB(unit(125, 100));
    QVERIFY(slotA.isValid() && slotB.isValid());
    slotA.plug(unit(124, 100));
    QVERIFY(QFile::link(slotA.devicePath(), dir.filePath(QStringLiteral("a"))));
    QVERIFY(QFile::link(slotB.devicePath(), dir.filePath(QStringLiteral("b"))));
    qputenv("ZORBEL_PORTS", QStringLiteral("COM1=%1,COM2=%2,COM3=%3")
                                .arg(dir.filePath("a"), dir.filePath("b"), dir.filePath("c"))
                                .toUtf8());
    const QString profilePath = dir.filePath(QStringLiteral("line.profile"));
    QFile profile(profilePath);
    QVERIFY(profile.open(QIODevice::WriteOnly));
    profile.write("firmware=firmware.hex\nexpect-version=1.24\nlog=records.jsonl\nrestart-wait=10\n"
                  "port1=COM1\nlabel1=Slot A\nport2=COM2\nlabel2=Slot B\nport3=COM3\nlabel3=Slot C\n");
    profile.close();

    StationStart start = StationStart::fromArguments({QStringLiteral("zorbelstation"), profilePath});
    QVERIFY2(start.status() == StationStart::Status::Ready, qPrintable(start.text()));
    std::unique_ptr<StationBoard::Setup> setup = start.takeSetup();
    setup->timing.requestTimeoutMs = kRequestTimeoutMs;
    setup->timing.roundMs = kRoundMs;
    setup->timing.replyWaitMs = kReplyWaitMs;
    StationWindow window(std::make_unique<StationBoard>(std::move(*setup)));
    QCOMPARE(window.tileCount(), 3);
    // Slot B's large word, each time it changed (a short restart may come and go between
    // two looks at the running writes: it is left out).
    QStringList wordsOfB;
    connect(&window.board(), &StationBoard::tileChanged, this, [&](int index) {
        const QString word = window.board().tile(index).word();
        if (index == 1 && word != QLatin1String("RESTARTING") && (wordsOfB.isEmpty() || wordsOfB.constLast() != word))
            wordsOfB.append(word);
    });

    // The steps, looked at while the station runs; what they saw is compared after.
    QStringList seen;
    QString noticeSeen;
    bool visibleWhileEnding = false;
    int step = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const QString a = window.tile(0)->state().word();
        if (step == 0 && a == QLatin1String("PASS") && window.tile(1)->state().word() == QLatin1String("CHECK")) {
            for (int index = 0; index < window.tileCount(); ++index) {
                const TileState &state = window.tile(index)->state();
                seen << state.title() + QStringLiteral(" | ") + state.subtitle() + QStringLiteral(" | ")
                            + shown(window.tile(index));
            }
            seen << window.counts();
            slotA.pull(); // the unit taken out: its PASS goes
            ++step;
        } else if (step == 1 && a == QLatin1String("READY")) {
            slotA.plug(unit(124, kRestartMs)); // the next unit
            ++step;
        } else if (step >= 2 && step <= closes + 1 && a == QLatin1String("RESTARTING")) {
            window.close();
            noticeSeen = window.notice();
            visibleWhileEnding = window.isVisible();
            ++step;
        }
    });
    poll.start(kPollMs);
    QSignalSpy ended(&window, &StationWindow::ended);
    window.show();
    window.start();
    QVERIFY(ended.wait(kGenerousMs));
    poll.stop();
    qputenv("ZORBEL_PORTS", "");

    QCOMPARE(seen.size(), 4);
    QVERIFY2(seen.at(0).startsWith("Slot A | COM1 | PASS | V1.24 in "), qPrintable(seen.at(0)));
    QCOMPARE(seen.at(1), QStringLiteral("Slot B | COM2 | CHECK | written twice, still V1.25: check the unit"));
    QCOMPARE(seen.at(2), QStringLiteral("Slot C | COM3 | NO PORT | no device: connect the adapter"));
    QCOMPARE(seen.at(3), QStringLiteral("written 1    failed 2"));
    QCOMPARE(wordsOfB, (QStringList{"READY", "WRITING", "FAIL", "WRITING", "FAIL", "CHECK"}));
    QVERIFY2(noticeSeen.startsWith(notice), qPrintable(noticeSeen));
    QVERIFY(visibleWhileEnding); // the window waited for the write
    QVERIFY(!window.isVisible());
    QVERIFY2(shown(window.tile(0)).startsWith(lastTile), qPrintable(shown(window.tile(0))));

    const QByteArray sha = FirmwareFile::load(hexPath).blockDataSha256(16);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("file"))->text(), QStringLiteral("firmware.hex    expected V1.24"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("image"))->text(),
             QStringLiteral("sha256 %1    16 blocks").arg(QString::fromLatin1(sha.left(12))));

    QFile log(dir.filePath(QStringLiteral("records.jsonl")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList records;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value("sha256").toString().toLatin1(), sha);
        records << record.value("port").toString() + ' ' + record.value("outcome").toString() + ' '
                       + record.value("firmware_after").toString();
    }
    QCOMPARE(records.size(), 4);
    std::sort(records.begin(), records.end() - 1); // the first writes of both slots ran side by side
    QCOMPARE(records, (QStringList{"COM1 written 1.24", "COM2 wrong-version 1.25", "COM2 wrong-version 1.25",
                                   "COM1 " + lastOutcome + (closes == 1 ? " 1.24" : " ")}));
}

QTEST_MAIN(TestStationScreen)
#include "tst_stationscreen.moc"
