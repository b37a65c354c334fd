#include "commandline.h"

#include "versionreply.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <utility>

namespace {


// The options, by the names the parser knows them.
struct KnownOptions
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption version{QStringLiteral("version")};
    QCommandLineOption port{QStringLiteral("port"), QString(), QStringLiteral("NAME")};
    QCommandLineOption all{QStringLiteral("all")};
    QCommandLineOption count{QStringLiteral("count"), QString(), QStringLiteral("N")};
    QCommandLineOption json{QStringLiteral("json")};
    QCommandLineOption strict{QStringLiteral("strict")};
    QCommandLineOption log{QStringLiteral("log"), QString(), QStringLiteral("FILE")};
    QCommandLineOption wait{QStringLiteral("wait"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption watch{QStringLiteral("watch")};
    QCommandLineOption expectVersion{QStringLiteral("expect-version"), QString(), QStringLiteral("V")};
    QCommandLineOption restartWait{QStringLiteral("restart-wait"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption journal{QStringLiteral("journal")};

    QList<QCommandLineOption> list() const
    {
        return {help, version, port, all, count, json, log, wait, strict, watch, expectVersion, restartWait, journal};
    }
};

bool parseWait(const QString &text, int &waitMs)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0) || seconds > CommandLine::kMaxWaitSeconds)
        return false;
    waitMs = static_cast<int>(
        std::chrono::round<std::chrono::milliseconds>(std::chrono::duration<double>(seconds)).count());
    return true;
}

// A number of seconds for one of the station's times; the error text, or empty.
QString takeSeconds(const QCommandLineParser &parser, const QCommandLineOption &option, int &valueMs)
{
    const QStringList values = parser.values(option);
    if (values.isEmpty())
        return {};
    if (values.size() == 1 && parseWait(values.first(), valueMs))
        return {};
    return QStringLiteral("--%1 takes one number of seconds from 0 to %2, not '%3'")
        .arg(option.names().constFirst())
        .arg(CommandLine::kMaxWaitSeconds)
        .arg(values.join(QLatin1Char(' ')));
}

// One value at most, and not an empty one.
bool singleValue(const QCommandLineParser &parser, const QCommandLineOption &option, QString &value)
{
    const QStringList values = parser.values(option);
    if (values.isEmpty())
        return true;
    if (values.size() > 1 || values.first().isEmpty())
        return false;
    value = values.first();
    return true;
}

// Takes the options' values; the error text, or empty.
QString takeValues(const QCommandLineParser &parser, const KnownOptions &known, CommandLine::Options &options)
{
    options.all = parser.isSet(known.all);
    options.json = parser.isSet(known.json);
    options.strict = parser.isSet(known.strict);
    options.watch = parser.isSet(known.watch);
    options.journal = parser.isSet(known.journal);
    if (!singleValue(parser, known.port, options.port))
        return QStringLiteral("--port takes one port name");
    if (!singleValue(parser, known.log, options.logFile))
        return QStringLiteral("--log takes one file name");
    QString count;
    if (!singleValue(parser, known.count, count))
        return QStringLiteral("--count takes one number");
    if (!count.isEmpty()) {
        bool ok = false;
        options.count = count.toInt(&ok);
        if (!ok || options.count < 1 || options.count > CommandLine::kMaxCount) {
            return QStringLiteral("--count takes a number of instruments from 1 to %1, not '%2'")
                .arg(CommandLine::kMaxCount)
                .arg(count);
        }
    }
    QString expected;
    if (!singleValue(parser, known.expectVersion, expected))
        return QStringLiteral("--expect-version takes one version");
    if (!expected.isEmpty()) {
        options.expectedVersion = VersionReply::parseVersionText(expected);
        if (options.expectedVersion < 0)
            return QStringLiteral("--expect-version takes a version such as 1.24, not '%1'").arg(expected);
    }
    QString error = takeSeconds(parser, known.restartWait, options.restartWaitMs);
    if (!error.isEmpty())
        return error;
    // Every --wait is checked; the last one counts.
    const QStringList waits = parser.values(known.wait);
    const auto bad = std::find_if(waits.cbegin(), waits.cend(),
                                  [&options](const QString &wait) { return !parseWait(wait, options.waitMs); });
    if (bad == waits.cend())
        return {};
    return QStringLiteral("--wait takes a number of seconds from 0 to %1, not '%2'")
        .arg(CommandLine::kMaxWaitSeconds)
        .arg(*bad);
}

bool writeOptionsGiven(const QCommandLineParser &parser, const KnownOptions &known)
{
    return parser.isSet(known.port) || parser.isSet(known.all) || parser.isSet(known.count) || parser.isSet(known.json)
           || parser.isSet(known.log) || parser.isSet(known.wait) || parser.isSet(known.watch)
           || parser.isSet(known.expectVersion) || parser.isSet(known.restartWait) || parser.isSet(known.journal);
}

// station PROFILE: everything but --json, --journal and --strict comes from the profile.
QString settleStation(const QCommandLineParser &parser, const KnownOptions &known, const QStringList &positional,
                      CommandLine::Options &options)
{
    options.command = CommandLine::Command::Station;
    if (positional.size() != 1)
        return QStringLiteral("station takes one profile");
    options.profile = positional.first();
    const bool others = parser.isSet(known.port) || parser.isSet(known.all) || parser.isSet(known.count)
                        || parser.isSet(known.log) || parser.isSet(known.wait) || parser.isSet(known.watch)
                        || parser.isSet(known.expectVersion) || parser.isSet(known.restartWait);
    return others ? QStringLiteral("station takes its file, version, log and ports from the profile; "
                                   "options: --json, --journal, --strict")
                  : QString();
}

QString settleWrite(const QCommandLineParser &parser, const KnownOptions &known, const CommandLine::Options &options);

// Checks the command against its file and options; the error text, or empty.
QString settleCommand(const QCommandLineParser &parser, const KnownOptions &known, CommandLine::Options &options)
{
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return QStringLiteral("no command given (check, list, write or station)");
    const QString command = positional.takeFirst();
    if (command == QStringLiteral("list")) {
        options.command = CommandLine::Command::List;
        if (!positional.isEmpty())
            return QStringLiteral("list takes no file");
        return writeOptionsGiven(parser, known) || options.strict ? QStringLiteral("list takes no options")
                                                                  : QString();
    }
    if (command == QStringLiteral("station"))
        return settleStation(parser, known, positional, options);
    if (command != QStringLiteral("check") && command != QStringLiteral("write"))
        return QStringLiteral("unknown command '%1'").arg(command);
    if (positional.size() != 1)
        return QStringLiteral("%1 takes one HEX file").arg(command);
    options.file = positional.first();
    if (command == QStringLiteral("check")) {
        options.command = CommandLine::Command::Check;
        return writeOptionsGiven(parser, known) ? QStringLiteral("check takes no option but --strict") : QString();
    }
    options.command = CommandLine::Command::Write;
    return settleWrite(parser, known, options);
}

// write FILE: the options that go together, and those that do not.
QString settleWrite(const QCommandLineParser &parser, const KnownOptions &known, const CommandLine::Options &options)
{
    if (options.watch && parser.isSet(known.wait))
        return QStringLiteral("--watch keeps asking until it is ended: it takes no --wait");
    if (options.watch && options.count > 0)
        return QStringLiteral("--watch writes each instrument as it comes: it takes no --count");
    if (options.watch && options.expectedVersion < 0)
        return QStringLiteral("--watch needs --expect-version V: a unit that answers V is done, any other "
                              "version is written");
    if (!options.watch && options.expectedVersion < 0 && parser.isSet(known.restartWait))
        return QStringLiteral("--restart-wait goes with --expect-version or --watch");
    if (!options.port.isEmpty() && options.all)
        return QStringLiteral("--port and --all exclude each other");
    return options.count > 0 && !options.all ? QStringLiteral("--count goes with --all") : QString();
}

} // namespace

