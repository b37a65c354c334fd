// The tile of a station's port: the station's events and the writes' outcomes, in the
// order the station gives them, and the word, detail and colour they leave on the tile.

#include "instrumentreport.h"
#include "portscan.h"
#include "tilestate.h"

#include <QtTest>

#include <functional>

namespace {

constexpr int kNewVersion = 124;
constexpr int kOldVersion = 123;
constexpr int kBlocks = 188;

using Events = std::function<void(TileState &)>;

InstrumentReport report(InstrumentReport::Outcome outcome, int blocks, const QString &after = QString())
{
    InstrumentReport result;
    result.outcome = outcome;
    result.blocks = blocks;
    result.seconds = 6.84;
    result.firmwareAfter = after;
    result.afterAsked = !after.isEmpty() || outcome == InstrumentReport::Outcome::NoRestart;
    return result;
}

// A write from its start to its outcome.
Events written(InstrumentReport::Outcome outcome, int blocks, const QString &after = QString())
{
    return [=](TileState &tile) {
        tile.writeStarted(kBlocks);
        tile.writeProgressed({blocks, kBlocks, 3000}, false);
        tile.writeFinished(report(outcome, blocks, after), kBlocks);
    };
}

Events then(const Events &first, const Events &second)
{
    return [=](TileState &tile) {
        first(tile);
        second(tile);
    };
}

} // namespace

Q_DECLARE_METATYPE(Events)
Q_DECLARE_METATYPE(TileState::Role)

class TestTileState : public QObject
{
    Q_OBJECT

private slots:
    void fromEvents_data();
    void fromEvents();
};

