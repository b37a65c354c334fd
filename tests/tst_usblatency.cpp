// Low-latency mode for USB-serial adapters: which devices are asked, how the driver's
// answer is read, that the adapter's flags are put back, and that a pseudo-terminal is
// left alone without a word.

#include "logcapture.h"
#include "lowlatencymode.h"
#include "modem.h"
#include "modeminput.h"
#include "portmap.h"
#include "usblatency.h"

#include <QtTest>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The driver of a USB-serial adapter as far as its serial flags go, behind one
// descriptor (no adapter is needed): the ioctl below answers TIOCGSERIAL and
// TIOCSSERIAL for it and passes every other call to the kernel.
struct FakeAdapter
{
    int fd = -1;
    int flags = 0;
    bool refuseChanges = false;
    int changeRequests = 0;
};
FakeAdapter g_adapter;

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (fd >= 0 && fd == g_adapter.fd && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto *settings = static_cast<serial_struct *>(argument);
        if (request == TIOCGSERIAL) {
            *settings = serial_struct{};
            settings->flags = g_adapter.flags;
            return 0;
        }
        ++g_adapter.changeRequests;
        if (g_adapter.refuseChanges) {
            errno = EPERM;
            return -1;
        }
        g_adapter.flags = settings->flags;
        return 0;
    }
    return static_cast<int>(::syscall(SYS_ioctl, fd, request, argument));
}

namespace {

// A pseudo-terminal pair, closed again when the object goes.
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        const char *name = ::ptsname(master);
        if (name != nullptr)
            slavePath = QString::fromLocal8Bit(name);
    }
    ~PseudoTerminal()
    {
        if (master >= 0)
            ::close(master);
    }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return !slavePath.isEmpty(); }

    int master = -1;
    QString slavePath;
};

} // namespace

class TstUsbLatency : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qputenv(PortMap::kEnvironmentVariable, QByteArray()); }

    void isAdapterPath_data();
    void isAdapterPath();
    void symlinkIsJudgedByItsTarget();
    void driverAnswer_data();
    void driverAnswer();
    void adapterLeftAsFound_data();
    void adapterLeftAsFound();
    void modemLeavesPseudoTerminalAloneQuietly_data();
    void modemLeavesPseudoTerminalAloneQuietly();
};

void TstUsbLatency::isAdapterPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("adapter");

    QTest::newRow("FTDI and friends") << "/dev/ttyUSB0" << true;
    QTest::newRow("two digits") << "/dev/ttyUSB12" << true;
    QTest::newRow("CDC ACM") << "/dev/ttyACM3" << true;
    QTest::newRow("built-in port") << "/dev/ttyS0" << false;
    QTest::newRow("pseudo-terminal") << "/dev/pts/4" << false;
    QTest::newRow("no number") << "/dev/ttyUSB" << false;
    QTest::newRow("trailing text") << "/dev/ttyUSB0x" << false;
    QTest::newRow("bare name") << "ttyUSB0" << false;
    QTest::newRow("outside /dev") << "/tmp/ttyUSB0" << false;
    QTest::newRow("deeper in /dev") << "/dev/serial/ttyUSB0" << false;
    QTest::newRow("lower case") << "/dev/ttyusb0" << false;
    QTest::newRow("empty") << QString() << false;
}

void TstUsbLatency::isAdapterPath()
{
    QFETCH(QString, path);
    QFETCH(bool, adapter);
    QCOMPARE(UsbLatency::isAdapterPath(path), adapter);
}

// A link named like an adapter that leads to a pseudo-terminal is no adapter; a
// dangling link is nothing at all.
void TstUsbLatency::symlinkIsJudgedByItsTarget()
{
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyUSB0"));
    QVERIFY(QFile::link(pty.slavePath, link));
    QCOMPARE(UsbLatency::adapterDevice(link), QString());

    const QString dangling = dir.filePath(QStringLiteral("ttyACM0"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), dangling));
    QCOMPARE(UsbLatency::adapterDevice(dangling), QString());
    QCOMPARE(UsbLatency::adapterDevice(QStringLiteral("/dev/ttyUSB-not-there")), QString());
}

