// Modem against the simulated instrument on a pseudo-terminal.

#include "devicelock.h"
#include "logcapture.h"
#include "modem.h"
#include "modeminput.h"
#include "simulatedinstrument.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;          // generous bound for anything crossing the line
constexpr int kStuckWriteBytes = 1 << 20;  // far more than a pseudo-terminal buffers
constexpr char kMarker = '.';           // sent after a write to show what came before it
constexpr int kLongPathChars = 300;     // far more than a lock file's name takes
const char *const kHoldPortVariable = "ZORBEL_TEST_HOLD_PORT";
const char *const kHeldLine = "held";

QString openLine(const QString &com, const QString &outcome)
{
    return QStringLiteral("^open %1 -> .*: %2").arg(QRegularExpression::escape(com), outcome);
}

void setPorts(const QString &map)
{
    qputenv("ZORBEL_PORTS", map.toUtf8());
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy)
        result << arguments.at(0).toString();
    return result;
}

// Leaves the device at settings the Modem must undo: 1200 bit/s, two stop bits,
// hardware and software flow control.
bool scrambleLine(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    termios settings{};
    bool ok = ::tcgetattr(fd, &settings) == 0;
    ::cfsetspeed(&settings, B1200);
    settings.c_cflag |= CSTOPB | CRTSCTS;
    settings.c_iflag |= IXON | IXOFF;
    ok = ok && ::tcsetattr(fd, TCSANOW, &settings) == 0;
    ::close(fd);
    return ok;
}

// Child mode: hold a port until standard input closes.
int holdPort(const QString &comName)
{
    MappedModem modem;
    if (!modem.openTty(comName))
        return 1;
    std::printf("%s\n", kHeldLine);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    modem.closeTty();
    return 0;
}

// The simulator on COM1 and a Modem with that port open: the set-up most tests share.
struct OpenLine
{
    explicit OpenLine(const SimulatedInstrument::Config &config = {}) : sim(config) {}
    bool open()
    {
        if (!sim.isValid())
            return false;
        setPorts(sim.portMapEntry(QStringLiteral("COM1")));
        modem.refreshPortMap();
        return modem.openTty(QStringLiteral("COM1"));
    }

    SimulatedInstrument sim;
    MappedModem modem;
};

} // namespace

class TstModem : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setPorts(QString()); }

    void interface();
    void openThroughMap_data();
    void openThroughMap();
    void openFails_data();
    void openFails();
    void busyInThisProcess_data();
    void busyInThisProcess();
    void busyInAnotherProcess();
    void openOutcomeLoggedWhenItChanges_data();
    void openOutcomeLoggedWhenItChanges();
    void baudRule_data();
    void baudRule();
    void readNothingReturnsAtOnce();
    void readLeavesRestQueued();
    void inputDroppedBetweenExchanges();
    void writeText_data();
    void writeText();
    void writeByte_data();
    void writeByte();
    void closeTwice();
    void closedPortRefusesIo();
    void stuckWriteGivesUp();
    void lineStoppedUnderAWriteIsNoFailure();
    void hangUp_data();
    void hangUp();
    void refreshTakesNewMap();
};

void TstModem::interface()
{
    MappedModem modem;
    const QMetaObject *meta = modem.metaObject();
    QCOMPARE(meta->className(), "Modem");
    // setTtyText first, then the port's events for the event-driven flash transfer.
    const QList<QByteArray> signatures = {"setTtyText(QString)", "dataArrived()", "outputDrained()", "portLost()"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), signatures.size());
    for (int i = 0; i < signatures.size(); ++i) {
        const QMetaMethod signal = meta->method(meta->methodOffset() + i);
        QCOMPARE(signal.methodType(), QMetaMethod::Signal);
        QCOMPARE(signal.methodSignature(), signatures.at(i));
    }
    QCOMPARE(meta->propertyCount() - meta->propertyOffset(), 0);
    QCOMPARE(meta->enumeratorCount() - meta->enumeratorOffset(), 0);
}

void TstModem::openThroughMap_data()
{
    QTest::addColumn<QString>("com");
    QTest::newRow("COM1") << QStringLiteral("COM1");
    QTest::newRow("COM9") << QStringLiteral("COM9");
    QTest::newRow("COM10") << QStringLiteral("COM10");
    QTest::newRow("COM50") << QStringLiteral("COM50");
}

