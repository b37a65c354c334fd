// What goes wrong in the field: instruments unplugged at the wrong moment, ports held
// by other programs, noise on the line, odd files and odd settings, two loaders at once.

#include "flashwriter.h"
#include "hexfile.h"
#include "hexloader.h"
#include "instrumentprotocol.h"
#include "loaderprobe.h"
#include "modem.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"
#include "transferrunner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

namespace {

QProcessEnvironment loaderEnvironment(const QString &ports, const QString &configHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ZORBEL_PORTS", ports);
    env.insert("XDG_CONFIG_HOME", configHome);
    env.insert("QT_LOGGING_RULES", "*.debug=true");
    return env;
}

// The settings store of a loader started with XDG_CONFIG_HOME=configHome.
QSettings loaderSettings(const QString &configHome)
{
    return QSettings(configHome + QStringLiteral("/RUD/Lumwerk.conf"), QSettings::IniFormat);
}

} // namespace

class TestFaultScenarios : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void unpluggedBetweenQueryAndReply();
    void portHeldByAnotherProcessIsSkipped();
    void floodOfOtherBytesStillTimesOut();
    void oddHexFiles_data();
    void oddHexFiles();
    void oddFontSizes_data();
    void oddFontSizes();
    void secondLoaderNeverGetsThePort();
    void signalsCloseLikeExit_data();
    void signalsCloseLikeExit();

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
        Modem probeModem;
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
    Modem modem;
    QVERIFY(modem.openTty("COM1"));

    FlashImage image;
    image.fill(0x5A);
    constexpr int kTimeoutMs = 1000;
    FlashWriter writer(modem, LoadedImage(image, 8191), std::chrono::milliseconds(kTimeoutMs));
    // Stray bytes all through the wait, and for longer than it, but fewer than would
    // count as line noise: none of them may restart the clock.
    constexpr int kBurstBytes = 110;
    constexpr int kTrickleBytes = 30;
    constexpr int kTrickleEveryMs = 50; // the last one 1.5 s after the start
    QVERIFY(kBurstBytes + kTrickleBytes <= FlashWriter::strayLimitFor(writer.blockTotal()));

    std::atomic<bool> stop{false};
    std::thread noise([&] {
        instrument.sendRaw(QByteArray(kBurstBytes, 'x'));
        for (int i = 0; i < kTrickleBytes && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTrickleEveryMs));
            instrument.sendRaw(QByteArray(1, 'x'));
        }
    });
    QElapsedTimer clock;
    clock.start();
    const bool ended = runTransfer(writer);
    const qint64 elapsed = clock.elapsed();
    stop = true;
    noise.join();

    QVERIFY(ended);
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::NoAnswer);
    QCOMPARE(writer.blocksSent(), 2);
    QVERIFY2(writer.ackCount() > 100, "the noise did not reach the writer");
    QVERIFY2(elapsed >= kTimeoutMs, qPrintable(QString::number(elapsed)));
    // A clock restarted by stray bytes would run until a second after the last of them.
    QVERIFY2(elapsed < kTrickleBytes * kTrickleEveryMs + kTimeoutMs / 2, qPrintable(QString::number(elapsed)));
    QVERIFY(!instrument.endReceived());
}

void TestFaultScenarios::oddHexFiles_data()
{
    // Each file is loaded over a good 256-byte image; only a file with records may change it.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<int>("imageEnd");
    QTest::newRow("a folder") << "folder" << HexLoadResult::Unreadable << 255;
    QTest::newRow("an empty file") << "empty" << HexLoadResult::NoData << 255;
    QTest::newRow("8 MB on one line") << "long line" << HexLoadResult::NoData << 255;
    QTest::newRow("binary noise") << "noise" << HexLoadResult::Malformed << 255;
    QTest::newRow("7 MB of records on one line, blank-separated") << "records on one line" << HexLoadResult::Suitable << 64511;
}

void TestFaultScenarios::oddHexFiles()
{
    QFETCH(QString, kind);
    QFETCH(HexLoadResult, result);
    QFETCH(int, imageEnd);

    QTemporaryDir dir;
    const QString path = dir.filePath("firmware.hex");
    if (kind == "folder") {
        QVERIFY(QDir(dir.path()).mkdir("firmware.hex"));
    } else {
        QByteArray content;
        if (kind == "long line")
            content = QByteArray(8 * 1024 * 1024, 'A');
        else if (kind == "records on one line")
            content = HexFile::hexText(HexFile::firmware(64512)).replace("\r\n", " ").repeated(40);
        else if (kind == "noise")
            content = QByteArray(4 * 1024 * 1024, '\0').replace('\0', ":\xFF\x01");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    LoadedImage image;
    const QString goodPath = dir.filePath("good.hex");
    {
        QFile good(goodPath);
        QVERIFY(good.open(QIODevice::WriteOnly));
        good.write(HexFile::hexText(HexFile::firmware(256)));
    }
    QCOMPARE(HexLoader::loadFile(goodPath, image), HexLoadResult::Suitable);
    const FlashImage before = image.bytes();

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HexLoader::loadFile(path, image), result);
    QVERIFY2(clock.elapsed() < 60000, "loading took far too long");
    QCOMPARE(image.end(), imageEnd);
    if (imageEnd == 255)
        QVERIFY(image.bytes() == before);
}

void TestFaultScenarios::oddFontSizes_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("pixels");
    QTest::newRow("huge") << QVariant(1000000) << 16;
    QTest::newRow("largest int") << QVariant(2147483647) << 16;
    QTest::newRow("beyond int") << QVariant(QStringLiteral("99999999999")) << 12;
    QTest::newRow("beyond int, negative") << QVariant(QStringLiteral("-99999999999")) << 12;
    QTest::newRow("negative") << QVariant(-2147483647) << 12;
    QTest::newRow("fraction") << QVariant(QStringLiteral("9.5")) << 12;
}

