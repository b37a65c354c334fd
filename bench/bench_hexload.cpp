// Times HexLoader::loadFile on a full 64512-byte image file and on a file of
// about 7 MB (the same window written forty times over), and, in the same run,
// srec_cat converting the same files to binary; prints the median times and
// their ratios. Then measures the loader's peak memory on two files of 60 MB:
// the window's records written over and over, and the same records on one
// line without a single line break. Each is loaded in a process of its own,
// which reports how far its peak resident set rose above where it stood just
// before the load.
//
// Usage: bench_hexload [Google Benchmark flags]
//        bench_hexload --peak-memory FILE   (the measuring process)

#include "flashimage.h"
#include "hexfile.h"
#include "hexloader.h"
#include "medianreporter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kWindowSize = kImageEndLimit + 1;   // bytes: the largest suitable image
constexpr int kBigFileCopies = 40;                // windows in the large file (about 7 MB)
constexpr int kRecordTypeEndOfFile = 0x01;
constexpr unsigned kRandomSeed = 20240601;        // fixed, so every run times the same files
constexpr int kDefaultRepetitions = 15;           // medians over this many repetitions
constexpr const char* kSrecCatName = "srec_cat";
constexpr qint64 kMemoryFileBytes = 60'000'000;   // size of the peak-memory files
constexpr const char* kPeakMemoryFlag = "--peak-memory";
constexpr const char* kSelfPath = "/proc/self/exe";  // this program, for the measuring process

