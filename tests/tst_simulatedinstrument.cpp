// The simulated instrument, driven through a plain descriptor on its device.

#include "simulatedinstrument.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kQuietMs = 50;
constexpr int kBlock = SimulatedInstrument::kBlockSize;
constexpr char kRequest = SimulatedInstrument::kRequestByte;
const QByteArray kQuery("@v;");
const QByteArray kWrite("@w#####;");
const QByteArray kEnd("\xFF\xFF");

QByteArray addressBytes(quint16 address)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append(static_cast<char>(address >> 8));
    return bytes;
}

QByteArray blockData(int seed)
{
    QByteArray data(kBlock, '\0');
    for (int i = 0; i < kBlock; ++i)
        data[i] = static_cast<char>(seed + i);
    return data;
}

// The loader's end of the line, opened raw.
class Line
{
public:
    explicit Line(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0) {
            termios settings{};
            ::tcgetattr(m_fd, &settings);
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~Line()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    bool send(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), bytes.size()) == bytes.size();
    }

    // Reads exactly count bytes, or what came before msecs passed.
    QByteArray receive(int count, int msecs = kWaitMs)
    {
        QByteArray result;
        QElapsedTimer timer;
        timer.start();
        while (result.size() < count && timer.elapsed() < msecs) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(msecs - timer.elapsed())) <= 0)
                continue;
            if (fd.revents & POLLHUP)
                break;
            char buffer[256];
            const ssize_t got = ::read(m_fd, buffer, std::min<qsizetype>(sizeof buffer, count - result.size()));
            if (got > 0)
                result.append(buffer, got);
        }
        return result;
    }

    // True when the other end has hung up.
    bool hungUp(int msecs = kWaitMs)
    {
        pollfd fd{m_fd, POLLIN, 0};
        return ::poll(&fd, 1, msecs) > 0 && (fd.revents & POLLHUP);
    }

private:
    int m_fd = -1;
};

} // namespace

class TstSimulatedInstrument : public QObject
{
    Q_OBJECT

private slots:
    void versionReply_data();
    void versionReply();
    void commandFraming_data();
    void commandFraming();
    void transfer();
    void newTransferStartsOnErasedFlash();
    void strayByte_data();
    void strayByte();
    void stall_data();
    void stall();
    void hangUpAfterBlocks();
    void hangUpInjected();
    void pacedLine();
    void flashWriteDelay();
    void dumpAfterTransfer();
    void deviceClosedAndReopened();
    void lineSettingsAndPending();
};

void TstSimulatedInstrument::versionReply_data()
{
    QTest::addColumn<char>("letter");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("default") << 'Z' << 123 << 2 << QByteArray("Z\x7B");
    QTest::newRow("other letter") << 'z' << 99 << 2 << QByteArray("z\x63");
    QTest::newRow("one byte") << 'Z' << 123 << 1 << QByteArray("Z");
    QTest::newRow("three bytes") << 'Z' << 255 << 3 << QByteArray("Z\xFF\r");
    QTest::newRow("silent") << 'Z' << 123 << 0 << QByteArray();
    QTest::newRow("length clamped") << 'Z' << 100 << 7 << QByteArray("Z\x64\r");
}

void TstSimulatedInstrument::versionReply()
{
    QFETCH(char, letter);
    QFETCH(int, version);
    QFETCH(int, length);
    QFETCH(QByteArray, reply);
    SimulatedInstrument::Config config;
    config.letter = letter;
    config.version = static_cast<quint8>(version);
    config.replyLength = length;
    SimulatedInstrument sim(config);
    QVERIFY2(sim.isValid(), qPrintable(sim.errorString()));
    Line line(sim.devicePath());
    QVERIFY(line.isOpen());

    QVERIFY(line.send(kQuery));
    QVERIFY(sim.waitForVersionQueries(1, kWaitMs));
    QCOMPARE(line.receive(reply.size()), reply);

    // A second query with a known two-byte reply shows nothing else came before it.
    config.letter = 'Q';
    config.replyLength = 2;
    sim.setConfig(config);
    QVERIFY(line.send(kQuery));
    QVERIFY(sim.waitForVersionQueries(2, kWaitMs));
    QCOMPARE(line.receive(2), QByteArray("Q") + static_cast<char>(version));
    QCOMPARE(sim.receivedBytes(), kQuery + kQuery);
}

