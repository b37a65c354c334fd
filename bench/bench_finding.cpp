// zorbelflash finding instruments and idling, the real program against simulated
// instruments, each figure for one program (A) and optionally another build of it (B)
// in the same run, so that they can be set side by side:
//
//  1. list with one instrument that answers at once: start to exit, median of 10.
//  2. Station mode: a port appears (its link made) -> the write command reaches the
//     instrument, median of 10 plug-ins at different moments.
//  3. An idle station on this machine's own ports: CPU time over wall time.
//  4. An idle station with 50 ports mapped (silent instruments): resident memory,
//     sampled over the given minutes (A and B side by side).
//  5. --all with 16 instruments at once against one, each line paced at 19200 bit/s:
//     the time of the sixteen over the time of the one.
//
//   bench_finding [--b PROGRAM] [--idle-seconds N] [--rss-minutes M] [--skip-gang]
//                 [--gang-only RUNS]   (part 5 alone: the median of RUNS ratios, A and B
//                                       taking turns)

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

using Clock = std::chrono::steady_clock;
using Instruments = std::vector<std::unique_ptr<SimulatedInstrument>>;

constexpr int kRuns = 10;
constexpr int kPlugIns = 10;
constexpr int kPlugPhaseStepMs = 137;  // plug-in moments spread over any round
constexpr int kSettleMs = 1500;        // after the program started, before plugging in
constexpr int kWaitLimitMs = 20000;
constexpr int kMappedPorts = 50;
constexpr int kGang = 16;
constexpr int kPacedBaud = 19200;
constexpr int kGangFirmwareBytes = 8192;
constexpr int kSmallFirmwareBytes = 256;
constexpr int kRssSampleSeconds = 10;
constexpr int kRssWarmUpSeconds = 30;
constexpr int kDefaultIdleSeconds = 30;
constexpr int kDefaultRssMinutes = 10;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(values.size() / 2);
}

QProcessEnvironment environment(const QString &ports)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (ports.isNull())
        env.remove(QStringLiteral("ZORBEL_PORTS"));
    else
        env.insert(QStringLiteral("ZORBEL_PORTS"), ports);
    return env;
}

Instruments makeInstruments(int count, const SimulatedInstrument::Config &config)
{
    Instruments instruments;
    for (int i = 0; i < count; ++i)
        instruments.push_back(std::make_unique<SimulatedInstrument>(config));
    return instruments;
}

QString mapOf(const Instruments &instruments)
{
    QStringList pairs;
    for (std::size_t i = 0; i < instruments.size(); ++i)
        pairs.append(instruments[i]->portMapEntry(QStringLiteral("COM%1").arg(i + 1)));
    return pairs.join(QLatin1Char(','));
}

// Seconds of a program run from start to exit; < 0 when it failed.
double runSeconds(const QString &program, const QStringList &arguments, const QString &ports)
{
    QProcess process;
    process.setProcessEnvironment(environment(ports));
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(kWaitLimitMs * 10) || process.exitCode() != 0)
        return -1;
    return std::chrono::duration<double>(std::chrono::milliseconds(clock.elapsed())).count();
}

long long rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void startStation(QProcess &process, const QString &program, const QString &hex, const QString &ports)
{
    process.setProcessEnvironment(environment(ports));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, {QStringLiteral("write"), hex, QStringLiteral("--watch"), QStringLiteral("--expect-version"),
                            QStringLiteral("1.24")});
    process.waitForStarted();
}

void endStation(QProcess &process)
{
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    process.waitForFinished(kWaitLimitMs);
}

double listMedian(const QString &program)
{
    SimulatedInstrument instrument;
    std::vector<double> seconds;
    for (int run = 0; run < kRuns; ++run)
        seconds.push_back(runSeconds(program, {QStringLiteral("list")}, instrument.portMapEntry(QStringLiteral("COM1"))));
    return median(seconds);
}

double plugInMedian(const QString &program, const QString &hex, const QTemporaryDir &dir)
{
    const QString link = dir.filePath(QStringLiteral("slot-%1").arg(qHash(program)));
    QFile::remove(link);
    QProcess station;
    startStation(station, program, hex, QStringLiteral("COM1=") + link);
    QThread::msleep(kSettleMs);
    std::vector<double> millis;
    for (int plug = 0; plug < kPlugIns; ++plug) {
        SimulatedInstrument unit;
        std::atomic<Clock::rep> startedAt{0};
        unit.setEventHandler([&startedAt](const QString &event) {
            if (event.startsWith(QLatin1String("transfer started")))
                startedAt = Clock::now().time_since_epoch().count();
        });
        QThread::msleep(static_cast<unsigned long>(plug * kPlugPhaseStepMs % 500));
        const Clock::time_point pluggedAt = Clock::now();
        QFile::link(unit.devicePath(), link);
        QElapsedTimer limit;
        limit.start();
        while (startedAt == 0 && limit.elapsed() < kWaitLimitMs)
            QThread::msleep(1);
        if (startedAt != 0) {
            const Clock::time_point started{Clock::duration(startedAt.load())};
            millis.push_back(std::chrono::duration<double, std::milli>(started - pluggedAt).count());
        }
        unit.waitForTransferEnd(kWaitLimitMs);
        QFile::remove(link);
        QThread::msleep(kSettleMs);
    }
    endStation(station);
    return millis.size() == kPlugIns ? median(millis) : -1;
}

