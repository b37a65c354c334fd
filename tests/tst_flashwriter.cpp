// The block transfer against the simulated instrument, without a window.

#include "flashwriter.h"
#include "instrumentprotocol.h"
#include "modem.h"
#include "modeminput.h"
#include "simulatedinstrument.h"
#include "transferrunner.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

constexpr int kShortTimeoutMs = 1000; // request time-out for the tests that wait it out; ample for a loaded machine
constexpr int kTickMs = 20;

FlashImage patternImage()
{
    FlashImage image;
    image.fill(0xFF);
    for (int i = 0; i < kFlashImageSize; ++i)
        image[static_cast<std::size_t>(i)] = (i * 7 + (i >> 8)) & 0xFF;
    return image;
}

// Exactly the bytes the loader must put on the line for a transfer of imageEnd.
QByteArray expectedLine(const FlashImage &image, int imageEnd)
{
    QByteArray line("@w#####;");
    for (int address = 0; address <= imageEnd; address += 64) {
        line.append(char(address & 0xFF));
        line.append(char((address >> 8) & 0xFF));
        for (int i = 0; i < 64; ++i)
            line.append(char(image[static_cast<std::size_t>(address + i)] & 0xFF));
    }
    line.append("\xFF\xFF", 2);
    return line;
}

} // namespace

class TestFlashWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void blockCount_data();
    void blockCount();
    void canWrite_data();
    void canWrite();
    void transfer_data();
    void transfer();
    void unloadedEntriesGoOutAsErased();
    void strayByteIsCountedButNotAnswered();
    void failures_data();
    void failures();
    void waitsWithoutSpinning();
    void interrupt_data();
    void interrupt();

private:
    bool openInstrument(const SimulatedInstrument::Config &config = {});

    std::unique_ptr<SimulatedInstrument> instrument;
    std::unique_ptr<MappedModem> modem;
};

void TestFlashWriter::init()
{
    modem = std::make_unique<MappedModem>();
}

void TestFlashWriter::cleanup()
{
    modem.reset();
    instrument.reset();
}

bool TestFlashWriter::openInstrument(const SimulatedInstrument::Config &config)
{
    instrument = std::make_unique<SimulatedInstrument>(config);
    if (!instrument->isValid())
        return false;
    qputenv("ZORBEL_PORTS", instrument->portMapEntry(QStringLiteral("COM3")).toUtf8());
    modem->refreshPortMap();
    modem->setBaudRate(19200);
    return modem->openTty(QStringLiteral("COM3"));
}

void TestFlashWriter::blockCount_data()
{
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<int>("blocks");
    QTest::newRow("empty") << -1 << 1;
    QTest::newRow("one byte") << 0 << 1;
    QTest::newRow("63") << 63 << 1;
    QTest::newRow("64") << 64 << 2;
    QTest::newRow("8191") << 8191 << 128;
    QTest::newRow("8192") << 8192 << 129;
    QTest::newRow("limit") << 64511 << 1008;
}

void TestFlashWriter::blockCount()
{
    QFETCH(int, imageEnd);
    QFETCH(int, blocks);
    QCOMPARE(LoadedImage::blockCountFor(imageEnd), blocks);
}

void TestFlashWriter::canWrite_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("open, limit") << true << 64511 << true;
    QTest::newRow("open, empty") << true << -1 << true;
    QTest::newRow("open, past limit") << true << 64512 << false;
    QTest::newRow("open, past image") << true << 70000 << false;
    QTest::newRow("closed") << false << 100 << false;
}

void TestFlashWriter::canWrite()
{
    QFETCH(bool, portOpen);
    QFETCH(int, imageEnd);
    QFETCH(bool, allowed);
    QCOMPARE(FlashWriter::canWrite(portOpen, imageEnd), allowed);
}

void TestFlashWriter::transfer_data()
{
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<int>("blocks");
    QTest::newRow("8191") << 8191 << 128;
    QTest::newRow("8192") << 8192 << 129;
    QTest::newRow("63") << 63 << 1;
    QTest::newRow("64") << 64 << 2;
    QTest::newRow("-1") << -1 << 0;
    QTest::newRow("full image") << 64511 << 1008;
}

void TestFlashWriter::transfer()
{
    QFETCH(int, imageEnd);
    QFETCH(int, blocks);
    QVERIFY(openInstrument());

    const FlashImage image = patternImage();
    FlashWriter writer(*modem, LoadedImage(image, imageEnd));
    QSignalSpy progress(&writer, &FlashWriter::progress);
    QVERIFY(runTransfer(writer));
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::Written);
    QCOMPARE(writer.blocksSent(), blocks);
    QCOMPARE(writer.ackCount(), blocks);

    QVERIFY(instrument->waitForTransferEnd(10000));
    QCOMPARE(instrument->receivedBytes(), expectedLine(image, imageEnd));
    QCOMPARE(instrument->blockAddresses().size(), blocks);
    if (blocks > 0) {
        QCOMPARE(instrument->blockAddresses().first(), quint16(0));
        QCOMPARE(int(instrument->blockAddresses().last()), (blocks - 1) * 64);
    }
    // Progress after every request, then once more at the end with the same count.
    QCOMPARE(progress.size(), blocks + 1);
    QCOMPARE(progress.last().at(0).toInt(), blocks);
    QCOMPARE(progress.last().at(1).toInt(), LoadedImage::blockCountFor(imageEnd));
}

