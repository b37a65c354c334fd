// zorbelflash as a production line meets it, the real program against simulated
// instruments on pseudo-terminals:
//
//  1. One instrument, then eight written at once with --all --count 8 (a full gang
//     bench), each line paced at 19200 bit/s: the time of the eight over the time of
//     the one (program start to exit, and the longest transfer as the program reports
//     it in its JSON lines).
//  2. The time from the program's start to its "found" line with the instrument on COM1
//     and on COM50, the other 49 COM names being ports that open but never answer
//     (the slowest kind for a scan that asks one port after the other).
//
//  3. Station mode (write --watch): an instrument plugged in (its link made) at a
//     different moment of the round each time, paced at 19200 bit/s; the time from its
//     first answer to the version query to its first block received whole, as the
//     instrument sees them. Median of 10.
//
//   bench_zorbelflash [rounds] [firmware bytes]     (default 3 rounds, 16384 bytes)
//   bench_zorbelflash station                       (part 3 alone)

#include "hexfile.h"
#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kPacedBaud = 19200;
constexpr int kDefaultRounds = 3;
constexpr int kDefaultFirmwareBytes = 16384; // 256 blocks, about 9 s at 19200 bit/s
constexpr int kFoundFirmwareBytes = 256;     // the found runs write a tiny image
constexpr int kPortCount = 50;
constexpr int kGangSize = 8; // instruments written at once
constexpr int kRunLimitMs = 300000;
constexpr double kMillisPerSecond = 1000.0;
constexpr int kStationPlugIns = 10;
constexpr int kStationRoundMs = 500;       // the round of station mode
constexpr int kStationPhaseStepMs = 110;   // plug-in moments spread over the round
constexpr int kStationWriteLimitMs = 10000;
constexpr int kStationUnpluggedMs = 3 * kStationRoundMs; // unplugged: seen gone by then
constexpr int kStationNewVersion = 124; // what a unit answers after its write (--expect-version 1.24)
constexpr int kStationStartMs = 1000;

struct Timing
{
    double wallSeconds = 0;
    double transferSeconds = 0; // the longest transfer of the run
    double foundSeconds = -1;   // program start to the "found" line
};

using Instruments = std::vector<std::unique_ptr<SimulatedInstrument>>;

std::optional<Instruments> makeInstruments(int count, const SimulatedInstrument::Config &config)
{
    Instruments instruments;
    for (int i = 0; i < count; ++i) {
        instruments.push_back(std::make_unique<SimulatedInstrument>(config));
        if (!instruments.back()->isValid()) {
            std::fprintf(stderr, "simulated instrument: %s\n", qPrintable(instruments.back()->errorString()));
            return std::nullopt;
        }
    }
    return instruments;
}

// Runs zorbelflash to its end; the "found" line is timed as it arrives.
std::optional<Timing> runProgram(const QString &program, const QStringList &arguments, const QString &ports,
                                 int instrumentsExpected)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), ports);
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    process.setProcessEnvironment(env);

    Timing timing;
    QByteArray messages;
    QElapsedTimer clock;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        messages += process.readAllStandardError();
        if (timing.foundSeconds < 0 && messages.contains("\nfound "))
            timing.foundSeconds = double(clock.elapsed()) / kMillisPerSecond;
    });
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(kRunLimitMs) || !process.waitForFinished(kRunLimitMs)) {
        std::fprintf(stderr, "zorbelflash did not finish\n");
        return std::nullopt;
    }
    timing.wallSeconds = double(clock.elapsed()) / kMillisPerSecond;
    messages += process.readAllStandardError();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "zorbelflash ended with %d:\n%s\n", process.exitCode(), messages.constData());
        return std::nullopt;
    }
    int written = 0;
    const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value(QStringLiteral("outcome")).toString() != QStringLiteral("written"))
            continue;
        ++written;
        timing.transferSeconds = std::max(timing.transferSeconds, object.value(QStringLiteral("seconds")).toDouble());
    }
    if (written != instrumentsExpected) {
        std::fprintf(stderr, "%d of %d instruments written\n", written, instrumentsExpected);
        return std::nullopt;
    }
    return timing;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString portMap(const Instruments &instruments, const std::vector<int> &comNumbers)
{
    QStringList pairs;
    for (std::size_t i = 0; i < instruments.size(); ++i)
        pairs.append(instruments[i]->portMapEntry(QStringLiteral("COM%1").arg(comNumbers[i])));
    return pairs.join(QLatin1Char(','));
}

