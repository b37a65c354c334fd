// zorbelflash's station mode on a production line, the real program against simulated
// instruments: eight sockets on bench adapters that stay plugged in, each unit
// restarting after its write as a real one does (deaf for a second, then answering its
// new firmware). An operator per socket takes a unit out once the station has said how
// its write ended and puts the next one in; a share of the units is pulled early instead,
// mid-write or right after the end mark, before its restart. Every swap leaves the socket
// empty for a moment, as hands do. A unit the station names for a check is taken out
// and put back, as an operator who reads the message does. At the end the program is ended with SIGTERM and the
// writes each unit received are counted: every unit that stayed in its socket must have
// received exactly one, none two, and none may stand unwritten in its socket.
//
//   bench_station [seconds] [share pulled early, percent]     (default 120 and 30)

#include "benchadapter.h"
#include "hexfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kSockets = 8;
constexpr int kFirmwareBytes = 16384;  // 256 blocks
constexpr int kBaudRate = 57600;       // about 3 s a write
constexpr int kRestartMs = 1000;
constexpr int kOldVersion = 123;
constexpr int kNewVersion = 124;
constexpr int kDefaultSeconds = 120;
constexpr int kDefaultEarlyPercent = 30;
constexpr int kTickMs = 20;
constexpr int kSwapGapMs = 2500;       // the socket empty between two units
constexpr int kReadMs = 200;           // from the station's verdict to the hands
constexpr int kUnwrittenAfterMs = 8000; // a unit in its socket this long without a write
constexpr int kEndWaitMs = 60000;

enum class Operator { Waits, PullsMidWrite, PullsBeforeRestart };

struct Socket
{
    std::unique_ptr<BenchAdapter> adapter;
    Operator hands = Operator::Waits;
    QElapsedTimer since;   // plugged, or emptied
    QElapsedTimer ended;   // the current unit's end mark came
    QElapsedTimer verdict; // the station said how the current unit's write ended
    bool empty = false;
    int putBack = -1;      // the unit to put back in (named for a check); -1: the next one
};

SimulatedInstrument::Config unit()
{
    SimulatedInstrument::Config config;
    config.version = kOldVersion;
    config.versionAfterWrite = kNewVersion;
    config.restartMs = kRestartMs;
    config.baudRate = kBaudRate;
    return config;
}

