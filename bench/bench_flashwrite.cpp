// Flash transfer of a full image to the simulated instrument paced at 19200 bit/s: the
// loader's writer side by side with a minimal reference sender, in the same run.
//
//   bench_flashwrite [rounds]
//
// The reference sender is plain POSIX: one blocking read per byte from the instrument,
// one 66-byte write per request. Both talk to a simulated instrument of their own on a
// pseudo-terminal, one after the other, and the rounds alternate between them. Printed:
// the loader's time over the reference's, the per-block turnaround (request on the line
// to the first byte of the answer arriving) as median and 95th percentile for both, and
// the loader's processor time over its wall time.

#include "flashwriter.h"
#include "instrumentprotocol.h"
#include "modem.h"
#include "simulatedinstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPacedBaud = 19200;
constexpr int kFullImageEnd = kImageEndLimit;
constexpr int kTransferLimitMs = 120000;
constexpr int kEndWaitMs = 10000;
constexpr double kMedian = 0.5;
constexpr double kPercentile95 = 0.95;
constexpr double kMicrosPerMilli = 1000.0;

FlashImage benchImage()
{
    FlashImage image;
    for (int i = 0; i < kFlashImageSize; ++i)
        image[static_cast<std::size_t>(i)] = (i * 31 + 7) & 0xFF;
    return image;
}

// Processor time of the calling thread alone (the simulated instrument has its own).
double threadProcessorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run
{
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    QList<qint64> turnaroundsUs;
};

SimulatedInstrument::Config pacedInstrument()
{
    SimulatedInstrument::Config config;
    config.baudRate = kPacedBaud;
    return config;
}

bool writeAll(int fd, const char *data, int count)
{
    while (count > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(count));
        if (written <= 0)
            return false;
        data += written;
        count -= static_cast<int>(written);
    }
    return true;
}

// The smallest sender that keeps to the protocol: no time-outs, no checks, no events.
Run referenceTransfer(const FlashImage &image)
{
    Run run;
    SimulatedInstrument instrument(pacedInstrument());
    const int fd = ::open(instrument.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return run;
    termios line{};
    ::tcgetattr(fd, &line);
    ::cfmakeraw(&line);
    ::cfsetspeed(&line, B19200);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &line);

    const double cpuStart = threadProcessorSeconds();
    QElapsedTimer wall;
    wall.start();
    bool ok = writeAll(fd, InstrumentProtocol::kWriteCommand, 8);
    for (int address = 0; ok && address <= kFullImageEnd;) {
        char byte = 0;
        if (::read(fd, &byte, 1) != 1) {
            ok = false;
            break;
        }
        if (byte != InstrumentProtocol::kBlockRequest)
            continue;
        std::array<char, InstrumentProtocol::kAddressBytes + InstrumentProtocol::kBlockBytes> block{};
        block[0] = static_cast<char>(address & 0xFF);
        block[1] = static_cast<char>((address >> 8) & 0xFF);
        for (int i = 0; i < InstrumentProtocol::kBlockBytes; ++i)
            block[static_cast<std::size_t>(2 + i)] = static_cast<char>(image[static_cast<std::size_t>(address + i)]);
        ok = writeAll(fd, block.data(), static_cast<int>(block.size()));
        address += InstrumentProtocol::kBlockBytes;
    }
    const char end[2] = {static_cast<char>(0xFF), static_cast<char>(0xFF)};
    ok = ok && writeAll(fd, end, 2);
    run.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    run.cpuSeconds = threadProcessorSeconds() - cpuStart;
    run.ok = ok && instrument.waitForTransferEnd(kEndWaitMs);
    run.turnaroundsUs = instrument.turnaroundsUs();
    ::close(fd);
    return run;
}

Run loaderTransfer(const FlashImage &image)
{
    Run run;
    SimulatedInstrument instrument(pacedInstrument());
    Modem modem;
    modem.setBaudRate(kPacedBaud);
    if (modem.openDevice(instrument.devicePath()) != Modem::OpenResult::Opened)
        return run;

    FlashWriter writer(modem, LoadedImage(image, kFullImageEnd));
    QEventLoop loop;
    QObject::connect(&writer, &FlashWriter::finished, &loop, &QEventLoop::quit);
    // The window shows every step; so does this, at the same place.
    int shown = 0;
    QObject::connect(&writer, &FlashWriter::progress, [&shown](int acks, int) { shown = acks; });

    const double cpuStart = threadProcessorSeconds();
    QElapsedTimer wall;
    wall.start();
    writer.start();
    if (writer.state() != FlashWriter::State::Finished) {
        QTimer::singleShot(kTransferLimitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    run.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    run.cpuSeconds = threadProcessorSeconds() - cpuStart;
    run.ok = writer.outcome() == FlashWriter::Outcome::Written && shown == writer.blockTotal()
             && instrument.waitForTransferEnd(kEndWaitMs);
    run.turnaroundsUs = instrument.turnaroundsUs();
    modem.closeTty();
    return run;
}

double quantileMs(QList<qint64> values, double q)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<qsizetype>(q * double(values.size() - 1));
    return double(values.at(index)) / kMicrosPerMilli;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 1;
    const FlashImage image = benchImage();

    double loaderWall = 0;
    double referenceWall = 0;
    double loaderCpu = 0;
    QList<qint64> loaderTurns;
    QList<qint64> referenceTurns;
    for (int round = 0; round < rounds; ++round) {
        const Run reference = referenceTransfer(image);
        const Run loader = loaderTransfer(image);
        if (!reference.ok || !loader.ok) {
            std::fprintf(stderr, "a transfer failed (reference %d, loader %d)\n", reference.ok, loader.ok);
            return 1;
        }
        std::printf("round %d: reference %.3f s, loader %.3f s\n", round + 1, reference.wallSeconds,
                    loader.wallSeconds);
        referenceWall += reference.wallSeconds;
        loaderWall += loader.wallSeconds;
        loaderCpu += loader.cpuSeconds;
        referenceTurns += reference.turnaroundsUs;
        loaderTurns += loader.turnaroundsUs;
    }

    std::printf("full image (%d blocks) paced at %d bit/s, %d round(s)\n",
                LoadedImage::blockCountFor(kFullImageEnd), kPacedBaud, rounds);
    std::printf("  loader / reference time = %.4f (target <= 1.005)\n", loaderWall / referenceWall);
    std::printf("  turnaround, reference   : median %.3f ms, 95th percentile %.3f ms\n",
                quantileMs(referenceTurns, kMedian), quantileMs(referenceTurns, kPercentile95));
    std::printf("  turnaround, loader      : median %.3f ms, 95th percentile %.3f ms (target median <= 0.25)\n",
                quantileMs(loaderTurns, kMedian), quantileMs(loaderTurns, kPercentile95));
    std::printf("  loader cpu / wall       = %.4f (target <= 0.05)\n", loaderCpu / loaderWall);
    return 0;
}
