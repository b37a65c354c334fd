// zorbelflash's station mode on a production line, the real program against simulated
// instruments: eight slots, each unit restarting after its write as a real one does
// (deaf for a second, then answering its new firmware), and every slot given a fresh
// unit (the factory firmware) at a fixed pace. At the end the program is ended with
// SIGTERM and the writes each unit received are counted: every unit plugged in must
// have received exactly one.
//
//   bench_station [seconds] [swap every seconds]     (default 120 and 15)

#include "hexfile.h"
#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kSlots = 8;
constexpr int kFirmwareBytes = 16384;
constexpr int kRestartMs = 1000;
constexpr int kNewVersion = 124;
constexpr int kDefaultSeconds = 120;
constexpr int kDefaultSwapSeconds = 15;
constexpr int kTickMs = 50;
constexpr int kEndWaitMs = 30000;

std::unique_ptr<SimulatedInstrument> newUnit(const QString &link)
{
    SimulatedInstrument::Config config;
    config.restartMs = kRestartMs;
    config.versionAfterWrite = kNewVersion;
    auto unit = std::make_unique<SimulatedInstrument>(config);
    QFile::remove(link);
    if (!unit->isValid() || !QFile::link(unit->devicePath(), link))
        return nullptr;
    return unit;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int seconds = arguments.size() > 1 ? arguments.at(1).toInt() : kDefaultSeconds;
    const int swapSeconds = arguments.size() > 2 ? arguments.at(2).toInt() : kDefaultSwapSeconds;
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    if (!dir.isValid() || !hex.open(QIODevice::WriteOnly))
        return 1;
    hex.write(HexFile::hexText(HexFile::firmware(kFirmwareBytes, 7)));
    hex.close();

    std::vector<std::unique_ptr<SimulatedInstrument>> units; // every unit plugged in, kept to the end
    QStringList links;
    QStringList map;
    for (int slot = 0; slot < kSlots; ++slot) {
        links.append(dir.filePath(QStringLiteral("slot%1").arg(slot + 1)));
        map.append(QStringLiteral("COM%1=%2").arg(slot + 1).arg(links.last()));
        units.push_back(newUnit(links.last()));
        if (!units.back())
            return 1;
    }

    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), map.join(QLatin1Char(',')));
    station.setProcessEnvironment(env);
    station.setStandardOutputFile(dir.filePath(QStringLiteral("records.jsonl")));
    station.setStandardErrorFile(dir.filePath(QStringLiteral("messages.txt")));
    station.start(QStringLiteral(ZORBELFLASH_PATH), {QStringLiteral("write"), hexPath, QStringLiteral("--watch"),
                                                     QStringLiteral("--json")});
    if (!station.waitForStarted())
        return 1;

    QElapsedTimer clock;
    clock.start();
    qint64 nextSwap = static_cast<qint64>(swapSeconds) * 1000;
    int slotToSwap = 0;
    while (clock.elapsed() < static_cast<qint64>(seconds) * 1000) {
        QThread::msleep(kTickMs);
        if (swapSeconds > 0 && clock.elapsed() >= nextSwap) {
            // A fresh unit in every slot, one slot after the other within the period.
            units.push_back(newUnit(links.at(slotToSwap)));
            if (!units.back())
                return 1;
            slotToSwap = (slotToSwap + 1) % kSlots;
            nextSwap += static_cast<qint64>(swapSeconds) * 1000 / kSlots;
        }
    }
    ::kill(static_cast<pid_t>(station.processId()), SIGTERM);
    station.waitForFinished(kEndWaitMs);

    int written = 0;
    int writtenTwice = 0;
    int unwritten = 0;
    for (const auto &unit : units) {
        const int writes = unit->transfersStarted();
        written += writes;
        writtenTwice += writes > 1 ? 1 : 0;
        unwritten += writes == 0 ? 1 : 0;
    }
    QFile records(dir.filePath(QStringLiteral("records.jsonl")));
    records.open(QIODevice::ReadOnly);
    const int recordCount = static_cast<int>(records.readAll().count('\n'));
    std::printf("station mode, %d slots, %d s, a fresh unit in each slot every %d s, restart %d ms\n", kSlots,
                seconds, swapSeconds, kRestartMs);
    std::printf("units plugged in:        %zu\n", units.size());
    std::printf("writes received:         %d\n", written);
    std::printf("units written twice:     %d\n", writtenTwice);
    std::printf("units not written:       %d (the last ones may still have been waiting)\n", unwritten);
    std::printf("records:                 %d\n", recordCount);
    std::printf("exit status:             %d\n", station.exitCode());
    return writtenTwice == 0 ? 0 : 2;
}
