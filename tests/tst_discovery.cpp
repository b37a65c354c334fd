// Discovery against the simulated instrument: which replies find it, where the scan
// goes after a port that fails, what the window shows and writes to the debug output,
// and how the steps are paced.

#include "devicelock.h"
#include "loaderprobe.h"
#include "logcapture.h"
#include "modem.h"
#include "modeminput.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <linux/capability.h>
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;         // generous bound for anything crossing the line
constexpr int kRealScanLimitMs = 30000; // generous bound for a scan run by the real timer
constexpr int kPortCount = 50;
constexpr int kFirstTickMs = 200;
constexpr int kReplyWaitMs = 300;
constexpr int kMissingPortMs = 100;
constexpr int kRejectedPortMs = 200;
constexpr int kPollSliceMs = 1;
constexpr int kHeartbeatMs = 5; // much shorter than the reply wait
const QString kSearching = QStringLiteral("Suche HW :");
const QString kFound = QStringLiteral("HW gefunden an: ");

// The earliest a timer started with `ms` may fire: Qt's default (coarse) timers may
// fire up to 5 % early; one more millisecond for rounding.
qint64 earliest(int ms)
{
    return ms * 95 / 100 - 1;
}

QString com(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

void setPorts(const QStringList &entries)
{
    qputenv("ZORBEL_PORTS", entries.join(QLatin1Char(',')).toUtf8());
}

SimulatedInstrument::Config answering(const QByteArray &reply)
{
    const auto byte = [&reply](int i) { return i < reply.size() ? reply.at(i) : '\0'; };
    SimulatedInstrument::Config config;
    config.replyLength = int(reply.size());
    config.letter = byte(0);
    config.version = quint8(byte(1));
    config.extraByte = quint8(byte(2));
    return config;
}

// Waits without running the event loop, so that the loader's port takes in nothing
// behind the step's back.
bool waitQuietly(const std::function<bool()> &condition, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
    }
    return true;
}

// A device this thread may not open while the object lives, as for a user outside the
// dialout group: its mode is cleared and, for root, the capabilities that override
// file modes are taken out of this thread's effective set (and given back after).
class DeviceDenied
{
public:
    explicit DeviceDenied(const QString &devicePath)
        : path(QFile::encodeName(devicePath))
    {
        struct stat info = {};
        if (::stat(path.constData(), &info) != 0 || ::chmod(path.constData(), 0) != 0)
            return;
        mode = info.st_mode & 07777;
        if (::geteuid() == 0 && ::syscall(SYS_capget, &header, saved.data()) == 0) {
            auto reduced = saved;
            for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                reduced.at(CAP_TO_INDEX(capability)).effective &= ~CAP_TO_MASK(capability);
            capabilitiesDropped = ::syscall(SYS_capset, &header, reduced.data()) == 0;
        }
    }
    ~DeviceDenied() { lift(); }
    DeviceDenied(const DeviceDenied &) = delete;
    DeviceDenied &operator=(const DeviceDenied &) = delete;

    // True when an open for reading and writing is really refused with EACCES.
    bool holds() const
    {
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        return fd < 0 && errno == EACCES;
    }

    void lift()
    {
        if (capabilitiesDropped)
            ::syscall(SYS_capset, &header, saved.data());
        capabilitiesDropped = false;
        if (mode >= 0)
            ::chmod(path.constData(), mode_t(mode));
        mode = -1;
    }

private:
    QByteArray path;
    int mode = -1;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> saved{};
    bool capabilitiesDropped = false;
};

// The program's own debug lines (default category).
QStringList programLines(const LogCapture &log)
{
    return log.texts("default", QtDebugMsg);
}

// The serial log's lines about queries a port did not take, as "category: COMn:".
QStringList notTaken(const LogCapture &log)
{
    QStringList result;
    for (const LogCapture::Line &line : log.lines()) {
        if (line.category.startsWith("zorbel.serial") && line.text.contains(QLatin1String("not taken")))
            result << QString::fromLatin1(line.category) + QStringLiteral(": ") + line.text.section(QLatin1Char(' '), 0, 0);
    }
    return result;
}