void TstModem::openThroughMap()
{
    QFETCH(QString, com);
    SimulatedInstrument sim;
    QVERIFY2(sim.isValid(), qPrintable(sim.errorString()));
    setPorts(sim.portMapEntry(com));
    MappedModem modem;
    QSignalSpy spy(&modem, &Modem::setTtyText);

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^%1 -> %2: device cannot take DTR/RTS")
                                                           .arg(com, QRegularExpression::escape(sim.devicePath()))));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(openLine(com, QStringLiteral("opened$"))));
    QVERIFY(modem.openTty(com));
    QCOMPARE(texts(spy), QStringList{com});
    QVERIFY(!modem.portFailed());

    // The port really is the simulator's line.
    QVERIFY(modem.writeTtyByte(kMarker));
    QTRY_COMPARE_WITH_TIMEOUT(sim.receivedBytes(), QByteArray(1, kMarker), kWaitMs);
}

void TstModem::openFails_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("com");
    QTest::addColumn<bool>("logged"); // a device path was tried (a name without one is not logged)
    QTest::newRow("empty name") << QStringLiteral("COM1=/dev/null") << QString() << false;
    QTest::newRow("not in the map") << QStringLiteral("COM1=/dev/null") << QStringLiteral("COM11") << false;
    QTest::newRow("no ports at all") << QString() << QStringLiteral("COM1") << false;
    QTest::newRow("device missing") << QStringLiteral("COM3=/nonexistent/ttyX") << QStringLiteral("COM3") << true;
    QTest::newRow("not a COM name") << QStringLiteral("COM1=/dev/null") << QStringLiteral("/dev/null") << false;
    QTest::newRow("COM0") << QStringLiteral("COM1=/dev/null") << QStringLiteral("COM0") << false;
}

void TstModem::openFails()
{
    QFETCH(QString, map);
    QFETCH(QString, com);
    QFETCH(bool, logged);
    setPorts(map);
    MappedModem modem;
    QSignalSpy spy(&modem, &Modem::setTtyText);
    if (logged)
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(openLine(com, QStringLiteral("no such device$"))));
    QCOMPARE(modem.openPort(com), Modem::OpenResult::NoDevice);
    QCOMPARE(texts(spy), QStringList{QStringLiteral("?")});
    char buffer[4];
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
    QVERIFY(!modem.writeTtyByte(kMarker));
}

void TstModem::busyInThisProcess_data()
{
    QTest::addColumn<bool>("sameName");
    QTest::addColumn<bool>("throughSymlink");
    QTest::newRow("same COM name") << true << false;
    QTest::newRow("two COM names, one device") << false << false;
    QTest::newRow("device and a symlink to it") << false << true;
}

void TstModem::busyInThisProcess()
{
    QFETCH(bool, sameName);
    QFETCH(bool, throughSymlink);
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString secondPath = sim.devicePath();
    if (throughSymlink) {
        secondPath = dir.filePath(QStringLiteral("ttyV0"));
        QVERIFY(QFile::link(sim.devicePath(), secondPath));
    }
    setPorts(sim.portMapEntry(QStringLiteral("COM1")) + QStringLiteral(",COM2=") + secondPath);
    const QString secondCom = sameName ? QStringLiteral("COM1") : QStringLiteral("COM2");

    MappedModem first;
    MappedModem second;
    QVERIFY(first.openTty(QStringLiteral("COM1")));
    QSignalSpy spy(&second, &Modem::setTtyText);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(openLine(secondCom, QStringLiteral("busy"))));
    QVERIFY(!second.openTty(secondCom));
    QCOMPARE(texts(spy), QStringList{QStringLiteral("?")});

    // The failed open leaves the holder's line alone.
    QVERIFY(first.writeTty("@v;"));
    QCOMPARE(readWithin(first, 2, kWaitMs), QByteArray("Z\x7B"));
    QVERIFY(!first.portFailed());

    QVERIFY(first.closeTty());
    QVERIFY(second.openTty(secondCom));
}

