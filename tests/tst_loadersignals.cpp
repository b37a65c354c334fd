// The loader as a program, sent signals as a closing terminal or a logout would.

#include "hexfile.h"
#include "instrumentprotocol.h"
#include "loaderprocess.h"
#include "simulatedinstrument.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestLoaderSignals : public QObject
{
    Q_OBJECT

private slots:
    void signalsCloseLikeExit_data();
    void signalsCloseLikeExit();
};

void TestLoaderSignals::signalsCloseLikeExit_data()
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
void TestLoaderSignals::signalsCloseLikeExit()
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

QTEST_GUILESS_MAIN(TestLoaderSignals)
#include "tst_loadersignals.moc"
