// The real zorbelflash program against simulated instruments: what only the process as
// a whole shows (signals, its standard streams going away).

#include "flashtoolfixture.h"
#include "outputqueue.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTimer>

#include <array>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TestZorbelflashProgram : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    // As in zorbelflash: a writer left in a pipe whose reader a test closed gets EPIPE.
    void initTestCase() { ::signal(SIGPIPE, SIG_IGN); }
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }
    void signalStopsTheProgram_data();
    void signalStopsTheProgram();
    void readerGoingAwayDoesNotStopTheWrite();
    void lostRecordIsReported_data();
    void lostRecordIsReported();
    void stoppedTerminalHoldsNothing_data();
    void stoppedTerminalHoldsNothing();
    void stuckOutputIsBounded();
    void fullPipeHoldsNothingAndDropsWholeRecords_data();
    void fullPipeHoldsNothingAndDropsWholeRecords();
};

void TestZorbelflashProgram::signalStopsTheProgram_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestZorbelflashProgram::signalStopsTheProgram()
{
    QFETCH(int, signalNumber);
    // A full image at 19200 bit/s takes over half a minute: the signal comes mid-way.
    const QByteArray full = HexFile::firmware(64512, 9);
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hex.write(HexFile::hexText(full));
    hex.close();
    QVERIFY(addInstruments({"paced"}));
    SimulatedInstrument &instrument = *instruments.front();

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instrument.portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--json"});
    QVERIFY(program.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= 5, 20000);
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), signalNumber) == 0);
    QVERIFY(program.waitForFinished(10000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 130);
    const QList<QJsonObject> objects = jsonLines(program.readAllStandardOutput());
    QCOMPARE(objects.size(), 1);
    QCOMPARE(objects.first().value("outcome").toString(), QStringLiteral("interrupted"));
    QVERIFY(program.readAllStandardError().contains("incomplete, write again"));

    // No end marker: what reached the instrument is the query and the beginning of the
    // transfer.
    QByteArray transfer("@v;@w#####;");
    for (int address = 0; address < full.size(); address += 64)
        transfer += char(address & 0xFF) + QByteArray(1, char(address >> 8)) + full.mid(address, 64);
    const QByteArray received = instrument.receivedBytes();
    QVERIFY(!instrument.endReceived());
    QVERIFY(received.size() < transfer.size());
    QCOMPARE(received, transfer.left(received.size()));
}

// zorbelflash ... | head -1: the progress lines meet a closed pipe.
void TestZorbelflashProgram::readerGoingAwayDoesNotStopTheWrite()
{
    QVERIFY(addInstruments({"ok"}));
    int pipeEnds[2] = {-1, -1};
    QVERIFY(::pipe(pipeEnds) == 0);
    ::close(pipeEnds[0]); // the reader is gone before the program writes anything
    const int writeEnd = pipeEnds[1];

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instruments.front()->portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath});
    const bool started = program.waitForStarted(10000);
    ::close(writeEnd);
    QVERIFY(started);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(instruments.front()->waitForTransferEnd(10000));
    QCOMPARE(instruments.front()->flash().left(kFirmwareBytes), firmware);
}

void TestZorbelflashProgram::lostRecordIsReported_data()
{
    QTest::addColumn<QString>("standardOutput");
    QTest::newRow("closed") << QString();
    QTest::newRow("full") << QStringLiteral("/dev/full");
}

// The instrument is written, but its record cannot be kept: said, and a status of its own.
void TestZorbelflashProgram::lostRecordIsReported()
{
    QFETCH(QString, standardOutput);
    QVERIFY(addInstruments({"ok"}));
    const QByteArray target = QFile::encodeName(standardOutput);

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instruments.front()->portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.setChildProcessModifier([target] {
        if (target.isEmpty()) {
            ::close(STDOUT_FILENO);
            return;
        }
        const int fd = ::open(target.constData(), O_WRONLY);
        ::dup2(fd, STDOUT_FILENO);
    });
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--json"});
    QVERIFY(program.waitForFinished(30000));
    const QByteArray err = program.readAllStandardError();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == exitCode(ExitStatus::RecordLost), err.constData());
    QVERIFY2(err.contains("the record of COM1 could not be written to standard output"), err.constData());
    QVERIFY(instruments.front()->endReceived());
    QCOMPARE(instruments.front()->flash().left(kFirmwareBytes), firmware);
    QVERIFY(!instruments.front()->receivedBytes().contains("\"outcome\"")); // the record did not reach the port
}

void TestZorbelflashProgram::stoppedTerminalHoldsNothing_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: none, the write runs to its end
    QTest::addColumn<int>("status");
    // The record could not reach standard output.
    QTest::newRow("write ends") << 0 << exitCode(ExitStatus::RecordLost);
    QTest::newRow("SIGTERM") << int(SIGTERM) << exitCode(ExitStatus::Interrupted);
}