void TstSimulatedInstrument::commandFraming_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("queries");
    QTest::addColumn<int>("transfers");
    QTest::newRow("split across writes") << QList<QByteArray>{"@", "v", ";"} << 1 << 0;
    QTest::newRow("noise before") << QList<QByteArray>{"xyz\xFF;;@v;"} << 1 << 0;
    QTest::newRow("restart on '@'") << QList<QByteArray>{"@w@v;"} << 1 << 0;
    QTest::newRow("unknown command") << QList<QByteArray>{"@x;@v;"} << 1 << 0;
    QTest::newRow("too long") << QList<QByteArray>{"@w######;@v;"} << 1 << 0;
    QTest::newRow("two queries") << QList<QByteArray>{"@v;@v;"} << 2 << 0;
    QTest::newRow("write command") << QList<QByteArray>{"@w##", "###;"} << 0 << 1;
}

void TstSimulatedInstrument::commandFraming()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, queries);
    QFETCH(int, transfers);
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());
    QByteArray all;
    for (const QByteArray &piece : pieces) {
        QVERIFY(line.send(piece));
        all += piece;
        QTRY_COMPARE_WITH_TIMEOUT(sim.receivedBytes(), all, kWaitMs);
    }
    if (transfers > 0) {
        // Mid-transfer now: what follows would be a block address, not a command.
        QTRY_COMPARE_WITH_TIMEOUT(sim.requestsSent(), 1, kWaitMs);
        QCOMPARE(sim.transfersStarted(), transfers);
        QCOMPARE(sim.versionQueries(), queries);
        return;
    }
    // A final query marks the end of everything that came before.
    QVERIFY(line.send(kQuery));
    QVERIFY(sim.waitForVersionQueries(queries + 1, kWaitMs));
    QCOMPARE(sim.versionQueries(), queries + 1);
    QCOMPARE(sim.transfersStarted(), transfers);
}

void TstSimulatedInstrument::transfer()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());
    const QList<quint16> addresses{0x0000, 0x0040, 0x1FC0};

    QVERIFY(line.send(kWrite));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QCOMPARE(sim.state(), SimulatedInstrument::State::AwaitAddress);
    QByteArray sent = kWrite;
    for (int i = 0; i < addresses.size(); ++i) {
        const QByteArray block = addressBytes(addresses.at(i)) + blockData(i * 3);
        QVERIFY(line.send(block));
        sent += block;
        QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    }
    QVERIFY(!sim.endReceived());
    QVERIFY(line.send(kEnd));
    sent += kEnd;
    QVERIFY(sim.waitForTransferEnd(kWaitMs));

    QCOMPARE(sim.blockAddresses(), addresses);
    QCOMPARE(sim.receivedBytes(), sent);
    QCOMPARE(sim.requestsSent(), addresses.size() + 1);
    QCOMPARE(sim.transfersStarted(), 1);
    QCOMPARE(sim.transfersEnded(), 1);
    QCOMPARE(sim.state(), SimulatedInstrument::State::Idle);

    QByteArray expected(SimulatedInstrument::kFlashSize, '\xFF');
    for (int i = 0; i < addresses.size(); ++i)
        expected.replace(addresses.at(i), kBlock, blockData(i * 3));
    QCOMPARE(sim.flash(), expected);
}

void TstSimulatedInstrument::newTransferStartsOnErasedFlash()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());
    for (quint16 address : {quint16(0x0000), quint16(0x0040)}) {
        QVERIFY(line.send(kWrite));
        QCOMPARE(line.receive(1), QByteArray(1, kRequest));
        QVERIFY(line.send(addressBytes(address) + blockData(1)));
        QCOMPARE(line.receive(1), QByteArray(1, kRequest));
        QVERIFY(line.send(kEnd));
        QVERIFY(sim.waitForTransferEnd(kWaitMs));
    }
    QCOMPARE(sim.transfersEnded(), 2);
    QCOMPARE(sim.blockAddresses(), QList<quint16>{0x0040});
    QCOMPARE(sim.flash().left(kBlock), QByteArray(kBlock, '\xFF'));
    QCOMPARE(sim.flash().mid(kBlock, kBlock), blockData(1));
}

