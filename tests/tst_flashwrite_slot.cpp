// "Write Flash" in the window: texts, colours, buttons and responsiveness around a
// transfer, against the simulated instrument found by the real discovery.

#include "instrumentprotocol.h"
#include "loaderprobe.h"
#include "modem.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"
#include "transferrunner.h"

#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

QColor textColour(const QLabel *label)
{
    return label->palette().color(QPalette::Active, QPalette::WindowText);
}

constexpr int kShortTimeoutMs = 1000; // request time-out where a test waits it out; ample for a loaded machine
constexpr int kPatientTimeoutMs = 30000; // request time-out where a transfer must not be given up
constexpr int kLookMs = 10;              // a test looks at the window this often during a transfer
constexpr int kHeartbeatMs = 10;  // while a transfer waits
constexpr int kTurnEveryMs = 100; // the heartbeat fires at least once per this, on average
const QString kIncomplete = QStringLiteral("FW unvollstaendig, neu schreiben!");

} // namespace

class TestFlashWriteSlot : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void success_data();
    void success();
    void strayByteRaisesTheCount();
    void givingUp_data();
    void givingUp();
    void writeAgainAfterStall();
    void stalledTransferKeepsWindowAlive_data();
    void stalledTransferKeepsWindowAlive();
    void windowDestroyedEndsLoader_data();
    void windowDestroyedEndsLoader();
    void refusedWithoutInstrument();
    void refusedForImagePastLimit();

private:
    // Starts the window against an instrument on COM1 and waits until it is found.
    bool startFound(const SimulatedInstrument::Config &config = {});
    void loadImage(int imageEnd);

    std::unique_ptr<SettingsSandbox> sandbox;
    std::unique_ptr<SimulatedInstrument> instrument;
    std::unique_ptr<PELKfwloader> window;
};

void TestFlashWriteSlot::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestFlashWriteSlot::cleanup()
{
    window.reset();
    instrument.reset();
    qputenv("ZORBEL_PORTS", "");
}

bool TestFlashWriteSlot::startFound(const SimulatedInstrument::Config &config)
{
    instrument = std::make_unique<SimulatedInstrument>(config);
    if (!instrument->isValid())
        return false;
    qputenv("ZORBEL_PORTS", instrument->portMapEntry(QStringLiteral("COM1")).toUtf8());
    window = std::make_unique<PELKfwloader>();
    window->show();
    // The two discovery steps that find it, without waiting out the scan's pauses.
    LoaderProbe probe(*window);
    probe.scanTimer()->stop();
    probe.scanStep();
    // The instrument counts a query just after its reply is on the line: both, so that
    // what a test counts or clears afterwards has nothing of this query still to come.
    if (!instrument->waitForPendingAtDevice(InstrumentProtocol::kVersionReplyBytes, 10000)
        || !instrument->waitForVersionQueries(1, 10000))
        return false;
    probe.scanStep();
    instrument->clearReceived();
    return probe.ui().pushButton->isEnabled() && probe.portOpen();
}

void TestFlashWriteSlot::loadImage(int imageEnd)
{
    LoaderProbe probe(*window);
    FlashImage &image = probe.flashImage();
    for (int i = 0; i <= imageEnd && i < kFlashImageSize; ++i)
        image[static_cast<std::size_t>(i)] = (i * 13 + 5) & 0xFF;
    probe.imageEnd() = imageEnd;
    probe.ui().pushButton_2->setEnabled(true);
}

void TestFlashWriteSlot::success_data()
{
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<QString>("progress");
    QTest::addColumn<int>("blocks");
    QTest::newRow("8191") << 8191 << "Block: 128 / 128" << 128;
    QTest::newRow("empty image") << -1 << "Block: 0 / 1" << 0;
}

