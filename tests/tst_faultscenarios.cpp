// What goes wrong in the field: instruments unplugged at the wrong moment, ports held
// by other programs, noise on the line, two loaders at once.
// (Signals sent to the running program: tst_loadersignals; odd files and odd settings:
// tst_oddinput.)

#include "flashwriter.h"
#include "loaderprobe.h"
#include "loaderprocess.h"
#include "modem.h"
#include "modeminput.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"
#include "transferrunner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

class TestFaultScenarios : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void unpluggedBetweenQueryAndReply();
    void portHeldByAnotherProcessIsSkipped();
    void floodOfOtherBytesStillTimesOut();
    void secondLoaderNeverGetsThePort();

private:
    std::unique_ptr<SettingsSandbox> sandbox;
};

void TestFaultScenarios::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestFaultScenarios::cleanup()
{
    qputenv("ZORBEL_PORTS", "");
}

void TestFaultScenarios::unpluggedBetweenQueryAndReply()
{
    SimulatedInstrument::Config silent;
    silent.replyLength = 0;
    SimulatedInstrument gone(silent);
    SimulatedInstrument present;
    QVERIFY(gone.isValid() && present.isValid());
    qputenv("ZORBEL_PORTS", (gone.portMapEntry("COM1") + "," + present.portMapEntry("COM2")).toUtf8());

    PELKfwloader window;
    LoaderProbe probe(window);
    probe.scanStep(); // COM1 opens, the query goes out
    QVERIFY(probe.queryPending());
    QVERIFY(gone.waitForVersionQueries(1, 10000));
    gone.hangUp(); // unplugged before the reply is read

    probe.scanStep(); // the reply step finds nothing and moves on
    QVERIFY(!probe.portOpen());
    QCOMPARE(probe.portIndex(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(probe.ui().pushButton->isEnabled(), 20000);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("HW gefunden an: COM2"));
}

void TestFaultScenarios::portHeldByAnotherProcessIsSkipped()
{
    SimulatedInstrument held;
    SimulatedInstrument free;
    QVERIFY(held.isValid() && free.isValid());

    // Another program takes COM1's device the way serial programs lock a port.
    QProcess holder;
    holder.start(QStringLiteral("flock"), {QStringLiteral("-x"), held.devicePath(),
                                           QStringLiteral("sleep"), QStringLiteral("60")});
    QVERIFY(holder.waitForStarted(10000));
    {
        MappedModem probeModem;
        qputenv("ZORBEL_PORTS", held.portMapEntry("COM1").toUtf8());
        probeModem.refreshPortMap();
        QTRY_VERIFY_WITH_TIMEOUT(!probeModem.openTty("COM1") || (probeModem.closeTty(), false), 10000);
    }

    qputenv("ZORBEL_PORTS", (held.portMapEntry("COM1") + "," + free.portMapEntry("COM2")).toUtf8());
    PELKfwloader window;
    LoaderProbe probe(window);
    QTRY_VERIFY_WITH_TIMEOUT(probe.ui().pushButton->isEnabled(), 20000);
    QCOMPARE(probe.portName(), QStringLiteral("COM2"));
    QCOMPARE(held.versionQueries(), 0);

    holder.kill();
    holder.waitForFinished(10000);
}

void TestFaultScenarios::floodOfOtherBytesStillTimesOut()
{
    SimulatedInstrument::Config config;
    config.stallAfterBlocks = 2;
    SimulatedInstrument instrument(config);
    QVERIFY(instrument.isValid());
    qputenv("ZORBEL_PORTS", instrument.portMapEntry("COM1").toUtf8());
    MappedModem modem;
    QVERIFY(modem.openTty("COM1"));

    FlashImage image;
    image.fill(0x5A);
    constexpr int kTimeoutMs = 1000;
    FlashWriter writer(modem, LoadedImage(image, 8191), std::chrono::milliseconds(kTimeoutMs));
    // Stray bytes all through the wait, and for longer than it, but fewer than would
    // count as line noise: none of them may restart the clock.
    constexpr int kBurstBytes = 110;
    constexpr int kTrickleBytes = 30;
    constexpr int kTrickleEveryMs = 200; // the last one 6 s after the start
    QVERIFY(kBurstBytes + kTrickleBytes <= FlashWriter::strayLimitFor(writer.blockTotal()));

    std::atomic<bool> stop{false};
    std::atomic<int> trickled{0};
    std::thread noise([&] {
        instrument.sendRaw(QByteArray(kBurstBytes, 'x'));
        for (int i = 0; i < kTrickleBytes && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTrickleEveryMs));
            instrument.sendRaw(QByteArray(1, 'x'));
            ++trickled;
        }
    });
    QElapsedTimer clock;
    clock.start();
    const bool ended = runTransfer(writer);
    const qint64 elapsed = clock.elapsed();
    const int trickledWhenEnded = trickled;
    stop = true;
    noise.join();

    QVERIFY(ended);
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::NoAnswer);
    QCOMPARE(writer.blocksSent(), 2);
    QVERIFY2(writer.ackCount() > 100, "the noise did not reach the writer");
    QVERIFY2(elapsed >= kTimeoutMs, qPrintable(QString::number(elapsed)));
    // A clock restarted by stray bytes would run until a second after the last of them.
    QVERIFY2(trickledWhenEnded < kTrickleBytes, qPrintable(QString::number(trickledWhenEnded)));
    QVERIFY(!instrument.endReceived());
}

void TestFaultScenarios::secondLoaderNeverGetsThePort()
{
    SimulatedInstrument instrument;
    QVERIFY(instrument.isValid());
    QTemporaryDir config;
    const QString ports = instrument.portMapEntry("COM1");

    QProcess first;
    first.setProcessEnvironment(loaderEnvironment(ports, config.path()));
    first.setProcessChannelMode(QProcess::MergedChannels);
    first.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
    QVERIFY(first.waitForStarted(10000));
    QByteArray firstOutput;
    QTRY_VERIFY_WITH_TIMEOUT((firstOutput += first.readAll()).contains("Version: 123"), 20000);

    // The second loader reaches the device under two names, so that it tries it twice
    // within one pass, and is refused both times; the instrument never hears from it.
    QProcess second;
    second.setProcessEnvironment(
        loaderEnvironment(ports + QStringLiteral(",") + instrument.portMapEntry("COM2"), config.path()));
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
    QVERIFY(second.waitForStarted(10000));
    const QByteArray refused = QStringLiteral("-> %1: busy").arg(instrument.devicePath()).toUtf8();
    QByteArray secondOutput;
    QTRY_VERIFY_WITH_TIMEOUT((secondOutput += second.readAll()).count(refused) >= 2, 30000);
    QVERIFY2(secondOutput.contains("busy"), secondOutput.left(2000).constData());
    QVERIFY(!secondOutput.contains("opened"));
    QVERIFY(!secondOutput.contains("Version:"));
    QCOMPARE(instrument.versionQueries(), 1);

    second.kill();
    first.kill();
    second.waitForFinished(10000);
    first.waitForFinished(10000);
}

QTEST_MAIN(TestFaultScenarios)
#include "tst_faultscenarios.moc"
