// Asking many ports at once for the instrument, against simulated instruments.

#include "devicelock.h"
#include "modem.h"
#include "modeminput.h"
#include "instrumentprotocol.h"
#include "portscan.h"
#include "simulatedinstrument.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int kShortReplyWaitMs = 300; // every port of a round is silent or answers at once

constexpr int kScanLimitMs = 20000;

bool runScan(PortScan &scan, int waitMs)
{
    QSignalSpy finished(&scan, &PortScan::finished);
    scan.start(waitMs);
    if (scan.state() != PortScan::State::Finished)
        finished.wait(kScanLimitMs);
    return scan.state() == PortScan::State::Finished && finished.size() == 1;
}

} // namespace

class TestPortScan : public QObject
{
    Q_OBJECT

private slots:
    void oneRoundJudgesEveryPort_data();
    void oneRoundJudgesEveryPort();
    void portAppearingDuringTheWaitIsFound();
    void replyTakenWhenWhole_data();
    void replyTakenWhenWhole();
    void foundPortStaysOpenForTheCaller();
};

void TestPortScan::oneRoundJudgesEveryPort_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<PortScan::PortState>("state");
    QTest::newRow("instrument") << "Z123" << PortScan::PortState::Found;
    QTest::newRow("instrument, three-byte reply") << "Z123+" << PortScan::PortState::Found;
    QTest::newRow("version 0.99") << "Z99" << PortScan::PortState::OtherReply;
    QTest::newRow("lower-case letter") << "z123" << PortScan::PortState::OtherReply;
    QTest::newRow("one byte") << "Z" << PortScan::PortState::NoAnswer;
    QTest::newRow("silent") << "" << PortScan::PortState::NoAnswer;
    QTest::newRow("held by another program") << "busy" << PortScan::PortState::Busy;
    QTest::newRow("no device") << "absent" << PortScan::PortState::NoSuchDevice;
}

// The port under test is COM7 among six silent ports: one round (wait 0) asks them all.
void TestPortScan::oneRoundJudgesEveryPort()
{
    QFETCH(QString, kind);
    QFETCH(PortScan::PortState, state);

    SimulatedInstrument::Config silent;
    silent.replyLength = 0;
    std::vector<std::unique_ptr<SimulatedInstrument>> others;
    QList<PortScan::Candidate> candidates;
    for (int com = 1; com <= 6; ++com) {
        others.push_back(std::make_unique<SimulatedInstrument>(silent));
        QVERIFY(others.back()->isValid());
        candidates.append({QStringLiteral("COM%1").arg(com), others.back()->devicePath()});
    }

    SimulatedInstrument::Config config;
    config.letter = kind.startsWith(u'z') ? 'z' : 'Z';
    config.version = quint8(kind.mid(1).remove(u'+').toInt());
    config.replyLength = kind.endsWith(u'+') ? 3 : int(qMin<qsizetype>(kind.size(), 2));
    SimulatedInstrument instrument(config);
    QVERIFY(instrument.isValid());
    QTemporaryDir dir;
    const QString device = kind == QLatin1String("absent") ? dir.filePath(QStringLiteral("gone")) : instrument.devicePath();
    DeviceLock heldElsewhere;
    if (kind == QLatin1String("busy"))
        QCOMPARE(heldElsewhere.acquire(device), DeviceLock::Result::Locked);
    candidates.append({QStringLiteral("COM7"), device});

    PortScan scan([candidates] { return candidates; });
    scan.setReplyWaitMs(kShortReplyWaitMs);
    QVERIFY(runScan(scan, 0));
    QCOMPARE(scan.rounds(), 1);
    QCOMPARE(scan.results().size(), 7);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(scan.results().at(i).state, PortScan::PortState::NoAnswer);
    QCOMPARE(scan.results().at(6).state, state);
    QCOMPARE(scan.results().at(6).open, kind == QLatin1String("busy") ? Modem::OpenResult::Busy
                                        : kind == QLatin1String("absent") ? Modem::OpenResult::NoDevice : Modem::OpenResult::Opened);
    if (state == PortScan::PortState::Found || state == PortScan::PortState::OtherReply)
        QCOMPARE(scan.results().at(6).reply.firmwareVersion(), int(config.version));
}