CommandLine::Result CommandLine::parse(const QStringList &arguments)
{
    const KnownOptions known;
    QCommandLineParser parser;
    // --port and -p are different things; "-all" is no option at all.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOptions(known.list());

    Result result;
    QString error;
    if (!parser.parse(arguments)) {
        error = parser.errorText();
    } else if (parser.isSet(known.help)) {
        result.options.command = Command::Help;
    } else if (parser.isSet(known.version)) {
        result.options.command = Command::Version;
    } else {
        error = takeValues(parser, known, result.options);
        if (error.isEmpty())
            error = settleCommand(parser, known, result.options);
    }
    if (!error.isEmpty())
        result.error = error + QStringLiteral("\nTry 'zorbelflash --help'.");
    return result;
}

QStringList CommandLine::optionNames()
{
    QStringList names;
    for (const QCommandLineOption &option : KnownOptions().list())
        names << option.names();
    return names;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: zorbelflash check FILE [--strict]\n"
        "       zorbelflash list\n"
        "       zorbelflash write FILE [--port NAME | --all [--count N]] [--json] [--log FILE]\n"
        "                              [--wait SECONDS] [--strict] [--expect-version V [--restart-wait SECONDS]]\n"
        "                              [--journal]\n"
        "       zorbelflash write FILE --watch --expect-version V [--port NAME] [--json]\n"
        "                              [--log FILE] [--strict] [--restart-wait SECONDS] [--journal]\n"
        "       zorbelflash station PROFILE [--json] [--journal] [--strict]\n"
        "\n"
        "Writes Intel HEX firmware into Zorbelmeter instruments over serial ports.\n"
        "\n"
        "Commands:\n"
        "  check FILE      load and judge FILE as the loader window does; print the verdict\n"
        "                  (a refusal with the line to blame), the end address, the block\n"
        "                  count and the SHA-256 of the block data; warn of records whose\n"
        "                  checksum is wrong (the window does not verify checksums)\n"
        "  list            ask every serial port present and print what answered\n"
        "  write FILE      judge FILE, find the instrument and write FILE into its flash\n"
        "  station PROFILE station mode (as write --watch) set up by a station profile:\n"
        "                  lines firmware=FILE, expect-version=V, and optionally log=FILE,\n"
        "                  restart-wait=SECONDS, port1=NAME label1=TEXT ... port48=NAME;\n"
        "                  '#' begins a comment; a line it does not know refuses it\n"
        "\n"
        "Option of check and write:\n"
        "  --strict        a record with a wrong checksum makes the file not suitable\n"
        "                  (exit status 2, nothing sent)\n"
        "\n"
        "Options of write:\n"
        "  --port NAME     the instrument's port: a COM name (COM3; ZORBEL_PORTS applies)\n"
        "                  or a device path (/dev/ttyUSB0, or relative to the working\n"
        "                  folder); default: every port present\n"
        "  --all           write every instrument that answers, all at the same time; a port\n"
        "                  that is busy or refused is named and recorded as not written\n"
        "  --count N       with --all: N instruments are expected; ask the ports until N\n"
        "                  answered or --wait ran out; if fewer answered, write none\n"
        "  --json          one JSON object per instrument on standard output (fields port,\n"
        "                  device, by_id, firmware_before, firmware_after, file, sha256,\n"
        "                  blocks, seconds, outcome, time, host, tool_version); progress\n"
        "                  and messages go to standard error\n"
        "  --log FILE      append the same JSON objects to FILE, one whole line each (a\n"
        "                  regular file, opened before any port is asked)\n"
        "  --wait SECONDS  ask the ports again for up to SECONDS until an instrument\n"
        "                  answers (default 10; 0 asks once)\n"
        "  --expect-version V\n"
        "                  after the end mark, ask the instrument until it answers again\n"
        "                  after its restart: written only when it answers version V (1.24);\n"
        "                  otherwise wrong-version or no-restart, exit status 8\n"
        "  --restart-wait SECONDS\n"
        "                  how long an instrument is waited for after its write (default 15)\n"
        "  --watch         station mode: run until ended (Ctrl-C, SIGTERM, SIGHUP), asking a\n"
        "                  port the moment it appears (every port every 2 s otherwise); needs\n"
        "                  --expect-version V. A unit that answers V is done (current); a\n"
        "                  unit that answers any other version is written, whenever it\n"
        "                  appears. At most two writes in a row on a port without a V\n"
        "                  answer: then the port is named for a check and written again\n"
        "                  only once it was empty or answered V. A busy port is asked again\n"
        "                  the next round. The first SIGINT, SIGTERM or SIGHUP takes no new\n"
        "                  unit and lets every running write end, its restart wait\n"
        "                  included; a second one ends them at once (interrupted). A\n"
        "                  summary on standard error at the end\n"
        "  --journal       each record also goes to the systemd journal as one structured\n"
        "                  entry (fields ZORBEL_OUTCOME, ZORBEL_PORT, ... as in --json);\n"
        "                  refused at the start (exit status 1) where no journal is reachable\n"
        "\n"
        "  -h, --help      show this text\n"
        "  --version       show the version\n"
        "\n"
        "Exit status:\n"
        "  0    every instrument written (check: the file is suitable; list: always)\n"
        "  1    usage error, a bad station profile, the --log file cannot be opened or no\n"
        "       journal is reachable for --journal (nothing sent)\n"
        "  2    the file is not suitable or cannot be read (--strict: a wrong checksum)\n"
        "  3    no instrument found (--count: fewer than N answered; none written)\n"
        "  4    write aborted: no answer from the instrument\n"
        "  5    write aborted: connection lost or line noise, or the port went away\n"
        "       before the write command went out (unchanged)\n"
        "  6    a port is busy or permission is denied (the --port port; with --all any\n"
        "       port; otherwise when no instrument was found; --watch: nothing written)\n"
        "  7    every instrument written, but a record could not be kept (--json, --log)\n"
        "  8    written, but not confirmed: the instrument came back with another version\n"
        "       than --expect-version, or not at all\n"
        "  130  interrupted (Ctrl-C, SIGTERM or SIGHUP; in station mode the second one): the\n"
        "       write is incomplete, write again\n"
        "With --all, the first port in COM order that was not written decides; 8 only\n"
        "when none failed, 7 only when all were written.\n"
        "With --watch, the first write that was not written decides in the same way.\n");
}