void TestFlashWriteSlot::success()
{
    QFETCH(int, imageEnd);
    QFETCH(QString, progress);
    QFETCH(int, blocks);
    QVERIFY(startFound());
    loadImage(imageEnd);
    LoaderProbe probe(*window);

    QTest::mouseClick(probe.ui().pushButton_2, Qt::LeftButton);

    QVERIFY(instrument->waitForTransferEnd(10000));
    QCOMPARE(instrument->blockAddresses().size(), blocks);
    QVERIFY(instrument->receivedBytes().startsWith("@w#####;"));
    QVERIFY(instrument->receivedBytes().endsWith("\xFF\xFF"));
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash neu beschrieben!"));
    QCOMPARE(probe.ui().label_2->text(), progress);
    QCOMPARE(textColour(probe.ui().label_2), QColor(Qt::darkGreen));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("FW: neu, Exit Programm"));
    // Buttons as before; the port stays open for another write.
    QVERIFY(probe.ui().pushButton->isEnabled());
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    QVERIFY(probe.ui().pushButton_3->isEnabled());
    QVERIFY(probe.portOpen());
}

void TestFlashWriteSlot::strayByteRaisesTheCount()
{
    SimulatedInstrument::Config config;
    config.strayByte = 'x';
    config.strayBeforeRequest = 1;
    QVERIFY(startFound(config));
    loadImage(8191);
    LoaderProbe probe(*window);
    probe.writeFlash();
    QVERIFY(instrument->waitForTransferEnd(10000));
    QCOMPARE(probe.ui().label_2->text(), QStringLiteral("Block: 129 / 128"));
    QCOMPARE(instrument->blockAddresses().size(), 128);
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash neu beschrieben!"));
}

void TestFlashWriteSlot::givingUp_data()
{
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<int>("hangUpAfter");
    QTest::addColumn<int>("receiveStopAfter");
    QTest::addColumn<int>("noise");
    QTest::addColumn<QString>("progress");
    QTest::addColumn<QString>("status");
    QTest::newRow("stall") << 5 << -1 << -1 << 0 << "Block: 5 / 128" << "Flash schreiben abgebrochen, keine Antwort!";
    QTest::newRow("hang-up") << -1 << 5 << -1 << 0 << "Block: 5 / 128"
                             << "Flash schreiben abgebrochen, Verbindung verloren!";
    QTest::newRow("line stops taking bytes") << -1 << -1 << 5 << 0 << "Block: 6 / 128"
                                             << "Flash schreiben abgebrochen, keine Antwort!";
    QTest::newRow("noise") << -1 << -1 << -1 << 2000 << QString() << "Flash schreiben abgebrochen, Leitung gestoert!";
}

void TestFlashWriteSlot::givingUp()
{
    QFETCH(int, stallAfter);
    QFETCH(int, hangUpAfter);
    QFETCH(int, receiveStopAfter);
    QFETCH(int, noise);
    QFETCH(QString, progress);
    QFETCH(QString, status);
    QVERIFY(startFound(faultyInstrument(stallAfter, hangUpAfter, receiveStopAfter, noise)));
    loadImage(8191);
    LoaderProbe probe(*window);
    probe.setRequestTimeout(kShortTimeoutMs);

    probe.writeFlash();

    QCOMPARE(window->statusBar()->currentMessage(), status);
    if (!progress.isEmpty())
        QCOMPARE(probe.ui().label_2->text(), progress);
    QCOMPARE(textColour(probe.ui().label_2), QColor(Qt::red));
    QCOMPARE(probe.ui().label_3->text(), kIncomplete);
    const QLabel *label3 = probe.ui().label_3;
    QVERIFY2(QFontMetrics(label3->font()).horizontalAdvance(kIncomplete) <= label3->contentsRect().width(),
             "the abort text does not fit its label");
    instrument->resumeReceiving();
    QVERIFY(!instrument->endReceived());
    QVERIFY(!instrument->receivedBytes().endsWith("\xFF\xFF"));
    QVERIFY(probe.ui().pushButton->isEnabled());
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    QVERIFY(probe.ui().pushButton_3->isEnabled());
    QVERIFY(!probe.transferRunning());
}

