#include "commandline.h"

namespace {

constexpr int kMillisPerSecond = 1000;

const QString kPortOption = QStringLiteral("--port");
const QString kLogOption = QStringLiteral("--log");
const QString kWaitOption = QStringLiteral("--wait");

// Splits "--name=value" into its two halves; anything else is left whole.
void splitAtEquals(const QString &argument, QString &name, QString &value, bool &hasValue)
{
    const qsizetype equals = argument.indexOf(QLatin1Char('='));
    hasValue = argument.startsWith(QStringLiteral("--")) && equals > 0;
    name = hasValue ? argument.left(equals) : argument;
    value = hasValue ? argument.mid(equals + 1) : QString();
}

bool parseWait(const QString &text, int &waitMs)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0) || seconds > CommandLine::kMaxWaitSeconds)
        return false;
    waitMs = static_cast<int>(seconds * kMillisPerSecond + 0.5);
    return true;
}

QString commandError(const QString &text)
{
    return text + QStringLiteral("\nTry 'zorbelflash --help'.");
}

} // namespace

CommandLine::Result CommandLine::parse(const QStringList &arguments)
{
    Result result;
    Options &options = result.options;
    QStringList positional;
    bool portGiven = false;
    bool logGiven = false;
    bool waitGiven = false;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;

    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QStringLiteral("-")) {
            positional.append(argument);
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        QString name;
        QString value;
        bool hasValue = false;
        splitAtEquals(argument, name, value, hasValue);
        const bool takesValue = name == kPortOption || name == kLogOption || name == kWaitOption;
        if (takesValue && !hasValue) {
            if (i + 1 >= arguments.size()) {
                result.error = commandError(QStringLiteral("option %1 needs a value").arg(name));
                return result;
            }
            value = arguments.at(++i);
        } else if (!takesValue && hasValue) {
            result.error = commandError(QStringLiteral("option %1 takes no value").arg(name));
            return result;
        }

        if (name == QStringLiteral("-h") || name == QStringLiteral("--help")) {
            help = true;
        } else if (name == QStringLiteral("--version")) {
            version = true;
        } else if (name == QStringLiteral("--all")) {
            options.all = true;
        } else if (name == QStringLiteral("--json")) {
            options.json = true;
        } else if (name == kPortOption) {
            if (portGiven || value.isEmpty()) {
                result.error = commandError(QStringLiteral("--port takes one port name"));
                return result;
            }
            portGiven = true;
            options.port = value;
        } else if (name == kLogOption) {
            if (logGiven || value.isEmpty()) {
                result.error = commandError(QStringLiteral("--log takes one file name"));
                return result;
            }
            logGiven = true;
            options.logFile = value;
        } else if (name == kWaitOption) {
            if (!parseWait(value, options.waitMs)) {
                result.error = commandError(
                    QStringLiteral("--wait takes a number of seconds from 0 to %1, not '%2'")
                        .arg(kMaxWaitSeconds)
                        .arg(value));
                return result;
            }
            waitGiven = true;
        } else {
            result.error = commandError(QStringLiteral("unknown option %1").arg(argument));
            return result;
        }
    }

    if (help) {
        options.command = Command::Help;
        return result;
    }
    if (version) {
        options.command = Command::Version;
        return result;
    }
    if (positional.isEmpty()) {
        result.error = commandError(QStringLiteral("no command given (check, list or write)"));
        return result;
    }

    const QString command = positional.takeFirst();
    const bool writeOptions = portGiven || options.all || options.json || logGiven || waitGiven;
    if (command == QStringLiteral("check") || command == QStringLiteral("write")) {
        if (positional.size() != 1) {
            result.error = commandError(QStringLiteral("%1 takes one HEX file").arg(command));
            return result;
        }
        options.file = positional.first();
        if (command == QStringLiteral("check")) {
            options.command = Command::Check;
            if (writeOptions)
                result.error = commandError(QStringLiteral("check takes no options"));
            return result;
        }
        options.command = Command::Write;
        if (portGiven && options.all)
            result.error = commandError(QStringLiteral("--port and --all exclude each other"));
        return result;
    }
    if (command == QStringLiteral("list")) {
        options.command = Command::List;
        if (!positional.isEmpty())
            result.error = commandError(QStringLiteral("list takes no file"));
        else if (writeOptions)
            result.error = commandError(QStringLiteral("list takes no options"));
        return result;
    }
    result.error = commandError(QStringLiteral("unknown command '%1'").arg(command));
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