bool writeHex(const QString &path, int bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.write(HexFile::hexText(HexFile::firmware(bytes, 3))) > 0;
}

// One instrument against a gang of eight with --all, alternating, `rounds` times each.
bool benchConcurrency(const QString &program, const QString &hexPath, int rounds)
{
    SimulatedInstrument::Config paced;
    paced.baudRate = kPacedBaud;
    std::vector<double> oneWall, gangWall, oneTransfer, gangTransfer;
    for (int round = 0; round < rounds; ++round) {
        for (int count : {1, kGangSize}) {
            const std::optional<Instruments> instruments = makeInstruments(count, paced);
            if (!instruments)
                return false;
            std::vector<int> numbers;
            for (int i = 1; i <= count; ++i)
                numbers.push_back(i);
            QStringList arguments{QStringLiteral("write"), hexPath, QStringLiteral("--json")};
            if (count > 1)
                arguments += {QStringLiteral("--all"), QStringLiteral("--count"), QString::number(count)};
            const std::optional<Timing> timing = runProgram(program, arguments, portMap(*instruments, numbers), count);
            if (!timing)
                return false;
            (count == 1 ? oneWall : gangWall).push_back(timing->wallSeconds);
            (count == 1 ? oneTransfer : gangTransfer).push_back(timing->transferSeconds);
            std::printf("  round %d, %d instrument(s): %.3f s from start to exit, longest transfer %.3f s\n",
                        round + 1, count, timing->wallSeconds, timing->transferSeconds);
            std::fflush(stdout);
        }
    }
    std::printf("one instrument:      median %.3f s start to exit, transfer %.3f s\n", median(oneWall),
                median(oneTransfer));
    std::printf("%d with --all:        median %.3f s start to exit, transfer %.3f s\n", kGangSize,
                median(gangWall), median(gangTransfer));
    std::printf("ratio %d / one:       %.3f start to exit, %.3f transfer (target at most 1.05)\n", kGangSize,
                median(gangWall) / median(oneWall), median(gangTransfer) / median(oneTransfer));
    return true;
}

// Start to "found", the instrument on COM<instrumentCom>, 49 silent ports on the rest.
bool benchFound(const QString &program, const QString &hexPath, int rounds, int instrumentCom)
{
    std::vector<double> found;
    for (int round = 0; round < rounds; ++round) {
        SimulatedInstrument::Config silent;
        silent.replyLength = 0;
        std::optional<Instruments> others = makeInstruments(kPortCount - 1, silent);
        std::optional<Instruments> instrument = makeInstruments(1, {});
        if (!others || !instrument)
            return false;
        Instruments all;
        std::vector<int> numbers;
        int next = 0;
        for (int com = 1; com <= kPortCount; ++com) {
            numbers.push_back(com);
            all.push_back(com == instrumentCom ? std::move(instrument->front()) : std::move((*others)[next++]));
        }
        const std::optional<Timing> timing =
            runProgram(program, {QStringLiteral("write"), hexPath, QStringLiteral("--json")}, portMap(all, numbers), 1);
        if (!timing || timing->foundSeconds < 0)
            return false;
        found.push_back(timing->foundSeconds);
        std::printf("  round %d, instrument on COM%d: found after %.3f s\n", round + 1, instrumentCom,
                    timing->foundSeconds);
        std::fflush(stdout);
    }
    std::printf("instrument on COM%d:  found after %.3f s (median of %d, 50 ports)\n", instrumentCom,
                median(found), rounds);
    return true;
}