void TstModem::busyInAnotherProcess()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    setPorts(sim.portMapEntry(QStringLiteral("COM4")));

    QProcess holder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kHoldPortVariable), QStringLiteral("COM4"));
    holder.setProcessEnvironment(environment);
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(holder.waitForStarted(kWaitMs));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += holder.readAllStandardOutput()).contains(kHeldLine), kWaitMs);

    MappedModem modem;
    QSignalSpy spy(&modem, &Modem::setTtyText);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(openLine(QStringLiteral("COM4"), QStringLiteral("busy"))));
    QVERIFY(!modem.openTty(QStringLiteral("COM4")));
    QCOMPARE(texts(spy), QStringList{QStringLiteral("?")});

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(kWaitMs));
    QCOMPARE(holder.exitCode(), 0);
    QVERIFY(modem.openTty(QStringLiteral("COM4")));
}

void TstModem::openOutcomeLoggedWhenItChanges_data()
{
    // What stands behind COM1 at each open: "free" (the simulator), "busy" (its device
    // locked by someone else), "missing" (a path without a device), "none" (no path),
    // "long" (the simulator through a path too long to name a lock file after).
    QTest::addColumn<QStringList>("passes");
    QTest::addColumn<QStringList>("logged"); // outcomes written to zorbel.serial, in order
    QTest::addColumn<int>("traced");         // opens only written to zorbel.serial.trace

    QTest::newRow("opened every time") << QStringList{"free", "free", "free"} << QStringList{"opened"} << 2;
    QTest::newRow("no device behind the name") << QStringList{"none", "none", "none"} << QStringList{} << 0;
    QTest::newRow("busy, then free") << QStringList{"busy", "busy", "free", "free"}
                                     << QStringList{"busy", "opened"} << 2;
    QTest::newRow("unplugged and back") << QStringList{"free", "missing", "missing", "free"}
                                        << QStringList{"opened", "no such device", "opened"} << 1;
    QTest::newRow("path of over 300 characters") << QStringList{"long", "long", "free"}
                                                 << QStringList{"cannot lock: device path too long", "opened"} << 1;
}

void TstModem::openOutcomeLoggedWhenItChanges()
{
    QFETCH(QStringList, passes);
    QFETCH(QStringList, logged);
    QFETCH(int, traced);

    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    // The device is reached through a link that can vanish and come back, as an
    // adapter's name does when it is unplugged and plugged in again.
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("ttyAdapter"));
    QString longDevice = dir.path();
    while (longDevice.size() < kLongPathChars)
        longDevice += QStringLiteral("/folder");
    QVERIFY(QDir().mkpath(longDevice));
    longDevice += QStringLiteral("/ttyAdapter");
    const LogCapture log;
    MappedModem modem;
    for (const QString &pass : passes) {
        DeviceLock holder;
        if (pass == QLatin1String("busy"))
            QCOMPARE(holder.acquire(sim.devicePath()), DeviceLock::Result::Locked);
        const QString path = pass == QLatin1String("long") ? longDevice : device;
        QFile::remove(path);
        if (pass != QLatin1String("missing"))
            QVERIFY(QFile::link(sim.devicePath(), path));
        setPorts((pass == QLatin1String("none") ? QStringLiteral("COM2=") : QStringLiteral("COM1=")) + path);
        modem.refreshPortMap();
        modem.openTty(QStringLiteral("COM1"));
        modem.closeTty();
    }

    QStringList outcomes;
    int traceLines = 0;
    int details = 0;
    for (const LogCapture::Line &line : log.lines()) {
        if (!line.category.startsWith("zorbel.serial"))
            continue;
        if (line.category == "zorbel.serial.trace") {
            QCOMPARE(line.type, QtDebugMsg);
            ++traceLines;
        } else if (line.text.startsWith(QLatin1String("open COM1 -> "))) {
            outcomes << line.text.section(QStringLiteral(": "), 1);
        } else if (line.text.startsWith(QLatin1String("COM1 "))) {
            ++details; // line set-up and DTR/RTS, with the "opened" they belong to
        }
    }
    QCOMPARE(outcomes.size(), logged.size());
    for (int i = 0; i < logged.size(); ++i)
        QVERIFY2(outcomes.at(i).startsWith(logged.at(i)), qPrintable(outcomes.at(i)));
    QCOMPARE(traceLines, traced);
    QCOMPARE(details, 2 * int(logged.count(QStringLiteral("opened"))));
}