// Both standard streams on a terminal whose output is stopped (Ctrl-S) all along: the
// write goes on to its end, and a signal still ends the program.
void TestZorbelflashProgram::stoppedTerminalHoldsNothing()
{
    QFETCH(int, signalNumber);
    QFETCH(int, status);
    if (signalNumber != 0) { // a full image at 19200 bit/s: the signal comes mid-way
        QFile hex(hexPath);
        QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
        hex.write(HexFile::hexText(HexFile::firmware(64512, 9)));
    }
    QVERIFY(addInstruments({signalNumber == 0 ? "ok" : "paced"}));
    SimulatedInstrument &instrument = *instruments.front();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    QVERIFY(terminal >= 0);
    QVERIFY(::tcflow(terminal, TCOOFF) == 0);
    const auto resume = qScopeGuard([master, terminal] {
        ::tcflow(terminal, TCOON);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        std::array<char, 4096> chunk{};
        while (::read(master, chunk.data(), chunk.size()) > 0) {
        }
        ::close(terminal);
        ::close(master);
    });

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instrument.portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.setChildProcessModifier([terminal] {
        ::dup2(terminal, STDOUT_FILENO);
        ::dup2(terminal, STDERR_FILENO);
    });
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--json"});
    QVERIFY(program.waitForStarted(10000));
    if (signalNumber == 0) {
        QTRY_VERIFY_WITH_TIMEOUT(instrument.endReceived(), 30000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= 5, 30000);
        QVERIFY(::kill(static_cast<pid_t>(program.processId()), signalNumber) == 0);
    }
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    QCOMPARE(instrument.endReceived(), signalNumber == 0);
}

// A pipe nobody reads: the queue takes up to its bound, refuses more, and gives
// everything it took, in order, once the reader comes.
void TestZorbelflashProgram::stuckOutputIsBounded()
{
    std::array<int, 2> ends{};
    QVERIFY(::pipe(ends.data()) == 0);
    const auto closePipe = qScopeGuard([&ends] {
        ::close(ends[0]);
        ::close(ends[1]);
    });
    OutputQueue queue(ends[1]);
    QByteArray accepted;
    for (int line = 0;; ++line) {
        const QByteArray text = QByteArray::number(line).rightJustified(99, '.') + '\n';
        if (queue.write(text) != text.size())
            break;
        accepted += text;
    }
    QVERIFY(queue.bytesToWrite() > OutputQueue::kBoundBytes - 100);
    QVERIFY2(queue.errorString().contains("stuck"), qPrintable(queue.errorString()));

    QByteArray received;
    std::array<char, 65536> chunk{};
    while (received.size() < accepted.size()) {
        const ssize_t count = ::read(ends[0], chunk.data(), chunk.size());
        QVERIFY(count > 0);
        received.append(chunk.data(), count);
        queue.waitForBytesWritten(0);
    }
    QTRY_COMPARE(queue.bytesToWrite(), 0);
    QVERIFY(received == accepted);
}

void TestZorbelflashProgram::fullPipeHoldsNothingAndDropsWholeRecords_data()
{
    QTest::addColumn<bool>("nonBlocking"); // as the description's other holders left it
    QTest::newRow("blocking") << false;
    QTest::newRow("non-blocking") << true;
}

// A one-page pipe nobody reads until the queue is gone: the event loop goes on, the
// shared description's flags stay as they were, and what comes out is whole records.
void TestZorbelflashProgram::fullPipeHoldsNothingAndDropsWholeRecords()
{
    QFETCH(bool, nonBlocking);
    constexpr int kRecordBytes = 300;
    constexpr int kPipeBytes = 4096;
    std::array<int, 2> ends{};
    QVERIFY(::pipe(ends.data()) == 0);
    const auto closeReadEnd = qScopeGuard([&ends] { ::close(ends[0]); });
    QVERIFY(::fcntl(ends[1], F_SETPIPE_SZ, kPipeBytes) == kPipeBytes);
    QVERIFY(::fcntl(ends[1], F_SETFL, nonBlocking ? O_NONBLOCK : 0) == 0);
    const int flags = ::fcntl(ends[1], F_GETFL);
    QByteArray sent;
    {
        const auto closeWriteEnd = qScopeGuard([&ends] { ::close(ends[1]); });
        OutputQueue queue(ends[1]);
        bool ticked = false;
        QTimer::singleShot(0, &queue, [&ticked] { ticked = true; });
        while (sent.size() < 4 * kPipeBytes) {
            const QByteArray text = QByteArray::number(sent.size()).rightJustified(kRecordBytes - 1, '.') + '\n';
            QCOMPARE(queue.write(text), text.size());
            sent += text;
        }
        QTRY_VERIFY(ticked);
        QVERIFY(queue.bytesToWrite() > 0);
        QVERIFY(OutputQueue::settle(queue) > 0);
        QCOMPARE(::fcntl(ends[1], F_GETFL), flags);
    } // the writer may still sit in its write: it ends once it has room

    QVERIFY(::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0);
    QByteArray received;
    const auto readToEnd = [&ends, &received] {
        std::array<char, kPipeBytes> chunk{};
        ssize_t count = 0;
        while ((count = ::read(ends[0], chunk.data(), chunk.size())) > 0)
            received.append(chunk.data(), count);
        return count == 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readToEnd(), 10000);
    QVERIFY(!received.isEmpty() && received.size() < sent.size());
    QVERIFY(received.endsWith('\n'));
    QCOMPARE(received.size() % kRecordBytes, 0);
    QVERIFY(sent.startsWith(received));
}

QTEST_GUILESS_MAIN(TestZorbelflashProgram)
#include "tst_zorbelflash_program.moc"