void TestTileState::fromEvents_data()
{
    using Outcome = InstrumentReport::Outcome;
    using Role = TileState::Role;
    QTest::addColumn<Events>("events");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<Role>("role");

    const Events pass = written(Outcome::Written, kBlocks, "1.24");
    const Events emptied = [](TileState &tile) { tile.emptied(); };
    const Events gone = [](TileState &tile) { tile.setPresent(false); };
    const Events back = [](TileState &tile) { tile.setPresent(true); };
    const Events busy = [](TileState &tile) { tile.unavailable(PortScan::PortState::Busy); };
    const Events free = [](TileState &tile) { tile.available(); };
    const Events started = [](TileState &tile) {
        tile.writeStarted(kBlocks);
        tile.writeProgressed({47, kBlocks, 2000}, false);
    };
    const Events restarting = then(started, [](TileState &tile) { tile.writeProgressed({kBlocks, kBlocks, 6840}, true); });

    QTest::newRow("no unit") << Events([](TileState &) {}) << "READY" << "insert a unit" << Role::Waiting;
    QTest::newRow("writing") << started << "WRITING" << "47 / 188 blocks, 0:06 left" << Role::Writing;
    QTest::newRow("restarting") << restarting << "RESTARTING" << "do not unplug" << Role::Restarting;
    QTest::newRow("pass") << pass << "PASS" << "V1.24 in 6.8 s" << Role::Pass;
    QTest::newRow("no answer") << written(Outcome::NoAnswer, 37) << "FAIL" << "no answer after 37 of 188 blocks: write again"
                               << Role::Fail;
    QTest::newRow("connection lost") << written(Outcome::ConnectionLost, 5) << "FAIL"
                                     << "connection lost after 5 of 188 blocks: write again" << Role::Fail;
    QTest::newRow("line noise") << written(Outcome::LineNoise, 0) << "FAIL"
                                << "line disturbed after 0 of 188 blocks: write again" << Role::Fail;
    QTest::newRow("unchanged") << written(Outcome::Unchanged, 0) << "FAIL"
                               << "connection lost before the write, unit unchanged: write again" << Role::Fail;
    QTest::newRow("wrong version") << written(Outcome::WrongVersion, kBlocks, "1.25") << "FAIL"
                                   << "came back as V1.25, not V1.24: check the unit" << Role::Fail;
    QTest::newRow("no restart") << written(Outcome::NoRestart, kBlocks) << "FAIL"
                                << "did not answer after its write: check the unit" << Role::Fail;
    QTest::newRow("stopped mid-write") << written(Outcome::Interrupted, 60) << "STOPPED"
                                       << "ended after 60 of 188 blocks: write again" << Role::Fail;
    QTest::newRow("stopped restarting") << then(restarting, [](TileState &tile) {
        InstrumentReport stopped = report(Outcome::Interrupted, kBlocks);
        stopped.afterAsked = true;
        tile.writeFinished(stopped, kBlocks);
    }) << "STOPPED" << "ended before it answered again: write again" << Role::Fail;
    QTest::newRow("current") << Events([](TileState &tile) { tile.unitCurrent(kNewVersion); }) << "CURRENT"
                             << "already V1.24, not written" << Role::Current;
    QTest::newRow("check") << Events([](TileState &tile) { tile.needsCheck(kOldVersion); }) << "CHECK"
                           << "written twice, still V1.23: check the unit" << Role::Check;
    QTest::newRow("busy") << busy << "BUSY" << "held by another program" << Role::Unavailable;
    QTest::newRow("refused") << Events([](TileState &tile) { tile.unavailable(PortScan::PortState::PermissionDenied); })
                             << "NO ACCESS" << "permission denied: is the user in the dialout group?"
                             << Role::Unavailable;
    QTest::newRow("another device") << Events([](TileState &tile) { tile.unavailable(PortScan::PortState::OtherReply); })
                                    << "OTHER DEVICE" << "another device answers here" << Role::Unavailable;
    QTest::newRow("no device") << gone << "NO PORT" << "no device: connect the adapter" << Role::Absent;

    // What stays, and what ends it.
    QTest::newRow("pass stays until removed") << then(pass, free) << "PASS" << "V1.24 in 6.8 s" << Role::Pass;
    QTest::newRow("pass, unit removed") << then(pass, emptied) << "READY" << "insert a unit" << Role::Waiting;
    QTest::newRow("fail, next unit starts") << then(written(Outcome::NoAnswer, 37), started) << "WRITING"
                                            << "47 / 188 blocks, 0:06 left" << Role::Writing;
    QTest::newRow("check, unit removed") << then([](TileState &tile) { tile.needsCheck(kOldVersion); }, emptied)
                                         << "READY" << "insert a unit" << Role::Waiting;
    QTest::newRow("pass, device gone and back") << then(then(pass, gone), back) << "READY" << "insert a unit"
                                                << Role::Waiting;
    QTest::newRow("restart drops the device") << then(restarting, gone) << "RESTARTING" << "do not unplug"
                                              << Role::Restarting;
    QTest::newRow("busy over a pass") << then(pass, busy) << "BUSY" << "held by another program" << Role::Unavailable;
    QTest::newRow("busy over, pass again") << then(then(pass, busy), free) << "PASS" << "V1.24 in 6.8 s" << Role::Pass;
    QTest::newRow("another device empties") << then(then(pass, [](TileState &tile) {
        tile.unavailable(PortScan::PortState::OtherReply);
    }), emptied) << "OTHER DEVICE" << "another device answers here" << Role::Unavailable;
}

void TestTileState::fromEvents()
{
    QFETCH(Events, events);
    QFETCH(QString, word);
    QFETCH(QString, detail);
    QFETCH(TileState::Role, role);

    TileState tile(kNewVersion);
    tile.setIdentity({QStringLiteral("Slot A"), QStringLiteral("COM3"),
                      QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0")});
    events(tile);
    QCOMPARE(tile.word(), word);
    QCOMPARE(tile.detail(), detail);
    QCOMPARE(tile.role(), role);
    QCOMPARE(tile.title(), QStringLiteral("Slot A"));
    QCOMPARE(tile.subtitle(), QStringLiteral("COM3  ·  FTDI FT232R USB UART A12345"));
}

QTEST_GUILESS_MAIN(TestTileState)
#include "tst_tilestate.moc"