Operator draw(int earlyPercent)
{
    const int roll = static_cast<int>(QRandomGenerator::global()->bounded(100));
    if (roll >= earlyPercent)
        return Operator::Waits;
    return roll % 2 == 0 ? Operator::PullsMidWrite : Operator::PullsBeforeRestart;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int seconds = arguments.size() > 1 ? arguments.at(1).toInt() : kDefaultSeconds;
    const int earlyPercent = arguments.size() > 2 ? arguments.at(2).toInt() : kDefaultEarlyPercent;
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    if (!dir.isValid() || !hex.open(QIODevice::WriteOnly))
        return 1;
    hex.write(HexFile::hexText(HexFile::firmware(kFirmwareBytes, 7)));
    hex.close();

    std::vector<Socket> sockets(kSockets);
    QStringList map;
    int pulledMidWrite = 0;
    int pulledBeforeRestart = 0;
    for (int i = 0; i < kSockets; ++i) {
        Socket &socket = sockets[static_cast<size_t>(i)];
        socket.adapter = std::make_unique<BenchAdapter>();
        const QString link = dir.filePath(QStringLiteral("socket%1").arg(i + 1));
        if (!socket.adapter->isValid() || !QFile::link(socket.adapter->devicePath(), link))
            return 1;
        map.append(QStringLiteral("COM%1=%2").arg(i + 1).arg(link));
        socket.adapter->plug(unit());
        socket.hands = draw(earlyPercent);
        socket.since.start();
    }

    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), map.join(QLatin1Char(',')));
    station.setProcessEnvironment(env);
    station.setStandardOutputFile(dir.filePath(QStringLiteral("records.jsonl")));
    station.setStandardErrorFile(dir.filePath(QStringLiteral("messages.txt")));
    station.start(QStringLiteral(ZORBELFLASH_PATH),
                  {QStringLiteral("write"), hexPath, QStringLiteral("--watch"), QStringLiteral("--expect-version"),
                   QStringLiteral("1.24"), QStringLiteral("--json")});
    if (!station.waitForStarted())
        return 1;

    QFile messages(dir.filePath(QStringLiteral("messages.txt")));
    QByteArray unread;
    int checks = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < static_cast<qint64>(seconds) * 1000) {
        QThread::msleep(kTickMs);
        // "COM3: written twice, still answers V1.23: check the unit"
        if (messages.isOpen() || messages.open(QIODevice::ReadOnly))
            unread += messages.readAll();
        while (unread.contains('\n')) {
            const qsizetype end = unread.indexOf('\n');
            const QByteArray line = unread.left(end);
            unread.remove(0, end + 1);
            const int index = line.startsWith("COM") ? line.mid(3, line.indexOf(':') - 3).toInt() - 1 : -1;
            if (index < 0 || index >= kSockets || sockets[static_cast<size_t>(index)].empty)
                continue;
            Socket &socket = sockets[static_cast<size_t>(index)];
            const QByteArray said = line.mid(line.indexOf(':') + 2);
            if (said.startsWith("written,") || said.startsWith("incomplete")
                || said.startsWith("not written")) {
                // The verdict on the unit before it (pulled before its restart) is not its own.
                if (socket.adapter->writes(socket.adapter->current()) > 0)
                    socket.verdict.start();
                continue;
            }
            if (!said.startsWith("written twice"))
                continue;
            ++checks;
            socket.putBack = socket.adapter->current();
            socket.adapter->pull();
            socket.empty = true;
            socket.since.start();
        }
        for (Socket &socket : sockets) {
            BenchAdapter &adapter = *socket.adapter;
            if (socket.empty) {
                if (socket.since.elapsed() >= kSwapGapMs) {
                    adapter.plug(unit(), socket.putBack);
                    socket.putBack = -1;
                    socket.hands = draw(earlyPercent);
                    socket.empty = false;
                    socket.ended.invalidate();
                    socket.verdict.invalidate();
                    socket.since.start();
                }
                continue;
            }
            const int blocks = static_cast<int>(adapter.line().blockAddresses().size());
            const bool writing = adapter.writes(adapter.current()) > 0 && adapter.endsOfCurrent() == 0;
            if (adapter.endsOfCurrent() > 0 && !socket.ended.isValid())
                socket.ended.start();
            bool pull = false;
            switch (socket.hands) {
            case Operator::Waits:
                pull = socket.verdict.isValid() && socket.verdict.elapsed() >= kReadMs;
                break;
            case Operator::PullsMidWrite:
                pull = writing && blocks >= kFirmwareBytes / SimulatedInstrument::kBlockSize / 2;
                pulledMidWrite += pull ? 1 : 0;
                break;
            case Operator::PullsBeforeRestart:
                pull = socket.ended.isValid();
                pulledBeforeRestart += pull ? 1 : 0;
                break;
            }
            if (pull) {
                adapter.pull();
                socket.empty = true;
                socket.since.start();
            }
        }
    }
    ::kill(static_cast<pid_t>(station.processId()), SIGTERM);
    station.waitForFinished(kEndWaitMs);

    int units = 0;
    int writes = 0;
    int writtenTwice = 0;
    int unwritten = 0;
    for (const Socket &socket : sockets) {
        const BenchAdapter &adapter = *socket.adapter;
        for (int i = 0; i < adapter.units(); ++i) {
            ++units;
            writes += adapter.writes(i);
            writtenTwice += adapter.writes(i) > 1 ? 1 : 0;
            // Units taken out were all written (or being written); the one in the socket
            // must have been written within its time.
            const bool standing = i == adapter.current() && socket.since.elapsed() >= kUnwrittenAfterMs;
            unwritten += adapter.writes(i) == 0 && (i != adapter.current() || standing) ? 1 : 0;
        }
    }
    QFile records(dir.filePath(QStringLiteral("records.jsonl")));
    records.open(QIODevice::ReadOnly);
    QMap<QString, int> outcomes;
    for (const QByteArray &line : records.readAll().split('\n')) {
        if (!line.isEmpty())
            ++outcomes[QJsonDocument::fromJson(line).object().value(QStringLiteral("outcome")).toString()];
    }
    std::printf("station mode, %d sockets on bench adapters, %d s, %d %% of the units pulled early, restart %d ms\n",
                kSockets, seconds, earlyPercent, kRestartMs);
    std::printf("units plugged in:              %d\n", units);
    std::printf("pulled mid-write:              %d\n", pulledMidWrite);
    std::printf("pulled before their restart:   %d\n", pulledBeforeRestart);
    std::printf("writes received:               %d\n", writes);
    std::printf("named for a check, put back:   %d\n", checks);
    std::printf("units written twice:           %d\n", writtenTwice);
    std::printf("units left unwritten:          %d\n", unwritten);
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        std::printf("records %-22s %d\n", qPrintable(it.key() + QLatin1Char(':')), it.value());
    std::printf("exit status:                   %d\n", station.exitCode());
    return writtenTwice == 0 && unwritten == 0 ? 0 : 2;
}