void TstModem::baudRule_data()
{
    QTest::addColumn<QList<int>>("rates"); // setBaudRate calls, in order
    QTest::addColumn<int>("applied");
    QTest::newRow("never set") << QList<int>{} << 57600;
    QTest::newRow("9600") << QList<int>{9600} << 9600;
    QTest::newRow("19200") << QList<int>{19200} << 19200;
    QTest::newRow("57600") << QList<int>{57600} << 57600;
    QTest::newRow("115200") << QList<int>{115200} << 115200;
    QTest::newRow("38400 alone") << QList<int>{38400} << 57600;
    QTest::newRow("38400 keeps 19200") << QList<int>{19200, 38400} << 19200;
    QTest::newRow("0 and -1 ignored") << QList<int>{115200, 0, -1} << 115200;
    QTest::newRow("last valid wins") << QList<int>{19200, 9600} << 9600;
}

void TstModem::baudRule()
{
    QFETCH(QList<int>, rates);
    QFETCH(int, applied);
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    setPorts(sim.portMapEntry(QStringLiteral("COM2")));
    QVERIFY(scrambleLine(sim.devicePath()));
    QCOMPARE(sim.lineSettings().baudRate, 1200);
    QVERIFY(sim.lineSettings().hardwareFlowControl);
    MappedModem modem;
    for (int rate : rates)
        modem.setBaudRate(rate);
    QVERIFY(modem.openTty(QStringLiteral("COM2")));

    // A pseudo-terminal always has 8 data bits and no parity, so only speed, stop
    // bits and flow control show here.
    const SimulatedInstrument::LineSettings line = sim.lineSettings();
    QCOMPARE(line.baudRate, applied);
    QCOMPARE(line.stopBits, 1);
    QCOMPARE(line.hardwareFlowControl, false);
    QCOMPARE(line.softwareFlowControl, false);
}

// Nothing is ever sent here: a read that waited for input would not return.
void TstModem::readNothingReturnsAtOnce()
{
    OpenLine line;
    QVERIFY(line.open());
    auto &[sim, modem] = line;
    char buffer[8];
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
    QCOMPARE(modem.readTty(buffer, 0), 0);
    QCOMPARE(modem.readTty(nullptr, 4), 0);
    QVERIFY(!modem.portFailed()); // the empty poll is no error
}

void TstModem::readLeavesRestQueued()
{
    OpenLine line;
    QVERIFY(line.open());
    auto &[sim, modem] = line;

    // Five bytes wait at the device; no event loop runs before the read.
    const QByteArray sent("ABCDE");
    QVERIFY(sim.sendRaw(sent));
    QVERIFY(sim.waitForPendingAtDevice(sent.size(), kWaitMs));

    char buffer[16] = {};
    QCOMPARE(modem.readTty(buffer, 2), 2);
    QCOMPARE(QByteArray(buffer, 2), QByteArray("AB"));
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 3);
    QCOMPARE(QByteArray(buffer, 3), QByteArray("CDE"));
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
}

// While the port waits between exchanges nothing of what arrives stays: not what was
// waiting when the dropping began, not what comes after; a reader gets only what
// arrives once it is off again, and so does every new open.
void TstModem::inputDroppedBetweenExchanges()
{
    OpenLine line;
    QVERIFY(line.open());
    auto &[sim, modem] = line;
    QSignalSpy arrived(&modem, &Modem::dataArrived);

    QVERIFY(sim.sendRaw("waiting"));
    QVERIFY(sim.waitForPendingAtDevice(7, kWaitMs));
    char buffer[16] = {};
    QCOMPARE(modem.readTty(buffer, 1), 1); // the port's own buffer holds the rest now
    modem.setInputDropped(true);
    arrived.clear();
    QVERIFY(sim.sendRaw(QByteArray(1024, 'x'))); // within what the line holds unread
    // Counted as dropped, not merely gone from the device: bytes just sent may not be
    // counted at the device yet either.
    QTRY_COMPARE_WITH_TIMEOUT(modem.droppedInput(), qint64(6 + 1024), kWaitMs);
    QCOMPARE(sim.pendingAtDevice(), 0);
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
    QCOMPARE(arrived.size(), 0);

    modem.setInputDropped(false);
    QVERIFY(sim.sendRaw("k"));
    QVERIFY(arrived.wait(kWaitMs));
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 1);
    QCOMPARE(buffer[0], 'k');

    modem.setInputDropped(true);
    QVERIFY(modem.openTty(QStringLiteral("COM1")));
    QVERIFY(sim.sendRaw("k"));
    QVERIFY(arrived.wait(kWaitMs));
}