// The window with its timer's ticks silenced: the test takes every step itself and
// reads the interval the step set.
struct SteppedWindow
{
    SteppedWindow() { probe.scanTimer()->blockSignals(true); }
    QString status() const { return window.statusBar()->currentMessage(); }

    PELKfwloader window;
    LoaderProbe probe{window};
};

#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

// One probe of a port that does not open.
void probeMissing(SteppedWindow &s, int index)
{
    QCOMPARE(s.probe.portIndex(), index);
    s.probe.scanStep();
    QCOMPARE(s.status(), kSearching + com(index + 1));
    QVERIFY(!s.probe.portOpen());
    QVERIFY(!s.probe.queryPending());
    QVERIFY(s.probe.scanTimer()->isActive());
    QCOMPARE(s.probe.scanTimer()->interval(), kMissingPortMs);
    QCOMPARE(s.probe.portIndex(), (index + 1) % kPortCount);
}

// One probe of the instrument's port; returns once its reply is waiting at the device.
void probeInstrument(SteppedWindow &s, SimulatedInstrument &sim, int index)
{
    const int queries = sim.versionQueries();
    QCOMPARE(s.probe.portIndex(), index);
    s.probe.scanStep();
    QCOMPARE(s.status(), kSearching + com(index + 1));
    QCOMPARE(s.probe.portName(), com(index + 1));
    QVERIFY(s.probe.portOpen());
    QVERIFY(s.probe.queryPending());
    QVERIFY(s.probe.scanTimer()->isActive());
    QCOMPARE(s.probe.scanTimer()->interval(), kReplyWaitMs);
    const int length = sim.config().replyLength;
    QVERIFY(waitQuietly([&]() { return sim.versionQueries() > queries && sim.pendingAtDevice() >= length; },
                        kWaitMs));
}

// The reply step that finds the instrument on COM(index + 1), and the state it leaves.
void expectFound(SteppedWindow &s, int index, const QString &label)
{
    s.probe.scanStep();
    QCOMPARE(s.status(), kFound + com(index + 1));
    QCOMPARE(s.probe.ui().label_3->text(), label);
    QCOMPARE(s.probe.portName(), com(index + 1));
    QCOMPARE(s.probe.portIndex(), index);
    QVERIFY(s.probe.portOpen());
    QVERIFY(!s.probe.queryPending());
    QVERIFY(!s.probe.scanTimer()->isActive());
    QVERIFY(s.probe.ui().pushButton->isEnabled());
    QVERIFY(!s.probe.ui().pushButton_2->isEnabled());
    MappedModem other; // the port stays open for the loader alone
    QVERIFY(!other.openTty(com(index + 1)));
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void foundAfterPortsThatDoNotOpen_data();
    void foundAfterPortsThatDoNotOpen();
    void replies_data();
    void replies();
    void staleInputIsDroppedBeforeTheQuery();
    void rejectedLastPortWrapsToFirst();
    void noPortsScanForever();
    void portProblemShownUntilMended_data();
    void portProblemShownUntilMended();
    void realTimerFindsInstrument();
    void stoppedPortsDoNotHoldTheWindow();
    void stoppedPortLoggedOnce();

private:
    std::unique_ptr<SettingsSandbox> sandbox;
};

void TestDiscovery::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestDiscovery::cleanup()
{
    setPorts({});
}

void TestDiscovery::foundAfterPortsThatDoNotOpen_data()
{
    QTest::addColumn<int>("instrumentPort");
    QTest::addColumn<QStringList>("absentPorts"); // mapped to devices that do not exist
    QTest::addColumn<int>("busyPort");            // held by another Modem; 0 for none

    QTest::newRow("COM1") << 1 << QStringList() << 0;
    QTest::newRow("COM7 after six unmapped") << 7 << QStringList() << 0;
    QTest::newRow("COM7 after six absent devices")
        << 7 << QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}) << 0;
    QTest::newRow("COM3 after a busy COM2") << 3 << QStringList() << 2;
    QTest::newRow("COM50") << 50 << QStringList({"COM49"}) << 0;
}

