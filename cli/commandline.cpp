#include "commandline.h"

#include <cmath>

namespace {

constexpr double kMillisPerSecond = 1000.0;

const QString kPortOption = QStringLiteral("--port");
const QString kLogOption = QStringLiteral("--log");
const QString kWaitOption = QStringLiteral("--wait");

// One option as written: "--name value" or "--name=value".
struct OptionText
{
    QString name;
    QString value;
    bool hasValue = false; // the value came with '='
};

OptionText splitAtEquals(const QString &argument)
{
    const qsizetype equals = argument.indexOf(QLatin1Char('='));
    if (!argument.startsWith(QStringLiteral("--")) || equals <= 0)
        return {argument, {}, false};
    return {argument.left(equals), argument.mid(equals + 1), true};
}

bool takesValue(const QString &name)
{
    return name == kPortOption || name == kLogOption || name == kWaitOption;
}

bool parseWait(const QString &text, int &waitMs)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0) || seconds > CommandLine::kMaxWaitSeconds)
        return false;
    waitMs = static_cast<int>(std::lround(seconds * kMillisPerSecond));
    return true;
}

QString commandError(const QString &text)
{
    return text + QStringLiteral("\nTry 'zorbelflash --help'.");
}

// What the arguments said, before the command is checked against its options.
struct Reading
{
    CommandLine::Options options;
    QStringList positional;
    bool portGiven = false;
    bool logGiven = false;
    bool waitGiven = false;
    bool help = false;
    bool version = false;

    bool writeOptionsGiven() const
    {
        return portGiven || options.all || options.json || logGiven || waitGiven || options.watch;
    }
};

// Takes one option into the reading; the error text, or empty.
QString takeOption(const OptionText &option, Reading &reading)
{
    const QString &name = option.name;
    if (name == QStringLiteral("-h") || name == QStringLiteral("--help")) {
        reading.help = true;
    } else if (name == QStringLiteral("--version")) {
        reading.version = true;
    } else if (name == QStringLiteral("--all")) {
        reading.options.all = true;
    } else if (name == QStringLiteral("--watch")) {
        reading.options.watch = true;
    } else if (name == QStringLiteral("--json")) {
        reading.options.json = true;
    } else if (name == kPortOption) {
        if (reading.portGiven || option.value.isEmpty())
            return QStringLiteral("--port takes one port name");
        reading.portGiven = true;
        reading.options.port = option.value;
    } else if (name == kLogOption) {
        if (reading.logGiven || option.value.isEmpty())
            return QStringLiteral("--log takes one file name");
        reading.logGiven = true;
        reading.options.logFile = option.value;
    } else if (name == kWaitOption) {
        if (!parseWait(option.value, reading.options.waitMs)) {
            return QStringLiteral("--wait takes a number of seconds from 0 to %1, not '%2'")
                .arg(CommandLine::kMaxWaitSeconds)
                .arg(option.value);
        }
        reading.waitGiven = true;
    } else {
        return QStringLiteral("unknown option %1").arg(name);
    }
    return {};
}

// Reads every argument; the error text, or empty.
QString read(const QStringList &arguments, Reading &reading)
{
    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QStringLiteral("-")) {
            reading.positional.append(argument);
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        OptionText option = splitAtEquals(argument);
        if (takesValue(option.name) && !option.hasValue) {
            if (i + 1 >= arguments.size())
                return QStringLiteral("option %1 needs a value").arg(option.name);
            option.value = arguments.at(++i);
        } else if (!takesValue(option.name) && option.hasValue) {
            return QStringLiteral("option %1 takes no value").arg(option.name);
        }
        QString error = takeOption(option, reading);
        if (!error.isEmpty())
            return error;
    }
    return {};
}

// Checks the command against its file and options; the error text, or empty.
QString settleCommand(Reading &reading)
{
    CommandLine::Options &options = reading.options;
    if (reading.positional.isEmpty())
        return QStringLiteral("no command given (check, list or write)");
    const QString command = reading.positional.takeFirst();
    if (command == QStringLiteral("list")) {
        options.command = CommandLine::Command::List;
        if (!reading.positional.isEmpty())
            return QStringLiteral("list takes no file");
        return reading.writeOptionsGiven() ? QStringLiteral("list takes no options") : QString();
    }
    if (command != QStringLiteral("check") && command != QStringLiteral("write"))
        return QStringLiteral("unknown command '%1'").arg(command);
    if (reading.positional.size() != 1)
        return QStringLiteral("%1 takes one HEX file").arg(command);
    options.file = reading.positional.first();
    if (command == QStringLiteral("check")) {
        options.command = CommandLine::Command::Check;
        return reading.writeOptionsGiven() ? QStringLiteral("check takes no options") : QString();
    }
    options.command = CommandLine::Command::Write;
    if (options.watch && reading.waitGiven)
        return QStringLiteral("--watch keeps asking until it is ended: it takes no --wait");
    return reading.portGiven && options.all ? QStringLiteral("--port and --all exclude each other") : QString();
}

} // namespace

CommandLine::Result CommandLine::parse(const QStringList &arguments)
{
    Reading reading;
    Result result;
    QString error = read(arguments, reading);
    if (error.isEmpty()) {
        if (reading.help)
            reading.options.command = Command::Help;
        else if (reading.version)
            reading.options.command = Command::Version;
        else
            error = settleCommand(reading);
    }
    result.options = reading.options;
    if (!error.isEmpty())
        result.error = commandError(error);
    return result;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: zorbelflash check FILE\n"
        "       zorbelflash list\n"
        "       zorbelflash write FILE [--port NAME | --all] [--json] [--log FILE] [--wait SECONDS]\n"
        "\n"
        "Writes Intel HEX firmware into Zorbelmeter instruments over serial ports.\n"
        "\n"
        "Commands:\n"
        "  check FILE      load and judge FILE as the loader window does; print the verdict,\n"
        "                  the end address, the block count and the SHA-256 of the block data\n"
        "  list            ask every serial port present and print what answered\n"
        "  write FILE      judge FILE, find the instrument and write FILE into its flash\n"
        "\n"
        "Options of write:\n"
        "  --port NAME     the instrument's port: a COM name (COM3; ZORBEL_PORTS applies)\n"
        "                  or a device path (/dev/ttyUSB0); default: every port present\n"
        "  --all           write every instrument that answers, all at the same time\n"
        "  --json          one JSON object per instrument on standard output (fields port,\n"
        "                  device, firmware_before, file, sha256, blocks, seconds, outcome);\n"
        "                  progress and messages go to standard error\n"
        "  --log FILE      append the same JSON objects to FILE\n"
        "  --wait SECONDS  ask the ports again for up to SECONDS until an instrument\n"
        "                  answers (default 10; 0 asks once)\n"
        "\n"
        "  -h, --help      show this text\n"
        "  --version       show the version\n"
        "\n"
        "Exit status:\n"
        "  0    every instrument written (check: the file is suitable; list: always)\n"
        "  1    usage error, or the --log file cannot be opened\n"
        "  2    the file is not suitable or cannot be read\n"
        "  3    no instrument found\n"
        "  4    write aborted: no answer from the instrument\n"
        "  5    write aborted: connection lost or line noise\n"
        "  6    the port given with --port is busy or permission is denied\n"
        "  130  interrupted (Ctrl-C or SIGTERM): the write is incomplete, write again\n"
        "With --all, the first instrument in COM order that was not written decides.\n");
}