void TestFlashWriter::unloadedEntriesGoOutAsErased()
{
    QVERIFY(openInstrument());
    FlashImage image;
    image.fill(0xFF);
    image[0] = 0x12;
    image[0x1FC0] = 0x300; // only the low 8 bits travel
    FlashWriter writer(*modem, LoadedImage(image, 0x1FFF));
    QVERIFY(runTransfer(writer));
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::Written);
    QVERIFY(instrument->waitForTransferEnd(10000));

    const QByteArray line = instrument->receivedBytes();
    const int lastBlock = 8 + 127 * 66;
    QCOMPARE(line.mid(lastBlock, 3), QByteArray("\xC0\x1F\x00", 3));
    const QByteArray flash = instrument->flash();
    QCOMPARE(quint8(flash.at(0)), quint8(0x12));
    QCOMPARE(flash.mid(1, 0x1FBF), QByteArray(0x1FBF, char(0xFF)));
}

void TestFlashWriter::strayByteIsCountedButNotAnswered()
{
    SimulatedInstrument::Config config;
    config.strayByte = 'x';
    config.strayBeforeRequest = 3;
    QVERIFY(openInstrument(config));
    const FlashImage image = patternImage();
    FlashWriter writer(*modem, LoadedImage(image, 8191));
    QVERIFY(runTransfer(writer));
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::Written);
    QCOMPARE(writer.blocksSent(), 128);
    QCOMPARE(writer.ackCount(), 129);
    QVERIFY(instrument->waitForTransferEnd(10000));
    QCOMPARE(instrument->receivedBytes(), expectedLine(image, 8191));
}

void TestFlashWriter::failures_data()
{
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<int>("hangUpAfter");
    QTest::addColumn<int>("receiveStopAfter");
    QTest::addColumn<int>("noise");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<FlashWriter::Outcome>("outcome");
    QTest::addColumn<bool>("unpluggedFirst"); // the line hung up after the open, before the write
    // The real time-out is waited out once, by the window's test of a stalled line.
    QTest::newRow("silent from the start") << 0 << -1 << -1 << 0 << kShortTimeoutMs << 0 << FlashWriter::Outcome::NoAnswer << false;
    QTest::newRow("stall after 5 blocks") << 5 << -1 << -1 << 0 << kShortTimeoutMs << 5 << FlashWriter::Outcome::NoAnswer << false;
    QTest::newRow("hang-up after 5 blocks")
        << -1 << 5 << -1 << 0 << kShortTimeoutMs << 5 << FlashWriter::Outcome::ConnectionLost << false;
    QTest::newRow("line stops taking bytes after 2 blocks")
        << -1 << -1 << 2 << 0 << kShortTimeoutMs << 2 << FlashWriter::Outcome::NoAnswer << false;
    QTest::newRow("line stops taking bytes at the command")
        << -1 << -1 << 0 << 0 << kShortTimeoutMs << 0 << FlashWriter::Outcome::NoAnswer << false;
    QTest::newRow("noise after the command")
        << -1 << -1 << -1 << 2000 << kShortTimeoutMs << -1 << FlashWriter::Outcome::LineNoise << false;
    QTest::newRow("unplugged before the write")
        << -1 << -1 << -1 << 0 << kShortTimeoutMs << 0 << FlashWriter::Outcome::CommandNotSent << true;
}

void TestFlashWriter::failures()
{
    QFETCH(int, stallAfter);
    QFETCH(int, hangUpAfter);
    QFETCH(int, receiveStopAfter);
    QFETCH(int, noise);
    QFETCH(int, timeoutMs);
    QFETCH(int, blocks);
    QFETCH(FlashWriter::Outcome, outcome);
    QFETCH(bool, unpluggedFirst);

    QVERIFY(openInstrument(faultyInstrument(stallAfter, hangUpAfter, receiveStopAfter, noise)));
    if (unpluggedFirst)
        instrument->hangUp();
    const FlashImage image = patternImage();
    FlashWriter writer(*modem, LoadedImage(image, 8191), std::chrono::milliseconds(timeoutMs));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(runTransfer(writer, 4 * timeoutMs + 10000));
    QCOMPARE(writer.outcome(), outcome);
    const qint64 elapsed = clock.elapsed();
    if (outcome == FlashWriter::Outcome::NoAnswer)
        QVERIFY2(elapsed >= timeoutMs - 50, qPrintable(QString::number(elapsed)));
    if (blocks >= 0)
        QCOMPARE(writer.blocksSent(), blocks);
    if (outcome == FlashWriter::Outcome::LineNoise)
        QVERIFY(writer.ackCount() - writer.blocksSent() > FlashWriter::strayLimitFor(128));
    QCOMPARE(writer.commandSent(), outcome != FlashWriter::Outcome::CommandNotSent);
    if (outcome == FlashWriter::Outcome::ConnectionLost || outcome == FlashWriter::Outcome::CommandNotSent) {
        QVERIFY(instrument->waitForState(SimulatedInstrument::State::HungUp, 10000));
        QCOMPARE(instrument->transfersStarted(), outcome == FlashWriter::Outcome::ConnectionLost ? 1 : 0);
        return;
    }
    // A transfer that gave up never sends the end marker, nor anything it had queued:
    // once the line takes bytes again, the next thing through is whatever comes next.
    instrument->resumeReceiving();
    QVERIFY(modem->writeTty(InstrumentProtocol::kVersionQuery));
    QTRY_VERIFY_WITH_TIMEOUT(instrument->receivedBytes().endsWith(InstrumentProtocol::kVersionQuery), 10000);
    QVERIFY(!instrument->endReceived());
    const QByteArray line = instrument->receivedBytes();
    if (noise == 0)
        QCOMPARE(line, expectedLine(image, 8191).left(8 + 66 * blocks) + InstrumentProtocol::kVersionQuery);
}