void TestDiscovery::foundAfterPortsThatDoNotOpen()
{
    QFETCH(int, instrumentPort);
    QFETCH(QStringList, absentPorts);
    QFETCH(int, busyPort);

    SimulatedInstrument instrument;
    SimulatedInstrument busyInstrument;
    QVERIFY2(instrument.isValid() && busyInstrument.isValid(), qPrintable(instrument.errorString()));
    QStringList map{instrument.portMapEntry(com(instrumentPort))};
    for (const QString &name : absentPorts)
        map << name + QStringLiteral("=/nonexistent/zorbel-") + name;
    if (busyPort > 0)
        map << busyInstrument.portMapEntry(com(busyPort));
    setPorts(map);
    MappedModem holder;
    if (busyPort > 0)
        QVERIFY(holder.openTty(com(busyPort)));

    const LogCapture debug;
    SteppedWindow s;
    for (int index = 0; index < instrumentPort - 1; ++index)
        STEP(probeMissing(s, index));
    STEP(probeInstrument(s, instrument, instrumentPort - 1));
    STEP(expectFound(s, instrumentPort - 1, QStringLiteral("Zorbelmeter, FW: V1.23")));
    QCOMPARE(s.probe.versionText(), QStringLiteral("Z"));
    QCOMPARE(s.probe.firmwareVersion(), 123);
    QCOMPARE(instrument.receivedBytes(), QByteArray("@v;"));
    QVERIFY(busyInstrument.receivedBytes().isEmpty());
    QCOMPARE(programLines(debug), QStringList({"2", "Version: 123"}));

    // Found is final: a further call neither probes nor restarts the timer.
    s.probe.scanStep();
    QVERIFY(!s.probe.scanTimer()->isActive());
    QCOMPARE(s.status(), kFound + com(instrumentPort));
    QCOMPARE(instrument.receivedBytes(), QByteArray("@v;"));
    QCOMPARE(programLines(debug).size(), 2);
}

void TestDiscovery::replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("debugLines");
    QTest::addColumn<QString>("versionText"); // as left by the reply step
    QTest::addColumn<int>("version");

    QTest::newRow("Z 100") << QByteArray("Z\x64") << true << "Zorbelmeter, FW: V1.00"
                           << QStringList({"2", "Version: 100"}) << "Z" << 100;
    QTest::newRow("Z 105") << QByteArray("Z\x69") << true << "Zorbelmeter, FW: V1.05"
                           << QStringList({"2", "Version: 105"}) << "Z" << 105;
    QTest::newRow("Z 255") << QByteArray("Z\xff") << true << "Zorbelmeter, FW: V2.55"
                           << QStringList({"2", "Version: 255"}) << "Z" << 255;
    QTest::newRow("Z 99") << QByteArray("Z\x63") << false << ""
                          << QStringList({"2", "Version: 099"}) << "Z" << 99;
    QTest::newRow("Z 7") << QByteArray("Z\x07") << false << ""
                         << QStringList({"2", "Version: 007"}) << "Z" << 7;
    QTest::newRow("z 123") << QByteArray("z\x7b") << false << ""
                           << QStringList({"2", "Version: 123"}) << "z" << 123;
    QTest::newRow("single Z") << QByteArray("Z") << false << "" << QStringList({"1"}) << "" << 0;
    QTest::newRow("silence") << QByteArray() << false << "" << QStringList({"0"}) << "" << 0;
    QTest::newRow("three bytes, Z 123") << QByteArray("Z\x7b\r") << true << "Zorbelmeter, FW: V1.23"
                                        << QStringList({"2", "Version: 123"}) << "Z" << 123;
    QTest::newRow("three bytes, Z 99") << QByteArray("Z\x63\r") << false << ""
                                       << QStringList({"2", "Version: 099"}) << "Z" << 99;
}

