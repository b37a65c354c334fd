// zorbelmeter-sim: a simulated instrument on a pseudo-terminal, for trying the loader
// without hardware. Prints the device path to use on a line of its own, then plays the
// instrument until SIGINT or SIGTERM. Events go to standard error.

#include "simulatedinstrument.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kUsageError = 2;
constexpr int kSetupError = 1;
constexpr int kMaxByteValue = 255;
constexpr int kMaxBaudRate = 4000000;

std::array<int, 2> g_signalPipe = {-1, -1}; // read end, write end

void onSignal(int /*signalNumber*/)
{
    const char token = 0;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &token, 1);
}

// A byte given as one character ("x") or as a number (120, 0x78).
bool parseByte(const QString &text, int &value)
{
    if (text.size() == 1 && !text.at(0).isDigit()) {
        value = text.at(0).unicode();
        return value > 0 && value <= kMaxByteValue;
    }
    bool ok = false;
    value = text.toInt(&ok, 0);
    return ok && value >= 0 && value <= kMaxByteValue;
}

bool parseInt(const QString &text, int min, int max, int &value)
{
    bool ok = false;
    value = text.toInt(&ok, 0);
    return ok && value >= min && value <= max;
}

void printEvent(const QString &text)
{
    std::fprintf(stderr, "zorbelmeter-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

void printErrors(const QStringList &errors)
{
    for (const QString &error : errors)
        std::fprintf(stderr, "zorbelmeter-sim: %s\n", qPrintable(error));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorbelmeter-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated instrument on a pseudo-terminal. Prints the device path to use, e.g.\n"
        "ZORBEL_PORTS=COM1=<path> for the loader, and runs until interrupted."));
    parser.addHelpOption();
    const QCommandLineOption letterOption(QStringLiteral("letter"),
                                          QStringLiteral("Identification letter of the version reply (default Z)."),
                                          QStringLiteral("L"), QStringLiteral("Z"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Firmware version byte, 0-255 (default 123)."),
                                           QStringLiteral("V"), QStringLiteral("123"));
    const QCommandLineOption lengthOption(QStringLiteral("reply-length"),
                                          QStringLiteral("Bytes of the version reply, 0-3 (default 2)."),
                                          QStringLiteral("N"), QStringLiteral("2"));
    const QCommandLineOption silentOption(QStringLiteral("silent"),
                                          QStringLiteral("Do not answer the version query."));
    const QCommandLineOption strayOption(QStringLiteral("stray-byte"),
                                         QStringLiteral("Send byte X (a character or a number) before a request."),
                                         QStringLiteral("X"));
    const QCommandLineOption strayBeforeOption(QStringLiteral("stray-before"),
                                               QStringLiteral("The request (1 = first) the stray byte precedes (default 1)."),
                                               QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption stallOption(QStringLiteral("stall-after"),
                                         QStringLiteral("Stop requesting blocks after N blocks."), QStringLiteral("N"));
    const QCommandLineOption hangUpOption(QStringLiteral("hangup-after"),
                                          QStringLiteral("Hang the line up after N blocks."), QStringLiteral("N"));
    const QCommandLineOption receiveStopOption(QStringLiteral("receive-stop-after"),
                                               QStringLiteral("Stop taking bytes from the line after N blocks, "
                                                              "yet ask for the next block."),
                                               QStringLiteral("N"));
    const QCommandLineOption noiseOption(QStringLiteral("noise"),
                                         QStringLiteral("Send N bytes of line noise after the write command."),
                                         QStringLiteral("N"));
    const QCommandLineOption baudOption(QStringLiteral("baud"),
                                        QStringLiteral("Pace the line at B bit/s (default: unpaced)."),
                                        QStringLiteral("B"));
    const QCommandLineOption delayOption(QStringLiteral("flash-delay-ms"),
                                         QStringLiteral("Time to write one block to the flash."), QStringLiteral("M"));
    const QCommandLineOption babbleOption(QStringLiteral("babble"),
                                          QStringLiteral("After the version reply, keep sending a status text "
                                                         "while no transfer runs."));
    const QCommandLineOption dumpOption(QStringLiteral("dump"),
                                        QStringLiteral("Write the flash (65536 bytes) to FILE after each transfer."),
                                        QStringLiteral("FILE"));
    parser.addOptions({letterOption, versionOption, lengthOption, silentOption, strayOption, strayBeforeOption,
                       stallOption, hangUpOption, receiveStopOption, noiseOption, baudOption, delayOption, babbleOption,
                       dumpOption});
    parser.process(app);

    SimulatedInstrument::Config config;
    QStringList errors;
    const QString letter = parser.value(letterOption);
    if (letter.size() != 1 || letter.at(0).unicode() > kMaxByteValue)
        errors << QStringLiteral("--letter takes one character");
    else
        config.letter = letter.at(0).toLatin1();
    int value = 0;
    if (!parseInt(parser.value(versionOption), 0, kMaxByteValue, value))
        errors << QStringLiteral("--version takes 0 to 255");
    config.version = static_cast<quint8>(value);
    if (!parseInt(parser.value(lengthOption), 0, SimulatedInstrument::kMaxReplyLength, config.replyLength))
        errors << QStringLiteral("--reply-length takes 0 to 3");
    if (parser.isSet(silentOption))
        config.replyLength = 0;
    if (parser.isSet(strayOption) && !parseByte(parser.value(strayOption), config.strayByte))
        errors << QStringLiteral("--stray-byte takes a character or a number 0 to 255");
    if (!parseInt(parser.value(strayBeforeOption), 1, INT_MAX, config.strayBeforeRequest))
        errors << QStringLiteral("--stray-before takes a number from 1");
    if (parser.isSet(stallOption) && !parseInt(parser.value(stallOption), 0, INT_MAX, config.stallAfterBlocks))
        errors << QStringLiteral("--stall-after takes a number from 0");
    if (parser.isSet(hangUpOption) && !parseInt(parser.value(hangUpOption), 0, INT_MAX, config.hangUpAfterBlocks))
        errors << QStringLiteral("--hangup-after takes a number from 0");
    if (parser.isSet(receiveStopOption)
        && !parseInt(parser.value(receiveStopOption), 0, INT_MAX, config.receiveStopAfterBlocks))
        errors << QStringLiteral("--receive-stop-after takes a number from 0");
    if (parser.isSet(noiseOption) && !parseInt(parser.value(noiseOption), 0, INT_MAX, config.noiseBytes))
        errors << QStringLiteral("--noise takes a number from 0");
    if (parser.isSet(baudOption) && !parseInt(parser.value(baudOption), 1, kMaxBaudRate, config.baudRate))
        errors << QStringLiteral("--baud takes a rate in bit/s");
    if (parser.isSet(delayOption) && !parseInt(parser.value(delayOption), 0, INT_MAX, config.flashWriteDelayMs))
        errors << QStringLiteral("--flash-delay-ms takes a number from 0");
    config.babble = parser.isSet(babbleOption);
    config.dumpPath = parser.value(dumpOption);
    if (!errors.isEmpty()) {
        printErrors(errors);
        return kUsageError;
    }

    if (::pipe(g_signalPipe.data()) != 0) {
        std::perror("zorbelmeter-sim: pipe");
        return kSetupError;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    int result = 0;
    {
        SimulatedInstrument instrument(config);
        if (!instrument.isValid()) {
            std::fprintf(stderr, "zorbelmeter-sim: %s\n", qPrintable(instrument.errorString()));
            return kSetupError;
        }
        instrument.setEventHandler(printEvent);
        std::printf("%s\n", qPrintable(instrument.devicePath()));
        std::fflush(stdout);
        printEvent(QStringLiteral("ready; for the loader: ZORBEL_PORTS=%1").arg(instrument.portMapEntry(QStringLiteral("COM1"))));
        result = QCoreApplication::exec();
        printEvent(QStringLiteral("stopping"));
    }
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return result;
}
