// Flash transfer of a full image to the simulated instrument, running as a separate
// process so that the loader's own processor time can be measured.
//
//   bench_flashwrite <path to zorbelmeter-sim>
//
// Prints, for a line paced at 19200 bit/s: the wall time over the line-rate bound and the
// loader's processor time over the wall time; unpaced: blocks per second.

#include "flashwriter.h"
#include "instrumentprotocol.h"
#include "modem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>

namespace {

constexpr int kPacedBaud = 19200;
constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr int kFullImageEnd = kImageEndLimit;
constexpr int kSimStartTimeoutMs = 10000;

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run
{
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    int blocks = 0;
};

Run transfer(const QString &simPath, int baud)
{
    Run run;
    QProcess sim;
    QStringList args{QStringLiteral("--version"), QStringLiteral("123")};
    if (baud > 0)
        args << QStringLiteral("--baud") << QString::number(baud);
    sim.start(simPath, args);
    if (!sim.waitForStarted(kSimStartTimeoutMs) || !sim.waitForReadyRead(kSimStartTimeoutMs)) {
        std::fprintf(stderr, "simulator did not start\n");
        return run;
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    qputenv("ZORBEL_PORTS", QStringLiteral("COM1=%1").arg(device).toUtf8());

    Modem modem;
    modem.setBaudRate(kPacedBaud);
    if (!modem.openTty(QStringLiteral("COM1"))) {
        std::fprintf(stderr, "could not open %s\n", qPrintable(device));
        return run;
    }

    FlashImage image;
    for (int i = 0; i < kFlashImageSize; ++i)
        image[static_cast<std::size_t>(i)] = (i * 31 + 7) & 0xFF;
    FlashWriter writer(modem, image, kFullImageEnd);
    // The window processes its events on every request and while waiting; so does this.
    QObject::connect(&writer, &FlashWriter::progress, [] { QCoreApplication::processEvents(); });
    QObject::connect(&writer, &FlashWriter::waiting, [] { QCoreApplication::processEvents(); });

    const double cpuStart = processorSeconds();
    QElapsedTimer wall;
    wall.start();
    writer.sendCommand();
    const FlashWriter::Outcome outcome = writer.transferBlocks();
    run.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    run.cpuSeconds = processorSeconds() - cpuStart;
    run.blocks = writer.blocksSent();
    run.ok = outcome == FlashWriter::Outcome::Written;

    modem.closeTty();
    sim.terminate();
    sim.waitForFinished(kSimStartTimeoutMs);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <zorbelmeter-sim>\n", argv[0]);
        return 2;
    }
    const QString simPath = QString::fromLocal8Bit(argv[1]);
    const int blocks = FlashWriter::blockTotalFor(kFullImageEnd);
    const double lineBytes = double(blocks) * (InstrumentProtocol::kAddressBytes
                                               + InstrumentProtocol::kBlockBytes + 1)
                             + 10; // command and end marker
    const double boundSeconds = lineBytes * kBitsPerByte / kPacedBaud;

    const Run paced = transfer(simPath, kPacedBaud);
    const Run unpaced = transfer(simPath, 0);
    if (!paced.ok || !unpaced.ok) {
        std::fprintf(stderr, "a transfer failed\n");
        return 1;
    }
    std::printf("paced at %d bit/s: %d blocks in %.2f s; line-rate bound %.2f s\n", kPacedBaud,
                paced.blocks, paced.wallSeconds, boundSeconds);
    std::printf("  wall / bound        = %.4f (target <= 1.02)\n", paced.wallSeconds / boundSeconds);
    std::printf("  loader cpu / wall   = %.4f (target <= 0.05)\n", paced.cpuSeconds / paced.wallSeconds);
    std::printf("unpaced: %d blocks in %.3f s = %.0f blocks/s, loader cpu / wall = %.3f\n",
                unpaced.blocks, unpaced.wallSeconds, unpaced.blocks / unpaced.wallSeconds,
                unpaced.cpuSeconds / unpaced.wallSeconds);
    return 0;
}
