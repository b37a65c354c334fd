// The real zorbelflash program against simulated instruments: what only the process as
// a whole shows (signals, its standard streams going away).

#include "flashtoolfixture.h"

#include <QProcess>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

class TestZorbelflashProgram : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }
    void signalStopsTheProgram_data();
    void signalStopsTheProgram();
    void readerGoingAwayDoesNotStopTheWrite();
    void lostRecordIsReported_data();
    void lostRecordIsReported();
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

QTEST_GUILESS_MAIN(TestZorbelflashProgram)
#include "tst_zorbelflash_program.moc"