void TestDiscovery::replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    QFETCH(QString, label);
    QFETCH(QStringList, debugLines);
    QFETCH(QString, versionText);
    QFETCH(int, version);

    SimulatedInstrument first(answering(reply));
    SimulatedInstrument second(answering(QByteArray("Z\x8e"))); // V1.42
    QVERIFY2(first.isValid() && second.isValid(), qPrintable(first.errorString()));
    setPorts({first.portMapEntry("COM1"), second.portMapEntry("COM2")});

    const LogCapture debug;
    SteppedWindow s;
    STEP(probeInstrument(s, first, 0));
    if (accepted) {
        STEP(expectFound(s, 0, label));
        QCOMPARE(s.probe.versionText(), versionText);
        QCOMPARE(s.probe.firmwareVersion(), version);
        QCOMPARE(programLines(debug), debugLines);
        // Only two bytes were taken; what follows them is dropped once the instrument
        // is found, and nothing of it waits for the write.
        QTRY_COMPARE(first.pendingAtDevice(), 0);
        char rest[16] = {};
        QCOMPARE(s.probe.modem().readTty(rest, sizeof rest), 0);
        return;
    }

    s.probe.scanStep();
    QCOMPARE(s.status(), kSearching + "COM1");
    QVERIFY(!s.probe.portOpen());
    QVERIFY(!s.probe.queryPending());
    QCOMPARE(s.probe.portIndex(), 1);
    QVERIFY(s.probe.scanTimer()->isActive());
    QCOMPARE(s.probe.scanTimer()->interval(), kRejectedPortMs);
    QCOMPARE(s.probe.versionText(), versionText);
    QCOMPARE(s.probe.firmwareVersion(), version);
    QVERIFY(!s.probe.ui().pushButton->isEnabled());
    QVERIFY(s.probe.ui().label_3->text().isEmpty());
    QCOMPARE(programLines(debug), debugLines);
    {
        MappedModem other; // the rejected port was let go
        QVERIFY(other.openTty("COM1"));
    }

    STEP(probeInstrument(s, second, 1));
    STEP(expectFound(s, 1, QStringLiteral("Zorbelmeter, FW: V1.42")));
    QCOMPARE(programLines(debug), debugLines + QStringList({"2", "Version: 142"}));
    QCOMPARE(first.receivedBytes(), QByteArray("@v;"));
}

void TestDiscovery::staleInputIsDroppedBeforeTheQuery()
{
    SimulatedInstrument instrument;
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    setPorts({instrument.portMapEntry("COM1")});
    // Left on the line from before: read as the reply, it would be rejected.
    const QByteArray stale("z\x01noise\r\n");
    QVERIFY(instrument.sendRaw(stale));
    QVERIFY(instrument.waitForPendingAtDevice(int(stale.size()), kWaitMs));

    SteppedWindow s;
    STEP(probeInstrument(s, instrument, 0));
    STEP(expectFound(s, 0, QStringLiteral("Zorbelmeter, FW: V1.23")));
}

void TestDiscovery::rejectedLastPortWrapsToFirst()
{
    SimulatedInstrument instrument(answering(QByteArray("z\x7b")));
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    setPorts({instrument.portMapEntry("COM50")});

    SteppedWindow s;
    for (int index = 0; index < kPortCount - 1; ++index)
        STEP(probeMissing(s, index));
    STEP(probeInstrument(s, instrument, kPortCount - 1));
    s.probe.scanStep();
    QCOMPARE(s.probe.portIndex(), 0);
    QCOMPARE(s.probe.scanTimer()->interval(), kRejectedPortMs);
    STEP(probeMissing(s, 0));
}

void TestDiscovery::noPortsScanForever()
{
    setPorts({}); // set but empty: no ports at all
    SteppedWindow s;
    QSignalSpy messages(s.window.statusBar(), &QStatusBar::messageChanged);
    QStringList expected;
    for (int pass = 0; pass < 2; ++pass) {
        for (int index = 0; index < kPortCount; ++index) {
            STEP(probeMissing(s, index));
            expected << kSearching + com(index + 1);
        }
    }
    QStringList shown;
    for (const QList<QVariant> &arguments : messages)
        shown << arguments.at(0).toString();
    QCOMPARE(shown, expected);

    // Each pass takes the port map afresh: an instrument plugged in meanwhile is found.
    SimulatedInstrument instrument;
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    setPorts({instrument.portMapEntry("COM1")});
    STEP(probeInstrument(s, instrument, 0));
    STEP(expectFound(s, 0, QStringLiteral("Zorbelmeter, FW: V1.23")));
}

void TestDiscovery::portProblemShownUntilMended_data()
{
    QTest::addColumn<bool>("busy"); // else permission denied
    QTest::addColumn<QString>("shown");
    QTest::newRow("busy") << true << "COM2: belegt (anderes Programm?)";
    QTest::newRow("permission denied") << false << "COM2: kein Zugriff (Gruppe dialout?)";
}