void TestFlashWriteSlot::writeAgainAfterStall()
{
    SimulatedInstrument::Config config;
    config.stallAfterBlocks = 3;
    QVERIFY(startFound(config));
    loadImage(4095);
    LoaderProbe probe(*window);
    probe.setRequestTimeout(kShortTimeoutMs);
    const QColor normal = textColour(probe.ui().label_2);
    probe.writeFlash();
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("Flash schreiben abgebrochen, keine Antwort!"));
    QCOMPARE(textColour(probe.ui().label_2), QColor(Qt::red));

    // The next transfer holds still after two blocks until the colour has been looked at
    // from inside it (an unpaced transfer could otherwise end before the event loop
    // turns): the red of the last one is gone.
    config.stallAfterBlocks = -1;
    config.receiveStopAfterBlocks = 2;
    instrument->setConfig(config);
    probe.setRequestTimeout(kPatientTimeoutMs);
    QColor during;
    QTimer look;
    connect(&look, &QTimer::timeout, this, [&] {
        if (instrument->transfersStarted() < 2 || instrument->blockAddresses().size() < 2)
            return;
        look.stop();
        during = textColour(probe.ui().label_2);
        instrument->resumeReceiving();
    });
    look.start(kLookMs);
    probe.writeFlash();
    QCOMPARE(during, normal);
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash neu beschrieben!"));
    QCOMPARE(probe.ui().label_2->text(), QStringLiteral("Block: 64 / 64"));
    QVERIFY(instrument->waitForTransferEnd(10000));
    const QByteArray flash = instrument->flash();
    for (int i = 0; i <= 4095; ++i)
        QCOMPARE(quint8(flash.at(i)), quint8((i * 13 + 5) & 0xFF));
}

void TestFlashWriteSlot::stalledTransferKeepsWindowAlive_data()
{
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<int>("receiveStopAfter");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("progress");
    QTest::newRow("instrument silent") << 2 << -1 << kShortTimeoutMs << "Block: 2 / 128";
    QTest::newRow("line stops taking bytes") << -1 << 2 << kShortTimeoutMs << "Block: 3 / 128";
}

void TestFlashWriteSlot::stalledTransferKeepsWindowAlive()
{
    QFETCH(int, stallAfter);
    QFETCH(int, receiveStopAfter);
    QFETCH(int, timeoutMs);
    QFETCH(QString, progress);
    QVERIFY(startFound(faultyInstrument(stallAfter, -1, receiveStopAfter, 0)));
    loadImage(8191);
    LoaderProbe probe(*window);
    probe.setRequestTimeout(timeoutMs);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    PaintCounter painter;
    probe.ui().label_2->installEventFilter(&painter);

    struct During {
        bool ran = false;
        bool buttonsDisabled = false;
        bool closeDeferred = false;
        int paintsSeen = 0;
        QString progress;
    } during;

    // Fires while the transfer waits for a request, or for the line, that never comes.
    QTimer::singleShot(timeoutMs / 2, this, [&] {
        during.ran = true;
        during.buttonsDisabled = !probe.ui().pushButton->isEnabled()
                                 && !probe.ui().pushButton_2->isEnabled()
                                 && !probe.ui().pushButton_3->isEnabled();
        window->windowHandle()->close(); // as the frame's close button or Alt-F4 does
        during.closeDeferred = window->isVisible();
        during.paintsSeen = painter.paints;
        during.progress = probe.ui().label_2->text();
    });
    // The event loop turns while the transfer waits: a heartbeat counts its turns.
    int heartbeats = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, this, [&] { ++heartbeats; });
    heartbeat.start(kHeartbeatMs);

    QElapsedTimer clock;
    clock.start();
    probe.writeFlash();
    const qint64 elapsed = clock.elapsed();
    heartbeat.stop();

    QVERIFY(during.ran);
    QVERIFY(during.buttonsDisabled);
    QVERIFY(during.closeDeferred);
    QCOMPARE(during.progress, progress);
    QVERIFY2(during.paintsSeen > 0, "the progress label was never repainted during the transfer");
    // A window that stood still through the wait would see a beat or two; one per
    // 100 ms of the time-out leaves room for a loaded machine.
    QVERIFY2(heartbeats >= timeoutMs / kTurnEveryMs, qPrintable(QStringLiteral("%1 heartbeats").arg(heartbeats)));
    // The transfer gave up no sooner than its time-out (timers may fire 5 % early).
    QVERIFY2(elapsed >= timeoutMs * 95 / 100, qPrintable(QString::number(elapsed)));
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash schreiben abgebrochen, keine Antwort!"));
    instrument->resumeReceiving();
    QVERIFY(!instrument->endReceived());
    // The close asked for during the write came once it had ended.
    QVERIFY(!window->isVisible());
}