// Plugs an instrument into station mode kStationPlugIns times (a fresh one each time,
// at a different moment of the round) and times its first answer to its first block.
bool benchStation(const QString &program, const QString &hexPath)
{
    using Clock = std::chrono::steady_clock;
    QTemporaryDir slotDir;
    const QString link = slotDir.filePath(QStringLiteral("slot1"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), QStringLiteral("COM1=") + link);
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    process.setProcessEnvironment(env);
    process.start(program, {QStringLiteral("write"), hexPath, QStringLiteral("--watch"), QStringLiteral("--expect-version"),
                            QStringLiteral("1.24"), QStringLiteral("--json")});
    if (!process.waitForStarted(kRunLimitMs))
        return false;
    QThread::msleep(kStationStartMs);

    std::vector<double> latencies;
    std::vector<double> fromPlugInAll;
    for (int plugIn = 0; plugIn < kStationPlugIns; ++plugIn) {
        SimulatedInstrument::Config paced;
        paced.baudRate = kPacedBaud;
        paced.versionAfterWrite = kStationNewVersion;
        SimulatedInstrument instrument(paced);
        std::atomic<long long> answeredNs{0};
        std::atomic<long long> blockNs{0};
        instrument.setEventHandler([&](const QString &event) {
            const long long now = Clock::now().time_since_epoch().count();
            long long unset = 0;
            if (event.startsWith(QLatin1String("version query")))
                answeredNs.compare_exchange_strong(unset, now);
            else if (event.startsWith(QLatin1String("block 1 ")))
                blockNs.compare_exchange_strong(unset, now);
        });
        QThread::msleep(static_cast<unsigned long>((plugIn * kStationPhaseStepMs) % kStationRoundMs));
        const long long pluggedNs = Clock::now().time_since_epoch().count();
        if (!instrument.isValid() || !QFile::link(instrument.devicePath(), link))
            return false;
        if (!instrument.waitForTransferEnd(kStationWriteLimitMs) || blockNs == 0 || answeredNs == 0) {
            std::fprintf(stderr, "station mode did not write instrument %d\n%s\n", plugIn + 1,
                         process.readAllStandardError().constData());
            return false;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::duration(blockNs - answeredNs)).count();
        const double fromPlugIn =
            std::chrono::duration<double, std::milli>(Clock::duration(blockNs - pluggedNs)).count();
        latencies.push_back(ms);
        fromPlugInAll.push_back(fromPlugIn);
        std::printf("  plug-in %d: first answer to first block %.0f ms (plug-in to first block %.0f ms)\n",
                    plugIn + 1, ms, fromPlugIn);
        std::fflush(stdout);
        QFile::remove(link);
        QThread::msleep(kStationUnpluggedMs);
    }
    process.terminate();
    if (!process.waitForFinished(kRunLimitMs) || process.exitCode() != 0) {
        std::fprintf(stderr, "station mode ended with %d:\n%s\n", process.exitCode(),
                     process.readAllStandardError().constData());
        return false;
    }
    const QByteArray messages = process.readAllStandardError();
    const QByteArray summary = QByteArray::number(kStationPlugIns) + " written\n";
    if (!messages.endsWith(summary)) {
        std::fprintf(stderr, "station mode did not write every instrument:\n%s\n", messages.constData());
        return false;
    }
    std::printf("station mode:        first answer to first block %.0f ms (median of %d; target 1500, aim 1000)\n",
                median(latencies), kStationPlugIns);
    std::printf("                     plug-in to first block %.0f ms (median; the next round asks it)\n",
                median(fromPlugInAll));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int rounds = arguments.size() > 1 ? std::max(1, arguments.at(1).toInt()) : kDefaultRounds;
    const int bytes = arguments.size() > 2 ? std::clamp(arguments.at(2).toInt(), 64, 64512) : kDefaultFirmwareBytes;
    const QString program = QStringLiteral(ZORBELFLASH_PATH);

    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    const QString smallHexPath = dir.filePath(QStringLiteral("small.hex"));
    if (!dir.isValid() || !writeHex(hexPath, bytes) || !writeHex(smallHexPath, kFoundFirmwareBytes)) {
        std::fprintf(stderr, "cannot write the firmware files\n");
        return 1;
    }

    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("station"))
        return benchStation(program, smallHexPath) ? 0 : 1;
    std::printf("zorbelflash, %d byte(s) of firmware, lines paced at %d bit/s, %d round(s)\n", bytes, kPacedBaud,
                rounds);
    if (!benchConcurrency(program, hexPath, rounds))
        return 1;
    std::printf("time to found, 50 ports, all but the instrument's open and silent:\n");
    if (!benchFound(program, smallHexPath, rounds, 1) || !benchFound(program, smallHexPath, rounds, kPortCount))
        return 1;
    std::printf("station mode, an instrument plugged in %d times, paced at %d bit/s:\n", kStationPlugIns, kPacedBaud);
    if (!benchStation(program, smallHexPath))
        return 1;
    return 0;
}