void TstUsbLatency::driverAnswer_data()
{
    QTest::addColumn<QString>("descriptor");
    QTest::addColumn<UsbLatency::State>("state");
    QTest::addColumn<int>("systemError");

    QTest::newRow("pseudo-terminal") << "pty" << UsbLatency::State::Unsupported << int(ENOTTY);
    QTest::newRow("plain file") << "file" << UsbLatency::State::Unsupported << int(ENOTTY);
    QTest::newRow("closed descriptor") << "closed" << UsbLatency::State::Failed << int(EBADF);
}

void TstUsbLatency::driverAnswer()
{
    QFETCH(QString, descriptor);
    QFETCH(UsbLatency::State, state);
    QFETCH(int, systemError);

    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    QTemporaryFile file;
    QVERIFY(file.open());
    int fd = -1;
    if (descriptor == QLatin1String("pty"))
        fd = pty.master;
    else if (descriptor == QLatin1String("file"))
        fd = file.handle();

    const UsbLatency::Outcome outcome = UsbLatency::requestLowLatency(fd);
    QCOMPARE(outcome.state, state);
    QCOMPARE(outcome.systemError, systemError);
    QVERIFY(!UsbLatency::describe(outcome).isEmpty());
}

void TstUsbLatency::adapterLeftAsFound_data()
{
    QTest::addColumn<int>("before");         // the adapter's flags before the port opens
    QTest::addColumn<bool>("refuseChanges"); // the driver refuses to change them
    QTest::addColumn<UsbLatency::State>("state");
    QTest::addColumn<int>("whileOpen");
    QTest::addColumn<int>("changeRequests"); // in all, the request and any restore

    constexpr int other = ASYNC_SKIP_TEST | ASYNC_SPD_HI; // flags that are not ours to change
    constexpr int lowLatency = ASYNC_LOW_LATENCY;
    QTest::newRow("off before: on while open, off again")
        << other << false << UsbLatency::State::Enabled << (other | lowLatency) << 2;
    QTest::newRow("on before: left on, never written")
        << (other | lowLatency) << false << UsbLatency::State::AlreadyOn << (other | lowLatency) << 0;
    QTest::newRow("refused: nothing to put back") << other << true << UsbLatency::State::Failed << other << 1;
}

void TstUsbLatency::adapterLeftAsFound()
{
    QFETCH(int, before);
    QFETCH(bool, refuseChanges);
    QFETCH(UsbLatency::State, state);
    QFETCH(int, whileOpen);
    QFETCH(int, changeRequests);

    QTemporaryFile device; // stands for the open adapter
    QVERIFY(device.open());
    g_adapter = FakeAdapter{device.handle(), before, refuseChanges, 0};
    {
        const LowLatencyMode mode(device.handle(), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(mode.outcome().state, state);
        QCOMPARE(g_adapter.flags, whileOpen);
    }
    QCOMPARE(g_adapter.flags, before);
    QCOMPARE(g_adapter.changeRequests, changeRequests);
    g_adapter = FakeAdapter{};
}

void TstUsbLatency::modemLeavesPseudoTerminalAloneQuietly_data()
{
    QTest::addColumn<bool>("throughAdapterNamedLink");
    QTest::newRow("device path") << false;
    QTest::newRow("link named ttyUSB0") << true;
}

void TstUsbLatency::modemLeavesPseudoTerminalAloneQuietly()
{
    QFETCH(bool, throughAdapterNamedLink);

    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = pty.slavePath;
    if (throughAdapterNamedLink) {
        path = dir.filePath(QStringLiteral("ttyUSB0"));
        QVERIFY(QFile::link(pty.slavePath, path));
    }
    qputenv(PortMap::kEnvironmentVariable, QStringLiteral("COM1=%1").arg(path).toLocal8Bit());

    const LogCapture log;
    {
        MappedModem modem;
        modem.setBaudRate(19200);
        QVERIFY(modem.openTty(QStringLiteral("COM1")));
        modem.closeTty();
    }

    bool reported = false;
    for (const LogCapture::Line &line : log.lines()) {
        if (line.category != "zorbel.serial")
            continue;
        reported = true;
        QVERIFY2(line.type != QtWarningMsg && line.type != QtCriticalMsg, qPrintable(line.text));
        QVERIFY2(!line.text.contains(QStringLiteral("low-latency")), qPrintable(line.text));
    }
    QVERIFY2(reported, "the open itself is reported");
}

QTEST_GUILESS_MAIN(TstUsbLatency)
#include "tst_usblatency.moc"