void TstModem::writeText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("onWire");
    QTest::newRow("version query") << QByteArray("@v;") << QByteArray("\x40\x76\x3B");
    QTest::newRow("write command") << QByteArray("@w#####;") << QByteArray("\x40\x77\x23\x23\x23\x23\x23\x3B");
    QTest::newRow("empty text") << QByteArray("") << QByteArray();
    QTest::newRow("high bytes") << QByteArray("\xFF\x80") << QByteArray("\xFF\x80");
}

void TstModem::writeText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, onWire);
    SimulatedInstrument::Config silent;
    silent.replyLength = 0;
    OpenLine line(silent);
    QVERIFY(line.open());
    auto &[sim, modem] = line;

    QVERIFY(modem.writeTty(text.constData()));
    QVERIFY(modem.writeTtyByte(kMarker));
    QTRY_COMPARE_WITH_TIMEOUT(sim.receivedBytes(), onWire + kMarker, kWaitMs);
}

void TstModem::writeByte_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<char>("onWire");
    QTest::newRow("0x1FF") << 0x1FF << '\xFF';
    QTest::newRow("0x100") << 0x100 << '\x00';
    QTest::newRow("-1") << -1 << '\xFF';
    QTest::newRow("0x6B") << 0x6B << 'k';
    QTest::newRow("0x12340") << 0x12340 << '\x40';
}

void TstModem::writeByte()
{
    QFETCH(int, value);
    QFETCH(char, onWire);
    OpenLine line;
    QVERIFY(line.open());
    auto &[sim, modem] = line;

    QVERIFY(modem.writeTtyByte(value));
    QVERIFY(modem.writeTtyByte(kMarker));
    QTRY_COMPARE_WITH_TIMEOUT(sim.receivedBytes(), QByteArray(1, onWire) + kMarker, kWaitMs);
}

void TstModem::closeTwice()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    setPorts(sim.portMapEntry(QStringLiteral("COM1")));
    MappedModem modem;
    QSignalSpy spy(&modem, &Modem::setTtyText);
    QVERIFY(modem.closeTty()); // never opened
    QVERIFY(modem.openTty(QStringLiteral("COM1")));
    QVERIFY(modem.closeTty());
    QVERIFY(modem.closeTty());
    QCOMPARE(texts(spy), (QStringList{QStringLiteral("?"), QStringLiteral("COM1"), QStringLiteral("?"),
                                      QStringLiteral("?")}));

    // The device was let go: another Modem gets it.
    MappedModem other;
    QVERIFY(other.openTty(QStringLiteral("COM1")));
}

void TstModem::closedPortRefusesIo()
{
    OpenLine line;
    QVERIFY(line.open());
    auto &[sim, modem] = line;
    QVERIFY(sim.sendRaw("xy"));
    QVERIFY(sim.waitForPendingAtDevice(2, kWaitMs));
    QVERIFY(modem.closeTty());

    char buffer[4];
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
    QVERIFY(!modem.writeTty("@v;"));
    QVERIFY(!modem.writeTtyByte('k'));
    QVERIFY(!modem.portFailed());
    QVERIFY(sim.receivedBytes().isEmpty());
}

void TstModem::stuckWriteGivesUp()
{
    // A line nobody reads: the writer must give up instead of hanging.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    setPorts(QStringLiteral("COM5=") + QString::fromLocal8Bit(::ptsname(master)));
    {
        MappedModem modem;
        QVERIFY(modem.openTty(QStringLiteral("COM5")));
        const QByteArray flood(kStuckWriteBytes, 'A');
        const LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("not taken within")));
        QVERIFY(!modem.writeTty(flood.constData()));
        // It gives up no sooner than it says (1 ms for rounding); a write that never gave
        // up would hold the test until its watchdog ends it.
        const qint64 elapsed = timer.elapsed();
        const QStringList said = log.texts("zorbel.serial", QtInfoMsg).filter(QStringLiteral("not taken within"));
        QCOMPARE(said.size(), 1);
        const qint64 waitedMs = said.first().section(QStringLiteral("within "), 1).section(QLatin1Char(' '), 0, 0).toLongLong();
        QVERIFY2(waitedMs > 0 && elapsed >= waitedMs - 1, qPrintable(QStringLiteral("%1 ms: %2").arg(elapsed).arg(said.first())));
        QVERIFY(!modem.portFailed());
        QVERIFY(modem.closeTty());
    }
    ::close(master);
}