void TestFlashWriteSlot::windowDestroyedEndsLoader_data()
{
    QTest::addColumn<int>("blocksFirst"); // written before the window goes; -1: no write
    QTest::newRow("idle") << -1;
    QTest::newRow("during a write") << 2;
}

// The native window destroyed without a close event: the event loop ends, after the write.
void TestFlashWriteSlot::windowDestroyedEndsLoader()
{
    QFETCH(int, blocksFirst);
    QVERIFY(startFound(faultyInstrument(-1, -1, blocksFirst, 0))); // the write holds still
    loadImage(4095);
    LoaderProbe probe(*window);
    probe.setRequestTimeout(kPatientTimeoutMs);
    bool writing = false;
    QTimer look;
    connect(&look, &QTimer::timeout, this, [&] {
        if (instrument->blockAddresses().size() >= std::max(blocksFirst, 0) && look.isActive()) {
            look.stop();
            window->windowHandle()->destroy();
            writing = probe.transferRunning();
            instrument->resumeReceiving();
        }
    });
    look.start(kLookMs);
    if (blocksFirst >= 0)
        QTimer::singleShot(0, window.get(), [&probe] { probe.writeFlash(); });
    QTimer::singleShot(2 * kPatientTimeoutMs, &look, [] { QCoreApplication::exit(1); }); // not ended
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(writing, blocksFirst >= 0);
    QVERIFY(blocksFirst < 0 || instrument->waitForTransferEnd(10000)); // the whole write went out
}

void TestFlashWriteSlot::refusedWithoutInstrument()
{
    qputenv("ZORBEL_PORTS", "");
    window = std::make_unique<PELKfwloader>();
    LoaderProbe probe(*window);
    probe.ui().label_2->setText(QStringLiteral("Block: 7 / 9"));
    loadImage(8191);

    probe.writeFlash();

    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash schreiben nicht moeglich!"));
    QCOMPARE(probe.ui().label_2->text(), QStringLiteral("Block: 7 / 9"));
    QCOMPARE(textColour(probe.ui().label_2), QColor(Qt::red));
    // Nothing was sent, so the firmware is not called incomplete.
    QCOMPARE(probe.ui().label_3->text(), QString());
}

void TestFlashWriteSlot::refusedForImagePastLimit()
{
    QVERIFY(startFound());
    loadImage(64512);
    LoaderProbe probe(*window);

    probe.writeFlash();

    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Flash schreiben nicht moeglich!"));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("Zorbelmeter, FW: V1.23"));
    // Nothing at all went to the instrument: a query sent now is the first thing it sees.
    const int queries = instrument->versionQueries();
    QVERIFY(probe.modem().writeTty(InstrumentProtocol::kVersionQuery));
    QVERIFY(instrument->waitForVersionQueries(queries + 1, 10000));
    QCOMPARE(instrument->receivedBytes(), QByteArray(InstrumentProtocol::kVersionQuery));
    QCOMPARE(instrument->transfersStarted(), 0);
}

QTEST_MAIN(TestFlashWriteSlot)
#include "tst_flashwrite_slot.moc"