// While the scan runs, label_3 names the problem of the lowest port that has one; the
// next pass that finds that port usable clears it; the instrument's line replaces it.
void TestDiscovery::portProblemShownUntilMended()
{
    QFETCH(bool, busy);
    QFETCH(QString, shown);

    SimulatedInstrument silent(answering(QByteArray()));
    SimulatedInstrument instrument;
    QVERIFY2(silent.isValid() && instrument.isValid(), qPrintable(instrument.errorString()));
    setPorts({silent.portMapEntry("COM2"), instrument.portMapEntry("COM4")});
    DeviceLock holders[2];
    std::unique_ptr<DeviceDenied> denied[2];
    const QString devices[2] = {silent.devicePath(), instrument.devicePath()};
    for (int i = 0; i < 2; ++i) {
        if (busy) {
            QCOMPARE(holders[i].acquire(devices[i]), DeviceLock::Result::Locked);
        } else {
            denied[i] = std::make_unique<DeviceDenied>(devices[i]);
            if (!denied[i]->holds())
                QSKIP("the devices cannot be made unreadable here");
        }
    }

    SteppedWindow s;
    const QLabel *label = s.probe.ui().label_3;
    STEP(probeMissing(s, 0));
    QVERIFY(label->text().isEmpty());
    STEP(probeMissing(s, 1)); // COM2: cannot be opened
    QCOMPARE(label->text(), shown);
    QCOMPARE(s.status(), kSearching + "COM2"); // the status bar goes on as before
    STEP(probeMissing(s, 2));
    STEP(probeMissing(s, 3)); // COM4 has the same problem; COM2 still comes first
    QCOMPARE(label->text(), shown);
    for (int index = 4; index < kPortCount; ++index)
        STEP(probeMissing(s, index));
    QCOMPARE(label->text(), shown);

    for (int i = 0; i < 2; ++i) {
        holders[i].release();
        if (denied[i])
            denied[i]->lift();
    }
    STEP(probeMissing(s, 0));
    STEP(probeInstrument(s, silent, 1)); // COM2 opens now: its problem is gone
    QVERIFY(label->text().isEmpty());
    s.probe.scanStep(); // silence: rejected
    STEP(probeMissing(s, 2));
    STEP(probeInstrument(s, instrument, 3));
    STEP(expectFound(s, 3, QStringLiteral("Zorbelmeter, FW: V1.23")));
}

void TestDiscovery::realTimerFindsInstrument()
{
    // COM1 answers wrongly, COM2 to COM6 do not exist, COM7 is the instrument.
    SimulatedInstrument wrong(answering(QByteArray("z\x7b")));
    SimulatedInstrument instrument;
    QVERIFY2(wrong.isValid() && instrument.isValid(), qPrintable(instrument.errorString()));
    setPorts({wrong.portMapEntry("COM1"), instrument.portMapEntry("COM7")});

    struct Shown
    {
        QString text;
        qint64 atMs;
        bool lineQuiet; // nothing had reached either instrument yet
    };
    QList<Shown> shown;
    const LogCapture debug;
    QElapsedTimer clock;
    clock.start();
    PELKfwloader window;
    LoaderProbe probe(window);
    connect(window.statusBar(), &QStatusBar::messageChanged, this, [&](const QString &text) {
        shown.append({text, clock.elapsed(),
                      wrong.receivedBytes().isEmpty() && instrument.receivedBytes().isEmpty()});
    });

    QTRY_VERIFY_WITH_TIMEOUT(probe.ui().pushButton->isEnabled(), kRealScanLimitMs);
    QStringList texts;
    for (const Shown &entry : shown)
        texts << entry.text;
    QCOMPARE(texts, QStringList({kSearching + "COM1", kSearching + "COM2", kSearching + "COM3",
                                 kSearching + "COM4", kSearching + "COM5", kSearching + "COM6",
                                 kSearching + "COM7", kFound + "COM7"}));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("Zorbelmeter, FW: V1.23"));
    QVERIFY(probe.portOpen());
    QVERIFY(!probe.queryPending());
    QVERIFY(!probe.scanTimer()->isActive());
    QVERIFY(!probe.ui().pushButton_2->isEnabled());
    QCOMPARE(programLines(debug), QStringList({"2", "Version: 123", "2", "Version: 123"}));

    // Nothing goes out before the first tick.
    QVERIFY(shown.at(0).lineQuiet);
    QVERIFY2(shown.at(0).atMs >= earliest(kFirstTickMs), qPrintable(QString::number(shown.at(0).atMs)));
    // COM1: query, reply read and rejected; COM2..COM6 missing; COM7: query, reply.
    const qint64 gaps[] = {earliest(kReplyWaitMs) + earliest(kRejectedPortMs), earliest(kMissingPortMs),
                           earliest(kMissingPortMs), earliest(kMissingPortMs),
                           earliest(kMissingPortMs), earliest(kMissingPortMs), earliest(kReplyWaitMs)};
    for (int i = 0; i < int(std::size(gaps)); ++i) {
        const qint64 gap = shown.at(i + 1).atMs - shown.at(i).atMs;
        QVERIFY2(gap >= gaps[i], qPrintable(QStringLiteral("%1 -> %2: %3 ms")
                                                .arg(shown.at(i).text, shown.at(i + 1).text)
                                                .arg(gap)));
    }
}