// Ports are taken afresh each round: an adapter plugged in while the scan waits is asked.
void TestPortScan::portAppearingDuringTheWaitIsFound()
{
    SimulatedInstrument instrument;
    QVERIFY(instrument.isValid());
    int calls = 0;
    PortScan scan([&] {
        ++calls;
        return calls < 3 ? QList<PortScan::Candidate>{}
                         : QList<PortScan::Candidate>{{QStringLiteral("COM1"), instrument.devicePath()}};
    });
    QVERIFY(runScan(scan, kScanLimitMs));
    QCOMPARE(scan.rounds(), 3);
    QCOMPARE(scan.results().first().state, PortScan::PortState::Found);
}

// A reply is taken once it is whole: a slow instrument's within the reply wait, and a
// scan that wants one instrument ends with its answer while a silent port behind it
// would still have had a minute to answer.
void TestPortScan::replyTakenWhenWhole_data()
{
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<int>("replyWaitMs");
    QTest::addColumn<bool>("endWhenWanted");
    QTest::addColumn<PortScan::PortState>("silentPort"); // COM2, silent, when the scan ended
    QTest::newRow("slow instrument") << 800 << InstrumentProtocol::kSlowReplyWaitMs << false
                                     << PortScan::PortState::NoAnswer;
    QTest::newRow("the one wanted") << 0 << 60000 << true << PortScan::PortState::NoAnswer;
}

void TestPortScan::replyTakenWhenWhole()
{
    QFETCH(int, replyDelayMs);
    QFETCH(int, replyWaitMs);
    QFETCH(bool, endWhenWanted);
    QFETCH(PortScan::PortState, silentPort);
    SimulatedInstrument::Config slow;
    slow.replyDelayMs = replyDelayMs;
    SimulatedInstrument instrument(slow);
    SimulatedInstrument::Config quiet;
    quiet.replyLength = 0;
    SimulatedInstrument silent(quiet);
    QVERIFY(instrument.isValid() && silent.isValid());
    const QList<PortScan::Candidate> candidates{{QStringLiteral("COM1"), instrument.devicePath()},
                                                {QStringLiteral("COM2"), silent.devicePath()}};
    PortScan scan([candidates] { return candidates; });
    scan.setReplyWaitMs(replyWaitMs);
    scan.setEndWhenWanted(endWhenWanted);
    QVERIFY(runScan(scan, 0));
    QCOMPARE(scan.rounds(), 1);
    QCOMPARE(scan.results().at(0).state, PortScan::PortState::Found);
    QCOMPARE(scan.results().at(1).state, silentPort);
}

void TestPortScan::foundPortStaysOpenForTheCaller()
{
    SimulatedInstrument::Config threeBytes;
    threeBytes.replyLength = 3;
    SimulatedInstrument instrument(threeBytes);
    QVERIFY(instrument.isValid());
    const QList<PortScan::Candidate> candidates{{QStringLiteral("COM1"), instrument.devicePath()}};
    PortScan scan([candidates] { return candidates; });
    QVERIFY(runScan(scan, 0));
    std::unique_ptr<Modem> port = scan.takePort(0);
    QVERIFY(port);
    QVERIFY(!scan.takePort(0)); // handed over once
    // Still open, the reply's third byte still waiting: the caller decides what to drop.
    QCOMPARE(readWithin(*port, 1, 10000), QByteArray("\r"));
    QVERIFY(port->writeTty("@v;"));
    QVERIFY(instrument.waitForVersionQueries(2, 10000));
}

QTEST_GUILESS_MAIN(TestPortScan)
#include "tst_portscan.moc"
