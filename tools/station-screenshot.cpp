// station-screenshot: zorbelstation's window on a bench of sixteen simulated slots in
// mixed states, saved as a PNG once every tile shows what its slot was set up for. Used
// by tools/screenshots.sh for docs/screenshots/station.png; a developer tool, not part
// of the station.
//
//   station-screenshot --hex FILE --out station.png [--timeout SECONDS]
//
// The slots: five units that pass, one that never answers after its write (FAIL), one
// that keeps its old firmware (CHECK), one restarting slowly, four being written on
// slow lines, one already current, one port held by another program, one adapter
// with its socket empty, and one port without its device. Exit status 0 when the
// picture was saved, 1 otherwise, 2 for a usage error.

#include "benchadapter.h"
#include "devicelock.h"
#include "simulatedinstrument.h"
#include "stationboard.h"
#include "stationstart.h"
#include "stationwindow.h"
#include "tilewidget.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;
constexpr int kQuickRestartMs = 300;
constexpr int kNeverMs = 3600 * 1000;   // a restart that outlasts the picture
constexpr int kSlowRestartMs = 60000;   // still restarting when the picture is taken
constexpr int kRestartWaitS = 8;
constexpr int kLineBaud = 19200;        // the slot that restarts is written at the line's speed
constexpr int kPollMs = 100;
constexpr int kDefaultTimeoutS = 120;
constexpr int kMsPerSecond = 1000;
constexpr int kFirstAdapterSerial = 0x5A10;
constexpr int kHexBase = 16;
constexpr int kUsageError = 2;
constexpr int kFailed = 1;

// What a slot holds.
enum class Holds {
    Passing,      // a unit that answers the new version after its write
    Deaf,         // a unit that never answers after its write
    KeepsOld,     // a unit that answers its old version after every write
    Restarting,   // a unit that takes long to restart
    SlowLine,     // a unit on a slow line, still being written
    Current,      // a unit that has the new version already
    HeldPort,     // a unit behind a port another program holds
    EmptySocket,  // an adapter without a unit
    NoDevice,     // a port whose device is not there
};

struct Slot
{
    Holds holds;
    int baud; // its line's pace; 0: unpaced
};

constexpr std::array<Slot, 16> kSlots = {{
    {Holds::Passing, 0},     {Holds::Passing, 0},  {Holds::Passing, 0},     {Holds::Passing, 0},
    {Holds::Passing, 0},     {Holds::Deaf, 0},     {Holds::KeepsOld, 0},    {Holds::Restarting, kLineBaud},
    {Holds::SlowLine, 2400}, {Holds::SlowLine, 3000}, {Holds::SlowLine, 3600}, {Holds::SlowLine, 4800},
    {Holds::Current, 0},     {Holds::HeldPort, 0}, {Holds::EmptySocket, 0}, {Holds::NoDevice, 0},
}};

// The word the tile of a slot is to show.
QString wordFor(Holds holds)
{
    switch (holds) {
    case Holds::Passing:
        return QStringLiteral("PASS");
    case Holds::Deaf:
        return QStringLiteral("FAIL");
    case Holds::KeepsOld:
        return QStringLiteral("CHECK");
    case Holds::Restarting:
        return QStringLiteral("RESTARTING");
    case Holds::SlowLine:
        return QStringLiteral("WRITING");
    case Holds::Current:
        return QStringLiteral("CURRENT");
    case Holds::HeldPort:
        return QStringLiteral("BUSY");
    case Holds::EmptySocket:
        return QStringLiteral("READY");
    case Holds::NoDevice:
        break;
    }
    return QStringLiteral("NO PORT");
}

SimulatedInstrument::Config unitFor(const Slot &slot)
{
    SimulatedInstrument::Config config;
    config.version = slot.holds == Holds::Current ? kNewVersion : kOldVersion;
    config.versionAfterWrite = slot.holds == Holds::KeepsOld ? -1 : kNewVersion;
    config.restartMs = slot.holds == Holds::Deaf         ? kNeverMs
                       : slot.holds == Holds::Restarting ? kSlowRestartMs
                                                         : kQuickRestartMs;
    config.baudRate = slot.baud;
    return config;
}

// The words the tiles show now, in slot order; whether each is the one wanted.
bool showsWanted(const StationWindow &window, QStringList *words)
{
    bool wanted = true;
    for (int slot = 0; slot < window.tileCount(); ++slot) {
        const QString word = window.tile(slot)->state().word();
        words->append(word);
        wanted = wanted && word == wordFor(kSlots.at(static_cast<size_t>(slot)).holds);
    }
    return wanted;
}