using Window = QByteArray; // the firmware bytes from address 0

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// srec_cat converting `input` to a binary file `output`; its messages are dropped.
bool runSrecCat(const std::string& srecCat, const std::string& input, const std::string& output)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> actionsGuard(
        &actions, posix_spawn_file_actions_destroy);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // The large file repeats addresses with the same values and goes back to
    // address 0; neither is an error, so neither should cost extra output.
    std::vector<std::string> args = {srecCat, "-redundant-bytes=ignore", "-disable-sequence-warnings",
                                     input, "-Intel", "-o", output, "-Binary"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, srecCat.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool loaderGivesWindow(const QString& path, const Window& window)
{
    LoadedImage image;
    if (HexLoader::loadFile(path, image) != HexLoadResult::Suitable || image.end() != kImageEndLimit)
        return false;
    for (int address = 0; address < kWindowSize; ++address) {
        if (image.bytes()[address] != quint8(window[address]))
            return false;
    }
    return true;
}

bool srecCatGivesWindow(const std::string& srecCat, const QString& input, const QString& output, const Window& window)
{
    if (!runSrecCat(srecCat, input.toStdString(), output.toStdString()))
        return false;
    QFile file(output);
    return file.open(QIODevice::ReadOnly)
        && file.readAll() == window;
}

void benchLoader(benchmark::State& state, const QString& path, qint64 fileSize)
{
    LoadedImage image;
    for (auto _ : state) {
        const HexLoadResult result = HexLoader::loadFile(path, image);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * fileSize);
}

void benchSrecCat(benchmark::State& state, const std::string& srecCat, const std::string& input,
                  const std::string& output, qint64 fileSize)
{
    for (auto _ : state) {
        if (!runSrecCat(srecCat, input, output)) {
            state.SkipWithError("srec_cat failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * fileSize);
}

struct BenchFile {
    std::string label;
    QString path;
    qint64 size;
};

void printRatio(const MedianReporter& reporter, const BenchFile& file)
{
    const double loader = reporter.medianSeconds("HexLoader/" + file.label);
    const double srecCat = reporter.medianSeconds(std::string(kSrecCatName) + '/' + file.label);
    std::printf("  %-5s %9lld bytes   HexLoader %9.3f ms", file.label.c_str(), static_cast<long long>(file.size),
                loader * 1e3);
    if (loader > 0 && srecCat > 0)
        std::printf("   srec_cat %9.3f ms   ratio %.3f\n", srecCat * 1e3, loader / srecCat);
    else
        std::printf("   srec_cat not measured\n");
}

// A "Vm...:   1234 kB" line of /proc/self/status, in kB, or -1.
long statusKiloBytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The measuring process: loads path once and prints
// "<result> <peak rise kB> <resident kB before> <ms>".
int measurePeakMemory(const char* path)
{
    LoadedImage image;
    const QString file = QString::fromLocal8Bit(path);
    // Start the peak over from what the process holds now (Linux 4.0 and later).
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
    clearRefs.close();
    const long before = statusKiloBytes("VmRSS");
    QElapsedTimer clock;
    clock.start();
    const HexLoadResult result = HexLoader::loadFile(file, image);
    const qint64 ms = clock.elapsed();
    const long peak = statusKiloBytes("VmHWM");
    if (!peakReset || before < 0 || peak < 0)
        return 1;
    std::printf("%d %ld %ld %lld\n", int(result), peak - before, before, static_cast<long long>(ms));
    return 0;
}

// Runs this program as the measuring process on path and returns its line.
QByteArray runMeasuringProcess(const std::string& self, const std::string& path, const QString& outputPath)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return {};
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> actionsGuard(
        &actions, posix_spawn_file_actions_destroy);
    const QByteArray output = QFile::encodeName(outputPath);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {self, kPeakMemoryFlag, path};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    QFile file(outputPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// text written over and over until the file holds at least bytes bytes, then tail.
bool writeRepeated(const QString& path, const QByteArray& text, qint64 bytes, const QByteArray& tail)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (qint64 written = 0; written < bytes; written += text.size()) {
        if (file.write(text) != text.size())
            return false;
    }
    return file.write(tail) == tail.size();
}

const char* resultName(int result)
{
    switch (HexLoadResult(result)) {
    case HexLoadResult::Suitable: return "Suitable";
    case HexLoadResult::Unsuitable: return "Unsuitable";
    case HexLoadResult::Refused: return "Refused";
    case HexLoadResult::Malformed: return "Malformed";
    case HexLoadResult::CutOff: return "CutOff";
    case HexLoadResult::NoData: return "NoData";
    case HexLoadResult::TooLarge: return "TooLarge";
    case HexLoadResult::Unreadable: return "Unreadable";
    }
    return "?";
}

void printPeakMemory(const std::string& self, const QTemporaryDir& dir, const Window& window)
{
    // The records repeated, the end-of-file record once at the end.
    const QByteArray endOfFile = HexFile::record(kRecordTypeEndOfFile, 0, {}) + "\r\n";
    QByteArray records = HexFile::hexText(window);
    records.chop(endOfFile.size());
    struct MemoryFile {
        const char* label;
        QByteArray text;
        QByteArray tail;
    };
    const MemoryFile files[] = {
        {"60 MB of records", records, endOfFile},
        {"60 MB on one line", QByteArray(records).replace("\r\n", ""), QByteArray()},
    };
    std::printf("\nPeak memory of HexLoader::loadFile, each in a process of its own (rise of the peak resident set "
                "over the process's own before the load):\n");
    const QString outputPath = dir.filePath(QStringLiteral("peak.txt"));
    for (const MemoryFile& file : files) {
        const QString path = dir.filePath(QStringLiteral("memory.hex"));
        if (!writeRepeated(path, file.text, kMemoryFileBytes, file.tail)) {
            std::printf("  %-18s cannot write the file\n", file.label);
            continue;
        }
        const QList<QByteArray> fields = runMeasuringProcess(self, path.toStdString(), outputPath).split(' ');
        if (fields.size() != 4) {
            std::printf("  %-18s not measured (needs /proc/self/clear_refs)\n", file.label);
            continue;
        }
        std::printf("  %-18s %10lld bytes   peak +%6ld kB (resident before %ld kB)   %s in %lld ms\n", file.label,
                    static_cast<long long>(QFileInfo(path).size()), fields[1].toLong(), fields[2].toLong(),
                    resultName(fields[0].toInt()), fields[3].toLongLong());
        QFile::remove(path);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == kPeakMemoryFlag)
        return measurePeakMemory(argv[2]);

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const Window window = HexFile::firmware(kWindowSize, kRandomSeed);
    const QByteArray fullText = HexFile::hexText(window);
    const QByteArray bigText = HexFile::hexText(window, kBigFileCopies);
    const std::vector<BenchFile> files = {
        {"full", dir.filePath(QStringLiteral("full.hex")), fullText.size()},
        {"7MB", dir.filePath(QStringLiteral("big.hex")), bigText.size()},
    };
    const QString oneBytePath = dir.filePath(QStringLiteral("one-byte.hex"));
    const QString outputPath = dir.filePath(QStringLiteral("out.bin"));
    if (!writeFile(files[0].path, fullText) || !writeFile(files[1].path, bigText)
        || !writeFile(oneBytePath, HexFile::hexText(Window(1, '\0')))) {
        std::fprintf(stderr, "cannot write the benchmark files\n");
        return 1;
    }

    // Both sides must turn each file into the same 64512 bytes before their times compare.
    const std::string srecCat = QStandardPaths::findExecutable(QString::fromLatin1(kSrecCatName)).toStdString();
    if (srecCat.empty())
        std::fprintf(stderr, "srec_cat not found (Debian package srecord): timing the loader alone\n");
    for (const BenchFile& file : files) {
        if (!loaderGivesWindow(file.path, window)) {
            std::fprintf(stderr, "HexLoader did not load %s as expected\n", file.label.c_str());
            return 1;
        }
        if (!srecCat.empty() && !srecCatGivesWindow(srecCat, file.path, outputPath, window)) {
            std::fprintf(stderr, "srec_cat did not convert %s as expected\n", file.label.c_str());
            return 1;
        }
    }

    for (const BenchFile& file : files) {
        benchmark::RegisterBenchmark(("HexLoader/" + file.label).c_str(), benchLoader, file.path, file.size)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        if (!srecCat.empty()) {
            benchmark::RegisterBenchmark((std::string(kSrecCatName) + '/' + file.label).c_str(), benchSrecCat, srecCat,
                                         file.path.toStdString(), outputPath.toStdString(), file.size)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    if (!srecCat.empty()) {
        // Mostly process start and exit: a file with a single data byte.
        benchmark::RegisterBenchmark((std::string(kSrecCatName) + "/start-up").c_str(), benchSrecCat, srecCat,
                                     oneBytePath.toStdString(), outputPath.toStdString(), qint64(0))
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }

    // Medians need repetitions; interleaving them spreads changes in machine
    // load over all benchmarks alike. Flags given on the command line come
    // later and win.
    std::string repetitions = "--benchmark_repetitions=" + std::to_string(kDefaultRepetitions);
    std::string aggregatesOnly = "--benchmark_report_aggregates_only=true";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args = {argv[0], repetitions.data(), aggregatesOnly.data(), interleaving.data()};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    int argCount = int(args.size());
    benchmark::Initialize(&argCount, args.data());
    if (benchmark::ReportUnrecognizedArguments(argCount, args.data()))
        return 1;

    MedianReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nMedian real times and HexLoader / srec_cat, measured in this run:\n");
    for (const BenchFile& file : files)
        printRatio(reporter, file);
    const double startUp = reporter.medianSeconds(std::string(kSrecCatName) + "/start-up");
    if (startUp > 0)
        std::printf("  srec_cat start-up (one data byte): %.3f ms\n", startUp * 1e3);

    printPeakMemory(kSelfPath, dir, window);
    return 0;
}
