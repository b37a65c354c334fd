// Times discovery as the user meets it, with the real scan timer:
//  - from the window's construction to "HW gefunden an: COM1" with the simulated
//    instrument on COM1;
//  - one full pass over 50 ports that do not exist (from "Suche HW :COM1" to the next
//    "Suche HW :COM1"), with no ports mapped and with every port mapped to a device
//    path that does not exist;
//  - the longest pause of the window's event loop (a 5 ms heartbeat) while it searches
//    past three ports whose output is stopped, to the instrument on COM4.
// Usage: bench_discovery [runs]   (default 5 runs of the first, 3 of each pass)

#include "pelkfwloader.h"
#include "simulatedinstrument.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <optional>

namespace {

constexpr int kDefaultFoundRuns = 5;
constexpr int kDefaultPassRuns = 3;
constexpr int kPortCount = 50;
constexpr int kGiveUpMs = 60000; // a run that takes this long is reported as failed
constexpr int kStoppedPorts = 3;
constexpr int kHeartbeatMs = 5;
const QString kFirstProbe = QStringLiteral("Suche HW :COM1");
const QString kFoundOnCom1 = QStringLiteral("HW gefunden an: COM1");

void setPorts(const QStringList &entries)
{
    qputenv("ZORBEL_PORTS", entries.join(QLatin1Char(',')).toUtf8());
}

// Runs the event loop until `done` says so after a status-bar message; the time of
// each message (ms since `clock` started) goes to `onMessage`.
bool runUntil(PELKfwloader &window, const QElapsedTimer &clock,
              const std::function<bool(const QString &, qint64)> &done)
{
    QEventLoop loop;
    bool finished = false;
    QObject::connect(window.statusBar(), &QStatusBar::messageChanged, &loop, [&](const QString &text) {
        if (done(text, clock.elapsed())) {
            finished = true;
            loop.quit();
        }
    });
    QTimer::singleShot(kGiveUpMs, &loop, &QEventLoop::quit);
    loop.exec();
    return finished;
}

// Construction to Found, instrument on COM1.
std::optional<qint64> timeToFound()
{
    SimulatedInstrument instrument;
    if (!instrument.isValid()) {
        std::fprintf(stderr, "simulated instrument: %s\n", qPrintable(instrument.errorString()));
        return std::nullopt;
    }
    setPorts({instrument.portMapEntry(QStringLiteral("COM1"))});
    QElapsedTimer clock;
    clock.start();
    PELKfwloader window;
    qint64 foundAt = -1;
    const bool found = runUntil(window, clock, [&](const QString &text, qint64 at) {
        if (text != kFoundOnCom1)
            return false;
        foundAt = at;
        return true;
    });
    return found ? std::optional<qint64>(foundAt) : std::nullopt;
}

// One pass: first probe of COM1 to the next.
std::optional<qint64> passTime(const QStringList &portMap)
{
    setPorts(portMap);
    QElapsedTimer clock;
    clock.start();
    PELKfwloader window;
    QList<qint64> firstProbes;
    const bool done = runUntil(window, clock, [&](const QString &text, qint64 at) {
        if (text == kFirstProbe)
            firstProbes << at;
        return firstProbes.size() == 2;
    });
    return done ? std::optional<qint64>(firstProbes.at(1) - firstProbes.at(0)) : std::nullopt;
}

// Longest pause between two heartbeats from construction to Found, with ports whose
// output is stopped ahead of the instrument.
std::optional<qint64> longestPauseOverStoppedPorts()
{
    std::array<SimulatedInstrument, kStoppedPorts> stopped;
    SimulatedInstrument instrument;
    QStringList map{instrument.portMapEntry(QStringLiteral("COM%1").arg(kStoppedPorts + 1))};
    for (int i = 0; i < kStoppedPorts; ++i) {
        if (!stopped.at(i).isValid())
            return std::nullopt;
        stopped.at(i).stopReceiving();
        map << stopped.at(i).portMapEntry(QStringLiteral("COM%1").arg(i + 1));
    }
    if (!instrument.isValid())
        return std::nullopt;
    setPorts(map);
    QElapsedTimer clock;
    clock.start();
    PELKfwloader window;
    QElapsedTimer sinceBeat;
    qint64 longestMs = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { longestMs = std::max(longestMs, sinceBeat.restart()); });
    sinceBeat.start();
    heartbeat.start(kHeartbeatMs);
    const QString found = QStringLiteral("HW gefunden an: COM%1").arg(kStoppedPorts + 1);
    const bool done = runUntil(window, clock, [&](const QString &text, qint64) { return text == found; });
    return done ? std::optional<qint64>(longestMs) : std::nullopt;
}

bool report(const char *what, int runs, const std::function<std::optional<qint64>()> &measure)
{
    QList<qint64> times;
    for (int i = 0; i < runs; ++i) {
        const std::optional<qint64> ms = measure();
        if (!ms) {
            std::printf("%-44s run %d FAILED\n", what, i + 1);
            return false;
        }
        times << *ms;
    }
    std::sort(times.begin(), times.end());
    QStringList all;
    for (qint64 t : times)
        all << QString::number(t);
    std::printf("%-44s median %6lld ms  min %6lld  max %6lld  (%d runs: %s)\n", what,
                static_cast<long long>(times.at(times.size() / 2)), static_cast<long long>(times.first()),
                static_cast<long long>(times.last()), runs, qPrintable(all.join(QLatin1Char(' '))));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window's font setting goes to a temporary folder, not the user's settings.
    const QTemporaryDir settingsDir;
    qputenv("XDG_CONFIG_HOME", settingsDir.path().toLocal8Bit());
    QApplication app(argc, argv);

    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    const int foundRuns = runs > 0 ? runs : kDefaultFoundRuns;
    const int passRuns = runs > 0 ? runs : kDefaultPassRuns;

    QStringList absentDevices;
    for (int i = 1; i <= kPortCount; ++i)
        absentDevices << QStringLiteral("COM%1=/nonexistent/zorbel-tty%1").arg(i);

    bool ok = report("start to Found, instrument on COM1", foundRuns, timeToFound);
    ok = report("one pass, 50 unmapped ports", passRuns, [] { return passTime({}); }) && ok;
    ok = report("one pass, 50 ports on absent devices", passRuns,
                [&absentDevices] { return passTime(absentDevices); })
         && ok;
    ok = report("longest pause, 3 stopped ports ahead", passRuns, longestPauseOverStoppedPorts) && ok;
    return ok ? 0 : 1;
}
