// The instrument's port between discovery and the write: what the instrument keeps
// sending meanwhile cannot pile up, and a port that went away meanwhile makes the
// write say that nothing was sent.

#include "instrumentprotocol.h"
#include "loaderprobe.h"
#include "loaderprocess.h"
#include "modem.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

QColor textColour(const QLabel *label)
{
    return label->palette().color(QPalette::Active, QPalette::WindowText);
}

// The peak resident memory of a running process, in KiB, or -1.
qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

class TestIdlePort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void unpluggedBeforeTheWrite_data();
    void unpluggedBeforeTheWrite();
    void babblingInstrumentLeavesMemoryFlat();

private:
    std::unique_ptr<SettingsSandbox> sandbox;
};

void TestIdlePort::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestIdlePort::cleanup()
{
    qputenv("ZORBEL_PORTS", "");
}

void TestIdlePort::unpluggedBeforeTheWrite_data()
{
    QTest::addColumn<bool>("noticed"); // the window saw the port fail before the press
    QTest::newRow("port failure already seen") << true;
    QTest::newRow("port failure found by the write") << false;
}

// Only the earlier version query reached the instrument: its firmware is untouched,
// so the window says the write was not possible, not that it was cut off.
void TestIdlePort::unpluggedBeforeTheWrite()
{
    QFETCH(bool, noticed);
    SimulatedInstrument instrument;
    QVERIFY(instrument.isValid());
    qputenv("ZORBEL_PORTS", instrument.portMapEntry(QStringLiteral("COM1")).toUtf8());
    PELKfwloader window;
    window.show();
    LoaderProbe probe(window);
    probe.scanTimer()->stop();
    probe.scanStep();
    QVERIFY(instrument.waitForPendingAtDevice(InstrumentProtocol::kVersionReplyBytes, 10000));
    probe.scanStep();
    QVERIFY(probe.ui().pushButton->isEnabled());
    probe.flashImage().fill(0x5A);
    probe.imageEnd() = 8191;
    probe.ui().pushButton_2->setEnabled(true);
    probe.ui().label_2->setText(QStringLiteral("Block: 7 / 9"));

    instrument.hangUp();
    if (noticed)
        QTRY_VERIFY_WITH_TIMEOUT(probe.modem().portFailed(), 10000);
    probe.writeFlash();

    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Flash schreiben nicht moeglich!"));
    QCOMPARE(textColour(probe.ui().label_2), QColor(Qt::red));
    QCOMPARE(probe.ui().label_2->text(), QStringLiteral("Block: 7 / 9"));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("Zorbelmeter, FW: V1.23"));
    QCOMPARE(instrument.transfersStarted(), 0);
    QVERIFY(probe.ui().pushButton_3->isEnabled());
}

// The real program against an instrument that never stops sending after its reply,
// beside the same program against a quiet one. Left unread, the input would pile up
// in memory as fast as it comes (more than 50 MB a second on a pseudo-terminal), in
// the reply wait of the search as well as after it; bounded there and dropped after,
// the chattered-at program's peak memory stays near the quiet one's, however much
// arrives.
void TestIdlePort::babblingInstrumentLeavesMemoryFlat()
{
    constexpr qint64 kBabbleBytes = qint64(128) * 1024 * 1024; // sent while the memory is watched
    constexpr qint64 kAllowedGrowthKiB = 8 * 1024;

    SimulatedInstrument::Config config;
    SimulatedInstrument quiet(config);
    config.babble = true;
    SimulatedInstrument instrument(config);
    QVERIFY2(instrument.isValid() && quiet.isValid(), qPrintable(instrument.errorString()));
    QTemporaryDir home;
    const auto start = [&home](QProcess &loader, const SimulatedInstrument &sim) {
        QProcessEnvironment env = loaderEnvironment(sim.portMapEntry(QStringLiteral("COM1")), home.path());
        env.insert("HOME", home.path());
        loader.setProcessEnvironment(env);
        loader.setProcessChannelMode(QProcess::MergedChannels);
        loader.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
        return loader.waitForStarted(10000);
    };
    QProcess quietLoader;
    QProcess loader;
    QVERIFY(start(quietLoader, quiet) && start(loader, instrument));

    QByteArray quietOutput;
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((quietOutput += quietLoader.readAll()).contains("Version: 123"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll()).contains("Version: 123"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll(), instrument.babbledBytes() >= kBabbleBytes), 30000);
    const qint64 quietKiB = peakMemoryKiB(quietLoader.processId());
    const qint64 peakKiB = peakMemoryKiB(loader.processId());
    QVERIFY(quietKiB > 0);
    QVERIFY2(peakKiB - quietKiB < kAllowedGrowthKiB,
             qPrintable(QStringLiteral("peak memory %1 KiB beside %2 KiB without chatter, after %3 MiB arrived")
                            .arg(peakKiB)
                            .arg(quietKiB)
                            .arg(instrument.babbledBytes() >> 20)));

    for (QProcess *process : {&quietLoader, &loader}) {
        QCOMPARE(::kill(pid_t(process->processId()), SIGTERM), 0);
        QVERIFY(process->waitForFinished(20000));
    }
    output += loader.readAll();
    QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
    QVERIFY2(loader.exitCode() == 0, output.right(2000).constData());
}

QTEST_MAIN(TestIdlePort)
#include "tst_idleport.moc"