void TestFlashWriter::waitsWithoutSpinning()
{
    SimulatedInstrument::Config config;
    config.stallAfterBlocks = 1;
    QVERIFY(openInstrument(config));
    const FlashImage image = patternImage();
    FlashWriter writer(*modem, LoadedImage(image, 8191), std::chrono::milliseconds(kShortTimeoutMs));

    // The caller's event loop keeps running all along, in short turns.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(kTickMs);

    std::clock_t cpuStart = std::clock();
    QVERIFY(runTransfer(writer));
    QCOMPARE(writer.outcome(), FlashWriter::Outcome::NoAnswer);
    const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    // The waiting costs next to no processor time.
    QVERIFY2(cpuSeconds < 0.5, qPrintable(QString::number(cpuSeconds)));
    QVERIFY2(ticks >= kShortTimeoutMs / (4 * kTickMs), qPrintable(QString::number(ticks)));
}

void TestFlashWriter::interrupt_data()
{
    QTest::addColumn<int>("moment"); // 0: before start, 1: after `blocks` blocks, 2: after the end
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<int>("receiveStopAfter");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<FlashWriter::Outcome>("outcome");
    QTest::newRow("before the start") << 0 << -1 << -1 << 0 << FlashWriter::Outcome::Interrupted;
    QTest::newRow("waiting for a request") << 1 << 5 << -1 << 5 << FlashWriter::Outcome::Interrupted;
    QTest::newRow("block stuck in the driver's queue") << 1 << -1 << 2 << 2 << FlashWriter::Outcome::Interrupted;
    QTest::newRow("after the end") << 2 << -1 << -1 << 128 << FlashWriter::Outcome::Written;
}

// An interrupted transfer ends at once, sends no end marker and leaves nothing queued
// that could reach the instrument later.
void TestFlashWriter::interrupt()
{
    QFETCH(int, moment);
    QFETCH(int, stallAfter);
    QFETCH(int, receiveStopAfter);
    QFETCH(int, blocks);
    QFETCH(FlashWriter::Outcome, outcome);

    QVERIFY(openInstrument(faultyInstrument(stallAfter, -1, receiveStopAfter, 0)));
    const FlashImage image = patternImage();
    constexpr std::chrono::minutes kNever(10); // the request time-out must not end these transfers
    FlashWriter writer(*modem, LoadedImage(image, 8191), kNever);
    QSignalSpy finished(&writer, &FlashWriter::finished);

    if (moment == 0) {
        writer.interrupt();
        writer.start();
    } else if (moment == 1) {
        writer.start();
        // The instrument has its blocks and the writer has answered every request.
        QTRY_VERIFY_WITH_TIMEOUT(instrument->blockAddresses().size() == blocks
                                     && writer.ackCount() == instrument->requestsSent(),
                                 10000);
        writer.interrupt();
    } else {
        QVERIFY(runTransfer(writer));
        QVERIFY(instrument->waitForTransferEnd(10000));
        writer.interrupt();
    }
    QCOMPARE(finished.size(), 1); // emitted before interrupt() returned
    QCOMPARE(writer.state(), FlashWriter::State::Finished);
    QCOMPARE(writer.outcome(), outcome);
    QCOMPARE(writer.blocksSent(), blocks);

    // The next bytes through are whatever comes next, right after the blocks sent.
    instrument->resumeReceiving();
    QVERIFY(modem->writeTty(InstrumentProtocol::kVersionQuery));
    QTRY_VERIFY_WITH_TIMEOUT(instrument->receivedBytes().endsWith(InstrumentProtocol::kVersionQuery), 10000);
    QCOMPARE(instrument->endReceived(), outcome == FlashWriter::Outcome::Written);
    const QByteArray sent = moment == 0 ? QByteArray()
                            : outcome == FlashWriter::Outcome::Written
                                ? expectedLine(image, 8191)
                                : expectedLine(image, 8191).left(8 + 66 * blocks);
    QCOMPARE(instrument->receivedBytes(), sent + InstrumentProtocol::kVersionQuery);
}

QTEST_GUILESS_MAIN(TestFlashWriter)
#include "tst_flashwriter.moc"