double idleCpuPercent(const QString &program, const QString &hex, int seconds)
{
    QProcess station;
    startStation(station, program, hex, QString());
    QThread::msleep(kSettleMs);
    const long long before = clockTicks(station.processId());
    QElapsedTimer clock;
    clock.start();
    QThread::sleep(static_cast<unsigned long>(seconds));
    const long long after = clockTicks(station.processId());
    const double wall = std::chrono::duration<double>(std::chrono::milliseconds(clock.elapsed())).count();
    endStation(station);
    const double cpu = double(after - before) / double(::sysconf(_SC_CLK_TCK));
    return before < 0 || after < 0 ? -1 : 100.0 * cpu / wall;
}

double gangRatio(const QString &program, const QString &hex)
{
    SimulatedInstrument::Config paced;
    paced.baudRate = kPacedBaud;
    const Instruments one = makeInstruments(1, paced);
    const Instruments gang = makeInstruments(kGang, paced);
    const double single = runSeconds(program, {QStringLiteral("write"), hex, QStringLiteral("--all")}, mapOf(one));
    const double sixteen = runSeconds(program, {QStringLiteral("write"), hex, QStringLiteral("--all"),
                                                QStringLiteral("--count"), QString::number(kGang)},
                                      mapOf(gang));
    return single > 0 && sixteen > 0 ? sixteen / single : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList programs{QStringLiteral(ZORBELFLASH_PATH)};
    int idleSeconds = kDefaultIdleSeconds;
    int rssMinutes = kDefaultRssMinutes;
    bool gang = true;
    int gangOnly = 0;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--b") && i + 1 < arguments.size())
            programs.append(arguments.at(++i));
        else if (arguments.at(i) == QLatin1String("--idle-seconds") && i + 1 < arguments.size())
            idleSeconds = arguments.at(++i).toInt();
        else if (arguments.at(i) == QLatin1String("--rss-minutes") && i + 1 < arguments.size())
            rssMinutes = arguments.at(++i).toInt();
        else if (arguments.at(i) == QLatin1String("--skip-gang"))
            gang = false;
        else if (arguments.at(i) == QLatin1String("--gang-only") && i + 1 < arguments.size())
            gangOnly = arguments.at(++i).toInt();
    }
    QTemporaryDir dir;
    const QString smallHex = dir.filePath(QStringLiteral("small.hex"));
    const QString gangHex = dir.filePath(QStringLiteral("gang.hex"));
    for (const auto &[path, bytes] : {std::pair{smallHex, kSmallFirmwareBytes}, std::pair{gangHex, kGangFirmwareBytes}}) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(HexFile::hexText(HexFile::firmware(bytes, 3)));
    }

    if (gangOnly > 0) {
        std::vector<std::vector<double>> ratios(programs.size());
        for (int run = 0; run < gangOnly; ++run) {
            for (int p = 0; p < programs.size(); ++p)
                ratios[p].push_back(gangRatio(programs.at(p), gangHex));
        }
        for (int p = 0; p < programs.size(); ++p)
            std::printf("%c: --all, %d instruments / one, median of %d: %.3f\n", 'A' + p, kGang, gangOnly,
                        median(ratios[p]));
        return 0;
    }

    for (int p = 0; p < programs.size(); ++p) {
        const QString &program = programs.at(p);
        std::printf("%c: %s\n", 'A' + p, qPrintable(program));
        std::printf("  list, one instrument, median of %d:        %.0f ms\n", kRuns, listMedian(program) * 1000);
        std::printf("  station, port appears -> write, median of %d: %.0f ms\n", kPlugIns,
                    plugInMedian(program, smallHex, dir));
        std::printf("  idle station on this machine's ports, CPU: %.2f %% of a core over %d s\n",
                    idleCpuPercent(program, smallHex, idleSeconds), idleSeconds);
        if (gang)
            std::printf("  --all, %d instruments / one:               %.3f\n", kGang, gangRatio(program, gangHex));
        std::fflush(stdout);
    }

    if (rssMinutes > 0) {
        SimulatedInstrument::Config silent;
        silent.replyLength = 0;
        const Instruments mapped = makeInstruments(kMappedPorts, silent);
        std::vector<std::unique_ptr<QProcess>> stations;
        for (const QString &program : programs) {
            stations.push_back(std::make_unique<QProcess>());
            startStation(*stations.back(), program, smallHex, mapOf(mapped));
        }
        std::vector<std::vector<long long>> samples(programs.size());
        QThread::sleep(kRssWarmUpSeconds); // loaded and through its first rounds
        for (int second = 0; second <= rssMinutes * 60; second += kRssSampleSeconds) {
            for (std::size_t p = 0; p < stations.size(); ++p)
                samples[p].push_back(rssKiB(stations[p]->processId()));
            QThread::sleep(kRssSampleSeconds);
        }
        for (std::size_t p = 0; p < stations.size(); ++p) {
            endStation(*stations[p]);
            const auto &s = samples[p];
            std::printf("%c: idle station, %d ports mapped, RSS over %d min after %d s: first %lld KiB, last %lld "
                        "KiB, lowest %lld KiB, highest %lld KiB\n",
                        char('A' + p), kMappedPorts, rssMinutes, kRssWarmUpSeconds, s.front(), s.back(),
                        *std::min_element(s.begin(), s.end()), *std::max_element(s.begin(), s.end()));
        }
    }
    return 0;
}