// Ports whose output is stopped ahead of the instrument: the window waits on none of
// them, counts each as silent and finds the instrument. A heartbeat much shorter than
// the reply wait sees each port's query left in the queue while the event loop turns.
void TestDiscovery::stoppedPortsDoNotHoldTheWindow()
{
    constexpr int kStoppedPorts = 3;
    std::array<SimulatedInstrument, kStoppedPorts> stopped;
    SimulatedInstrument instrument;
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    QStringList map{instrument.portMapEntry(com(kStoppedPorts + 1))};
    for (int i = 0; i < kStoppedPorts; ++i) {
        QVERIFY2(stopped.at(i).isValid(), qPrintable(stopped.at(i).errorString()));
        stopped.at(i).stopReceiving();
        map << stopped.at(i).portMapEntry(com(i + 1));
    }
    setPorts(map);

    const LogCapture debug;
    PELKfwloader window;
    LoaderProbe probe(window);
    QList<int> seenWaiting; // port indexes
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    connect(&heartbeat, &QTimer::timeout, this, [&] {
        if (probe.queryPending() && probe.modem().pendingOutput() > 0 && !seenWaiting.contains(probe.portIndex()))
            seenWaiting << probe.portIndex();
    });
    heartbeat.start(kHeartbeatMs);
    QTRY_VERIFY_WITH_TIMEOUT(probe.ui().pushButton->isEnabled(), kRealScanLimitMs);
    heartbeat.stop();

    QCOMPARE(window.statusBar()->currentMessage(), kFound + com(kStoppedPorts + 1));
    QCOMPARE(seenWaiting, QList<int>({0, 1, 2}));
    QCOMPARE(programLines(debug), QStringList({"0", "0", "0", "2", "Version: 123"}));
    QCOMPARE(notTaken(debug), QStringList({"zorbel.serial: COM1:", "zorbel.serial: COM2:", "zorbel.serial: COM3:"}));
    for (const SimulatedInstrument &port : stopped)
        QVERIFY(port.receivedBytes().isEmpty());
}

// A port that never takes the query is written to the serial log on the first pass and
// only to its trace on the next.
void TestDiscovery::stoppedPortLoggedOnce()
{
    SimulatedInstrument stopped;
    QVERIFY2(stopped.isValid(), qPrintable(stopped.errorString()));
    stopped.stopReceiving();
    setPorts({stopped.portMapEntry("COM1")});

    const LogCapture debug;
    SteppedWindow s;
    for (int pass = 0; pass < 2; ++pass) {
        s.probe.scanStep();
        QVERIFY(s.probe.queryPending());
        s.probe.scanStep();
        QCOMPARE(s.probe.scanTimer()->interval(), kRejectedPortMs);
        for (int index = 1; index < kPortCount; ++index)
            STEP(probeMissing(s, index));
    }
    QCOMPARE(notTaken(debug), QStringList({"zorbel.serial: COM1:", "zorbel.serial.trace: COM1:"}));
    QCOMPARE(programLines(debug), QStringList({"0", "0"}));
}

QTEST_MAIN(TestDiscovery)
#include "tst_discovery.moc"