void report(const QString &text)
{
    std::fprintf(stderr, "station-screenshot: %s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Saves a picture of zorbelstation on sixteen simulated slots."));
    const QCommandLineOption hexOption(QStringLiteral("hex"), QStringLiteral("The firmware file."), QStringLiteral("FILE"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("The PNG to write."), QStringLiteral("PNG"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the states."),
                                           QStringLiteral("SECONDS"), QString::number(kDefaultTimeoutS));
    parser.addOptions({hexOption, outOption, timeoutOption});
    parser.addHelpOption();
    parser.process(app);
    if (!parser.isSet(hexOption) || !parser.isSet(outOption)) {
        report(QStringLiteral("--hex and --out are needed"));
        return kUsageError;
    }

    QTemporaryDir dir;
    const QString byId = dir.filePath(QStringLiteral("by-id"));
    if (!dir.isValid() || !QDir().mkpath(byId)) {
        report(QStringLiteral("no temporary folder"));
        return kFailed;
    }
    // The slots, each a link in the temporary folder as a bench names its ports, with a
    // stable name for its adapter.
    std::vector<std::unique_ptr<SimulatedInstrument>> units;
    BenchAdapter emptySocket;
    DeviceLock otherProgram;
    QStringList ports;
    QString profile = QStringLiteral("firmware=%1\nexpect-version=1.24\nrestart-wait=%2\n")
                          .arg(QFileInfo(parser.value(hexOption)).absoluteFilePath())
                          .arg(kRestartWaitS);
    for (int slot = 0; slot < static_cast<int>(kSlots.size()); ++slot) {
        const Slot &holds = kSlots.at(static_cast<size_t>(slot));
        const QString link = dir.filePath(QStringLiteral("slot%1").arg(slot + 1));
        ports.append(QStringLiteral("COM%1=%2").arg(slot + 1).arg(link));
        profile += QStringLiteral("port%1=COM%1\nlabel%1=Slot %1\n").arg(slot + 1);
        if (holds.holds == Holds::NoDevice)
            continue;
        if (holds.holds != Holds::EmptySocket)
            units.push_back(std::make_unique<SimulatedInstrument>(unitFor(holds)));
        const QString device = holds.holds == Holds::EmptySocket ? emptySocket.devicePath() : units.back()->devicePath();
        const QString adapter = QStringLiteral("%1/usb-FTDI_FT232R_USB_UART_A%2-if00-port0")
                                    .arg(byId, QString::number(kFirstAdapterSerial + slot, kHexBase).toUpper());
        if (!QFile::link(device, link) || !QFile::link(device, adapter)) {
            report(QStringLiteral("cannot make the links of slot %1").arg(slot + 1));
            return kFailed;
        }
        if (holds.holds == Holds::HeldPort)
            otherProgram.acquire(link);
    }
    qputenv("ZORBEL_PORTS", ports.join(QLatin1Char(',')).toUtf8());
    const QString profilePath = dir.filePath(QStringLiteral("bench.profile"));
    QFile profileFile(profilePath);
    if (!profileFile.open(QIODevice::WriteOnly) || profileFile.write(profile.toUtf8()) != profile.toUtf8().size()) {
        report(QStringLiteral("cannot write the profile"));
        return kFailed;
    }
    profileFile.close();

    StationStart start = StationStart::fromArguments({QStringLiteral("zorbelstation"), profilePath});
    if (start.status() != StationStart::Status::Ready) {
        report(start.text());
        return kFailed;
    }
    std::unique_ptr<StationBoard::Setup> setup = start.takeSetup();
    setup->byIdFolder = byId;
    StationWindow window(std::make_unique<StationBoard>(std::move(*setup)));
    window.resize(StationWindow::kScreenWidth, StationWindow::kScreenHeight);

    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        QStringList words;
        if (!showsWanted(window, &words))
            return;
        poll.stop();
        saved = window.grab().save(parser.value(outOption), "PNG");
        if (!saved)
            report(QStringLiteral("cannot save %1").arg(parser.value(outOption)));
        window.board().station().stop();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &window, [&] {
        QStringList words;
        showsWanted(window, &words);
        report(QStringLiteral("the slots never showed their states; last: %1").arg(words.join(QStringLiteral(", "))));
        window.board().station().stop();
    });
    QObject::connect(&window, &StationWindow::ended, &app, &QApplication::quit);
    poll.start(kPollMs);
    deadline.start(parser.value(timeoutOption).toInt() * kMsPerSecond);
    window.show();
    window.start();
    QApplication::exec();
    return saved ? 0 : kFailed;
}