void TstSimulatedInstrument::strayByte_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<QByteArray>("requests"); // what comes after the command and each of two blocks
    QTest::newRow("before the first request") << 1 << QByteArray("xkkk");
    QTest::newRow("before the second request") << 2 << QByteArray("kxkk");
    QTest::newRow("before the third request") << 3 << QByteArray("kkxk");
}

void TstSimulatedInstrument::strayByte()
{
    QFETCH(int, before);
    QFETCH(QByteArray, requests);
    SimulatedInstrument::Config config;
    config.strayByte = 'x';
    config.strayBeforeRequest = before;
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());

    QByteArray received;
    QVERIFY(line.send(kWrite));
    QVERIFY(sim.waitForState(SimulatedInstrument::State::AwaitAddress, kWaitMs));
    received += line.receive(before == 1 ? 2 : 1);
    QVERIFY(line.send(addressBytes(0) + blockData(0)));
    received += line.receive(before == 2 ? 2 : 1);
    QVERIFY(line.send(addressBytes(kBlock) + blockData(1)));
    received += line.receive(before == 3 ? 2 : 1);
    QCOMPARE(received, requests);
    QVERIFY(line.send(kEnd));
    QVERIFY(sim.waitForTransferEnd(kWaitMs));
    QCOMPARE(sim.blockAddresses(), (QList<quint16>{0x0000, 0x0040}));
}

void TstSimulatedInstrument::stall_data()
{
    QTest::addColumn<int>("stallAfter");
    QTest::newRow("before the first block") << 0;
    QTest::newRow("after one block") << 1;
    QTest::newRow("after two blocks") << 2;
}

void TstSimulatedInstrument::stall()
{
    QFETCH(int, stallAfter);
    SimulatedInstrument::Config config;
    config.stallAfterBlocks = stallAfter;
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());

    QVERIFY(line.send(kWrite));
    for (int block = 0; block < stallAfter; ++block) {
        QCOMPARE(line.receive(1), QByteArray(1, kRequest));
        QVERIFY(line.send(addressBytes(quint16(block * kBlock)) + blockData(block)));
    }
    QVERIFY(sim.waitForState(SimulatedInstrument::State::Stalled, kWaitMs));
    QCOMPARE(sim.requestsSent(), stallAfter);
    QCOMPARE(sim.blockAddresses().size(), stallAfter);
    QCOMPARE(line.receive(1, kQuietMs), QByteArray());
    QVERIFY(!sim.endReceived());

    // A stalled instrument still takes commands.
    QVERIFY(line.send(kQuery));
    QVERIFY(sim.waitForVersionQueries(1, kWaitMs));
    QCOMPARE(line.receive(2), QByteArray("Z\x7B"));
}

void TstSimulatedInstrument::hangUpAfterBlocks()
{
    SimulatedInstrument::Config config;
    config.hangUpAfterBlocks = 1;
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    const QString path = sim.devicePath();
    Line line(path);

    QVERIFY(line.send(kWrite));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(line.send(addressBytes(0) + blockData(0)));
    QVERIFY(line.hungUp());
    QVERIFY(sim.waitForState(SimulatedInstrument::State::HungUp, kWaitMs));
    QVERIFY(sim.isHungUp());
    QCOMPARE(sim.requestsSent(), 1);
    QCOMPARE(sim.blockAddresses(), QList<quint16>{0});
    QVERIFY(!sim.sendRaw("k"));
    QVERIFY(!QFile::exists(path));
}

void TstSimulatedInstrument::hangUpInjected()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    const QString path = sim.devicePath();
    {
        Line line(path);
        QVERIFY(!line.hungUp(0));
        sim.hangUp();
        QVERIFY(sim.isHungUp());
        QVERIFY(line.hungUp());
    }
    sim.hangUp(); // a second time does nothing
    QVERIFY(!sim.sendRaw("x"));
    QVERIFY(!sim.waitForTransferEnd(kQuietMs));

    // Nothing has the line open any more, yet an instrument made now does not appear
    // under the old path: whoever still tries it (another test's program) finds nothing.
    SimulatedInstrument next;
    QVERIFY(next.isValid());
    QVERIFY(next.devicePath() != path);
    QVERIFY(!QFile::exists(path));
}