// The event loop saw room on the line and input at once; the input's handler runs
// first and the line stops meanwhile, so that the write that follows is told "try
// again". The port has not failed: the bytes go once the line takes them again.
void TstModem::lineStoppedUnderAWriteIsNoFailure()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    setPorts(sim.portMapEntry(QStringLiteral("COM7")));
    MappedModem modem;
    QVERIFY(modem.openTty(QStringLiteral("COM7")));
    sim.stopReceiving();
    QVERIFY(modem.queueTty("@v;", 3));
    QCOMPARE(modem.pendingOutput(), qint64(3));

    const QMetaObject::Connection stopper =
        connect(&modem, &Modem::dataArrived, this, [&sim] { sim.stopReceiving(); });
    sim.resumeReceiving();
    QVERIFY(sim.sendRaw("x"));
    QElapsedTimer clock;
    clock.start();
    while (sim.pendingAtDevice() < 1 && clock.elapsed() < kWaitMs)
        QThread::msleep(1);
    QCoreApplication::processEvents();
    disconnect(stopper);
    QVERIFY(!modem.portFailed());

    sim.resumeReceiving();
    QTRY_COMPARE_WITH_TIMEOUT(sim.versionQueries(), 1, kWaitMs);
    QVERIFY(!modem.portFailed());
}

void TstModem::hangUp_data()
{
    QTest::addColumn<QString>("noticedBy");
    QTest::newRow("read") << QStringLiteral("read");
    QTest::newRow("write") << QStringLiteral("write");
    QTest::newRow("event loop") << QStringLiteral("events");
}

void TstModem::hangUp()
{
    QFETCH(QString, noticedBy);
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    setPorts(sim.portMapEntry(QStringLiteral("COM6")));
    MappedModem modem;
    QVERIFY(modem.openTty(QStringLiteral("COM6")));
    QVERIFY(!modem.portFailed());
    sim.hangUp();

    char buffer[4];
    if (noticedBy == QLatin1String("read"))
        QTRY_VERIFY_WITH_TIMEOUT(modem.readTty(buffer, sizeof buffer) == 0 && modem.portFailed(), kWaitMs);
    else if (noticedBy == QLatin1String("write"))
        QTRY_VERIFY_WITH_TIMEOUT(!modem.writeTtyByte('k') && modem.portFailed(), kWaitMs);
    else
        QTRY_VERIFY_WITH_TIMEOUT(modem.portFailed(), kWaitMs);

    // Once failed, the port stays dead until it is closed and opened again.
    QCOMPARE(modem.readTty(buffer, sizeof buffer), 0);
    QVERIFY(!modem.writeTty("@v;"));
    QSignalSpy spy(&modem, &Modem::setTtyText);
    QVERIFY(modem.closeTty());
    QCOMPARE(texts(spy), QStringList{QStringLiteral("?")});
    QVERIFY(modem.portFailed());

    // The device is gone; the next open fails and starts with a clean slate.
    QVERIFY(!modem.openTty(QStringLiteral("COM6")));
    QVERIFY(!modem.portFailed());

    SimulatedInstrument replugged;
    QVERIFY(replugged.isValid());
    setPorts(replugged.portMapEntry(QStringLiteral("COM6")));
    modem.refreshPortMap();
    QVERIFY(modem.openTty(QStringLiteral("COM6")));
    QVERIFY(!modem.portFailed());
}

void TstModem::refreshTakesNewMap()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    MappedModem modem; // built while no ports are mapped
    setPorts(sim.portMapEntry(QStringLiteral("COM3")));
    QVERIFY(!modem.openTty(QStringLiteral("COM3")));
    modem.refreshPortMap();
    QVERIFY(modem.openTty(QStringLiteral("COM3")));
    QVERIFY(modem.closeTty());

    setPorts(QString()); // set but empty: no ports at all
    modem.refreshPortMap();
    QVERIFY(!modem.openTty(QStringLiteral("COM3")));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString held = qEnvironmentVariable(kHoldPortVariable);
    if (!held.isEmpty())
        return holdPort(held);
    TstModem test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modem.moc"