void TestFaultScenarios::oddFontSizes()
{
    QFETCH(QVariant, stored);
    QFETCH(int, pixels);
    SettingsSandbox::setFontSize(stored);
    {
        PELKfwloader window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.font().pixelSize(), pixels);
        // The window still works: discovery runs its first step.
        QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().startsWith("Suche HW :"), 10000);
    }
    QCOMPARE(SettingsSandbox::fontSize().toInt(), pixels);
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

    QProcess second;
    second.setProcessEnvironment(loaderEnvironment(ports, config.path()));
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
    QVERIFY(second.waitForStarted(10000));
    // The second loader tries COM1 at least twice (a whole pass of 50 ports) and is
    // refused both times; the instrument never hears from it.
    QByteArray secondOutput;
    QTRY_VERIFY_WITH_TIMEOUT((secondOutput += second.readAll()).count("open COM1 ->") >= 2, 30000);
    QVERIFY2(secondOutput.contains("busy"), secondOutput.left(2000).constData());
    QVERIFY(!secondOutput.contains("opened"));
    QVERIFY(!secondOutput.contains("Version:"));
    QCOMPARE(instrument.versionQueries(), 1);

    second.kill();
    first.kill();
    second.waitForFinished(10000);
    first.waitForFinished(10000);
}

void TestFaultScenarios::signalsCloseLikeExit_data()
{
    QTest::addColumn<QList<int>>("signalNumbers"); // sent one after the other
    QTest::addColumn<QString>("stage");            // idle, dialog (file dialog open) or transfer
    QTest::newRow("SIGTERM, idle") << QList<int>{SIGTERM} << "idle";
    QTest::newRow("SIGINT, idle") << QList<int>{SIGINT} << "idle";
    QTest::newRow("SIGHUP, idle") << QList<int>{SIGHUP} << "idle";
    QTest::newRow("SIGTERM, file dialog open") << QList<int>{SIGTERM} << "dialog";
    QTest::newRow("SIGTERM mid-transfer, SIGINT after it") << QList<int>{SIGTERM, SIGINT} << "transfer";
}

// The real program, sent signals as a closing terminal or a logout would: it closes
// as Exit does (status 0, settings saved), and a flash write under way runs to its end
// first, whatever else arrives meanwhile.
void TestFaultScenarios::signalsCloseLikeExit()
{
    QFETCH(QList<int>, signalNumbers);
    QFETCH(QString, stage);
    const bool midTransfer = stage == QLatin1String("transfer");
    constexpr int kImageBytes = 8192;            // 128 blocks
    constexpr int kBlockDelayMs = 25;            // the write takes over 3 s
    constexpr int kBlocksBeforeSignal = 4;
    constexpr int kBlocksBetweenSignals = 4;
    constexpr int kBlocks = kImageBytes / InstrumentProtocol::kBlockBytes;

    SimulatedInstrument::Config config;
    config.flashWriteDelayMs = kBlockDelayMs;
    SimulatedInstrument instrument(config);
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    QTemporaryDir home;
    const QByteArray firmware = HexFile::firmware(kImageBytes, 14);
    const QString hexPath = home.filePath(QStringLiteral("firmware.hex"));
    {
        QFile file(hexPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexFile::hexText(firmware));
    }
    // 7 is replaced by 12 when the settings are saved: proof that they were.
    loaderSettings(home.path()).setValue(QStringLiteral("fontsize"), 7);

    QProcessEnvironment env = loaderEnvironment(instrument.portMapEntry("COM1"), home.path());
    env.insert("HOME", home.path());
    if (stage != QLatin1String("idle")) {
        env.insert("QT_PLUGIN_PATH", QStringLiteral(ZORBEL_TEST_PLUGIN_DIR));
        env.insert("QT_QPA_GENERIC_PLUGINS", "zorbelloaderdriver:" + (midTransfer ? hexPath : stage));
    }
    QProcess loader;
    loader.setProcessEnvironment(env);
    loader.setProcessChannelMode(QProcess::MergedChannels);
    loader.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
    QVERIFY(loader.waitForStarted(10000));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll()).contains("Version: 123"), 20000);
    if (stage == QLatin1String("dialog"))
        QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll()).contains("file dialog open"), 20000);

    int blocksAtLastSignal = 0;
    for (const int signalNumber : signalNumbers) {
        if (midTransfer) {
            const int due = blocksAtLastSignal + (blocksAtLastSignal == 0 ? kBlocksBeforeSignal : kBlocksBetweenSignals);
            QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= due, 30000);
        }
        QCOMPARE(::kill(pid_t(loader.processId()), signalNumber), 0);
        blocksAtLastSignal = int(instrument.blockAddresses().size());
        if (midTransfer)
            QVERIFY2(blocksAtLastSignal < kBlocks && !instrument.endReceived(), "the signal came too late");
    }

    QVERIFY(loader.waitForFinished(60000));
    output += loader.readAll();
    QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
    QVERIFY2(loader.exitCode() == 0, output.right(2000).constData());
    QCOMPARE(loaderSettings(home.path()).value(QStringLiteral("fontsize")).toInt(), 12);
    if (midTransfer) {
        // The whole image and the end mark went out before the program ended.
        QVERIFY(instrument.waitForTransferEnd(10000));
        QCOMPARE(instrument.transfersEnded(), 1);
        QCOMPARE(int(instrument.blockAddresses().size()), kBlocks);
        QCOMPARE(instrument.flash().left(kImageBytes), firmware);
    } else {
        QCOMPARE(instrument.transfersStarted(), 0);
    }
}

QTEST_MAIN(TestFaultScenarios)
#include "tst_faultscenarios.moc"
