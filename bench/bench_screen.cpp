// zorbelstation, the real program on the offscreen platform, against simulated units
// whose lines are paced at 19200 bit/s like a real line, in one run:
//
//  1. Sixteen units written at once against one unit: from the first write command at
//     a unit to the last unit's record in the log (its restart confirmed), the time of
//     the sixteen over the time of the one; the median of the runs.
//  2. The program's processor time while the sixteen are written, as a share of one
//     core (utime and stime from /proc/PID/stat over the same span).
//  3. The station idle with sixteen tiles: the sixteen units written and left in their
//     sockets (its rounds ask them every 2 s), then taken out (the sockets empty).
//  4. The same station without a screen (zorbelflash --watch) for 1 to 3: the share of
//     the engine itself.
//
//   bench_screen [runs] [idle seconds] [firmware bytes]   (defaults 3, 30, 12000)

#include "hexfile.h"
#include "processclock.h"
#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using Instruments = std::vector<std::unique_ptr<SimulatedInstrument>>;

constexpr int kGang = 16;
constexpr int kPacedBaud = 19200;
constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;
constexpr int kRestartMs = 300;
constexpr int kDefaultRuns = 3;
constexpr int kDefaultIdleSeconds = 30;
constexpr int kDefaultFirmwareBytes = 12000; // 188 blocks, about 7 s a unit
constexpr int kPollMs = 5;
constexpr int kSettleMs = 3000;   // after the writes, before the idle station is measured
constexpr int kWaitLimitMs = 300000;
constexpr double kPercent = 100.0;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values.at(values.size() / 2);
}

double seconds(qint64 ms)
{
    return std::chrono::duration<double>(std::chrono::milliseconds(ms)).count();
}

// Records in the log so far, of written units or of any outcome.
int records(const QString &log, bool writtenOnly = true)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(file.readAll().count(writtenOnly ? R"("outcome":"written")" : "\n"));
}

struct Run
{
    double writeSeconds = -1; // first write command to the last record
    double writeCpu = -1;     // share of a core over that span, in percent
    double idleCpu = -1;      // share of a core while idle afterwards, the units in their sockets
    double emptyCpu = -1;     // the same with the units taken out (the sockets empty)
    int idleRecords = -1;     // records kept while idle with the units in (none expected)
};

// Share of a core, in percent, the process takes over the next `idleSeconds`.
double cpuOver(qint64 pid, int idleSeconds)
{
    QThread::msleep(kSettleMs);
    const long long before = clockTicks(pid);
    QElapsedTimer clock;
    clock.start();
    QThread::sleep(static_cast<unsigned long>(idleSeconds));
    const long long after = clockTicks(pid);
    return kPercent * double(after - before) / double(::sysconf(_SC_CLK_TCK)) / seconds(clock.elapsed());
}

