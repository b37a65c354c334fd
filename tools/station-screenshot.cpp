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

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kSlots = 16;
constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;
constexpr int kQuickRestartMs = 300;
constexpr int kNeverMs = 3600 * 1000;   // a restart that outlasts the picture
constexpr int kSlowRestartMs = 60000;   // still restarting when the picture is taken
constexpr int kRestartWaitS = 8;
constexpr int kLineBaud = 19200;        // the slot that restarts is written at the line's speed
constexpr int kSlowBauds[] = {2400, 3000, 3600, 4800}; // the slots still being written
constexpr int kPollMs = 100;
constexpr int kDefaultTimeoutS = 120;
constexpr int kMsPerSecond = 1000;
constexpr int kUsageError = 2;
constexpr int kFailed = 1;

// The word each slot is to show, in slot order.
const char *const kWanted[kSlots] = {"PASS",    "PASS",    "PASS",    "PASS",       "PASS",   "FAIL",
                                     "CHECK",   "RESTARTING", "WRITING", "WRITING", "WRITING", "WRITING",
                                     "CURRENT", "BUSY",    "READY",   "NO PORT"};

SimulatedInstrument::Config unit(int versionAfterWrite, int restartMs, int baud = 0)
{
    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.versionAfterWrite = versionAfterWrite;
    config.restartMs = restartMs;
    config.baudRate = baud;
    return config;
}

SimulatedInstrument::Config slotConfig(int slot)
{
    switch (slot) {
    case 5:
        return unit(kNewVersion, kNeverMs);
    case 6:
        return unit(-1, kQuickRestartMs);
    case 7:
        return unit(kNewVersion, kSlowRestartMs, kLineBaud);
    case 8:
    case 9:
    case 10:
    case 11:
        return unit(kNewVersion, kQuickRestartMs, kSlowBauds[slot - 8]);
    case 12: {
        SimulatedInstrument::Config current = unit(kNewVersion, kQuickRestartMs);
        current.version = kNewVersion;
        return current;
    }
    default:
        break;
    }
    return unit(kNewVersion, kQuickRestartMs);
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
    QStringList ports;
    QString profile = QStringLiteral("firmware=%1\nexpect-version=1.24\nrestart-wait=%2\n")
                          .arg(QFileInfo(parser.value(hexOption)).absoluteFilePath())
                          .arg(kRestartWaitS);
    for (int slot = 0; slot < kSlots; ++slot) {
        const QString link = dir.filePath(QStringLiteral("slot%1").arg(slot + 1));
        ports.append(QStringLiteral("COM%1=%2").arg(slot + 1).arg(link));
        profile += QStringLiteral("port%1=COM%1\nlabel%1=Slot %1\n").arg(slot + 1);
        QString device;
        if (slot == 14) {
            device = emptySocket.devicePath();
        } else if (slot != 15) {
            units.push_back(std::make_unique<SimulatedInstrument>(slotConfig(slot)));
            device = units.back()->devicePath();
        }
        if (device.isEmpty())
            continue;
        const QString adapter = QStringLiteral("%1/usb-FTDI_FT232R_USB_UART_A%2-if00-port0")
                                    .arg(byId)
                                    .arg(QStringLiteral("%1").arg(0x5A10 + slot, 0, 16).toUpper());
        if (!QFile::link(device, link) || !QFile::link(device, adapter)) {
            report(QStringLiteral("cannot make the links of slot %1").arg(slot + 1));
            return kFailed;
        }
    }
    qputenv("ZORBEL_PORTS", ports.join(QLatin1Char(',')).toUtf8());
    DeviceLock otherProgram;
    otherProgram.acquire(dir.filePath(QStringLiteral("slot14")));
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
        for (int slot = 0; slot < kSlots; ++slot) {
            if (window.tile(slot)->state().word() != QLatin1String(kWanted[slot]))
                return;
        }
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
        for (int slot = 0; slot < kSlots; ++slot)
            words.append(window.tile(slot)->state().word());
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