void TstSimulatedInstrument::pacedLine()
{
    constexpr int kBaud = 2400;
    constexpr int kBitsPerByte = 10;
    SimulatedInstrument::Config config;
    config.baudRate = kBaud;
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());

    // Command, request, one block, request, end: every byte takes its time on the wire.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(line.send(kWrite));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(line.send(addressBytes(0) + blockData(0)));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(line.send(kEnd));
    QVERIFY(sim.waitForTransferEnd(kWaitMs));
    const int bytes = kWrite.size() + 1 + 2 + kBlock + 1 + kEnd.size();
    const qint64 lineTimeMs = qint64(bytes) * kBitsPerByte * 1000 / kBaud;
    QVERIFY2(timer.elapsed() >= lineTimeMs,
             qPrintable(QStringLiteral("%1 ms for %2 ms of line time").arg(timer.elapsed()).arg(lineTimeMs)));
    QCOMPARE(sim.flash().left(kBlock), blockData(0));
}

void TstSimulatedInstrument::flashWriteDelay()
{
    constexpr int kDelayMs = 200;
    SimulatedInstrument::Config config;
    config.flashWriteDelayMs = kDelayMs;
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());

    QVERIFY(line.send(kWrite));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest)); // no block written yet: no delay
    QElapsedTimer timer;
    timer.start();
    QVERIFY(line.send(addressBytes(0) + blockData(0)));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(timer.elapsed() >= kDelayMs);
}

void TstSimulatedInstrument::dumpAfterTransfer()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatedInstrument::Config config;
    config.dumpPath = dir.filePath(QStringLiteral("flash.bin"));
    SimulatedInstrument sim(config);
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());

    QVERIFY(line.send(kWrite));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(line.send(addressBytes(0x0080) + blockData(7)));
    QCOMPARE(line.receive(1), QByteArray(1, kRequest));
    QVERIFY(!QFile::exists(config.dumpPath));
    QVERIFY(line.send(kEnd));
    QVERIFY(sim.waitForTransferEnd(kWaitMs));

    QFile dump(config.dumpPath);
    QTRY_VERIFY_WITH_TIMEOUT(dump.size() == SimulatedInstrument::kFlashSize, kWaitMs);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QCOMPARE(dump.readAll(), sim.flash());
    QCOMPARE(sim.flash().mid(0x0080, kBlock), blockData(7));
}

void TstSimulatedInstrument::deviceClosedAndReopened()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    for (int round = 1; round <= 3; ++round) {
        Line line(sim.devicePath());
        QVERIFY(line.isOpen());
        QVERIFY(line.send(kQuery));
        QVERIFY(sim.waitForVersionQueries(round, kWaitMs));
        QCOMPARE(line.receive(2), QByteArray("Z\x7B"));
    }
    QVERIFY(!sim.isHungUp());
}

void TstSimulatedInstrument::lineSettingsAndPending()
{
    SimulatedInstrument sim;
    QVERIFY(sim.isValid());
    Line line(sim.devicePath());
    {
        const int fd = ::open(QFile::encodeName(sim.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios settings{};
        QCOMPARE(::tcgetattr(fd, &settings), 0);
        ::cfsetspeed(&settings, B19200);
        // A pseudo-terminal keeps speed, stop bits and flow control (it forces 8 data
        // bits without parity).
        settings.c_cflag |= CSTOPB | CRTSCTS;
        settings.c_iflag |= IXON;
        QCOMPARE(::tcsetattr(fd, TCSANOW, &settings), 0);
        ::close(fd);
    }
    const SimulatedInstrument::LineSettings settings = sim.lineSettings();
    QCOMPARE(settings.baudRate, 19200);
    QCOMPARE(settings.stopBits, 2);
    QVERIFY(settings.hardwareFlowControl);
    QVERIFY(settings.softwareFlowControl);

    QCOMPARE(sim.pendingAtDevice(), 0);
    QVERIFY(sim.sendRaw("abc"));
    QVERIFY(sim.waitForPendingAtDevice(3, kWaitMs));
    QCOMPARE(line.receive(3), QByteArray("abc"));
    QCOMPARE(sim.pendingAtDevice(), 0);
}

QTEST_GUILESS_MAIN(TstSimulatedInstrument)
#include "tst_simulatedinstrument.moc"