// One station with `count` units; idleSeconds 0: not measured idle. reference: the same
// station without a screen (zorbelflash --watch).
Run runStation(const QString &hex, int count, int idleSeconds, bool reference = false)
{
    Run run;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("records.jsonl"));
    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.versionAfterWrite = kNewVersion;
    config.restartMs = kRestartMs;
    config.baudRate = kPacedBaud;
    Instruments units;
    QStringList ports;
    std::atomic<bool> started{false};
    for (int i = 0; i < count; ++i) {
        units.push_back(std::make_unique<SimulatedInstrument>(config));
        units.back()->setEventHandler([&started](const QString &event) {
            if (event.startsWith(QLatin1String("transfer started")))
                started = true;
        });
        ports.append(units.back()->portMapEntry(QStringLiteral("COM%1").arg(i + 1)));
    }
    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), ports.join(QLatin1Char(',')));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    station.setProcessEnvironment(env);
    station.setStandardOutputFile(QProcess::nullDevice());
    station.setStandardErrorFile(QProcess::nullDevice());
    const QStringList arguments{hex, QStringLiteral("--expect-version"), QStringLiteral("1.24"), QStringLiteral("--log"),
                                log};
    if (reference)
        station.start(QStringLiteral(ZORBELFLASH_PATH),
                      QStringList{QStringLiteral("write"), QStringLiteral("--watch")} + arguments);
    else
        station.start(QStringLiteral(ZORBELSTATION_PATH), arguments);
    if (!station.waitForStarted())
        return run;
    const qint64 pid = station.processId();

    QElapsedTimer limit;
    limit.start();
    while (!started && limit.elapsed() < kWaitLimitMs)
        QThread::msleep(kPollMs);
    QElapsedTimer clock;
    clock.start();
    const long long ticksAtStart = clockTicks(pid);
    while (records(log) < count && limit.elapsed() < kWaitLimitMs)
        QThread::msleep(kPollMs);
    const qint64 writeMs = clock.elapsed();
    const long long ticksAtEnd = clockTicks(pid);
    const double tick = double(::sysconf(_SC_CLK_TCK));
    if (started && records(log) == count) {
        run.writeSeconds = seconds(writeMs);
        run.writeCpu = kPercent * double(ticksAtEnd - ticksAtStart) / tick / run.writeSeconds;
    }
    if (idleSeconds > 0) {
        const int before = records(log, false);
        run.idleCpu = cpuOver(pid, idleSeconds);
        run.idleRecords = records(log, false) - before;
        SimulatedInstrument::Config empty;
        empty.plugged = false;
        for (const auto &unit : units)
            unit->swapUnit(empty);
        run.emptyCpu = cpuOver(pid, idleSeconds);
    }
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    if (!station.waitForFinished(kWaitLimitMs) || station.exitCode() != 0)
        std::fprintf(stderr, "bench_screen: zorbelstation did not end well (exit status %d)\n", station.exitCode());
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int runs = std::max(1, args.value(1, QString::number(kDefaultRuns)).toInt());
    const int idleSeconds = std::max(1, args.value(2, QString::number(kDefaultIdleSeconds)).toInt());
    const int bytes = std::max(256, args.value(3, QString::number(kDefaultFirmwareBytes)).toInt());

    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("firmware.hex"));
    QFile file(hex);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(HexFile::hexText(HexFile::firmware(bytes))) <= 0) {
        std::fprintf(stderr, "bench_screen: cannot write the firmware file\n");
        return 1;
    }
    file.close();
    std::printf("zorbelstation (offscreen), lines paced at %d bit/s, %d bytes of firmware, %d run(s)\n", kPacedBaud,
                bytes, runs);

    std::vector<double> ratios;
    std::vector<double> writeCpu;
    Run idle;
    for (int round = 0; round < runs; ++round) {
        const Run one = runStation(hex, 1, 0);
        const bool last = round == runs - 1;
        const Run sixteen = runStation(hex, kGang, last ? idleSeconds : 0);
        const double ratio =
            one.writeSeconds > 0 && sixteen.writeSeconds > 0 ? sixteen.writeSeconds / one.writeSeconds : -1;
        std::printf("  run %d: one unit %.2f s, sixteen units %.2f s, ratio %.3f; %.1f %% of a core while writing "
                    "sixteen\n",
                    round + 1, one.writeSeconds, sixteen.writeSeconds, ratio, sixteen.writeCpu);
        std::fflush(stdout);
        if (ratio > 0)
            ratios.push_back(ratio);
        writeCpu.push_back(sixteen.writeCpu);
        if (last)
            idle = sixteen;
    }
    // The same rounds without a screen: what the station's engine costs by itself.
    const Run reference = runStation(hex, kGang, idleSeconds, true);
    std::printf("sixteen units at once / one unit (median):        %.3f   (goal <= 1.05)\n", median(ratios));
    std::printf("CPU while sixteen units are written (median):     %.1f %% of a core   (goal <= 10 %%)\n",
                median(writeCpu));
    std::printf("CPU idle, sixteen tiles, units in their sockets:  %.2f %% of a core   (goal <= 0.5 %%; %d records "
                "meanwhile)\n",
                idle.idleCpu, idle.idleRecords);
    std::printf("CPU idle, sixteen tiles, sockets empty:           %.2f %% of a core   (goal <= 0.5 %%)\n",
                idle.emptyCpu);
    std::printf("zorbelflash --watch, the same sixteen ports:      %.1f %% writing, idle %.2f %% (units in, %d "
                "records meanwhile), %.2f %% (empty)\n",
                reference.writeCpu, reference.idleCpu, reference.idleRecords, reference.emptyCpu);
    std::printf("(idle: over %d s each, rounds every 2 s over the sixteen ports)\n", idleSeconds);
    return ratios.size() == static_cast<size_t>(runs) && idle.idleCpu >= 0 ? 0 : 1;
}
