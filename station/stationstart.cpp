// zorbelstation's arguments: a profile, or a firmware file and the version it brings.

#include "stationstart.h"

#include "firmwarefile.h"
#include "logfile.h"
#include "stationprofile.h"
#include "versionreply.h"

#include <QCoreApplication>

#include <optional>

namespace {

const QString kExpectVersion = QStringLiteral("--expect-version");
const QString kLog = QStringLiteral("--log");
const QString kHexSuffix = QStringLiteral(".hex");
constexpr QChar kRecordMark = QLatin1Char(':');

QString missingVersion(const QString &file)
{
    return QStringLiteral("%1: the version the firmware brings is needed (--expect-version V, e.g. 1.24): a unit "
                          "passes when it answers that version after its write; nothing written")
        .arg(file);
}

} // namespace

QString StationStart::usage()
{
    return QStringLiteral("usage: zorbelstation PROFILE\n"
                          "       zorbelstation FILE --expect-version V [--log LOGFILE]\n"
                          "Writes every unit plugged into the station's ports that does not answer V, and shows\n"
                          "each port as a tile. See man zorbelstation.\n");
}

void StationStart::fail(Status status, const QString &text)
{
    m_status = status;
    m_text = text;
    m_setup.reset();
}

StationStart StationStart::withText(Status status, const QString &text)
{
    StationStart start;
    start.fail(status, text);
    return start;
}

namespace {

// The arguments as given, before anything is looked at.
struct Arguments
{
    QStringList files;
    std::optional<QString> version;
    std::optional<QString> log;
    QString error; // why they cannot be taken; empty: they can
    QString help;  // --help or --version: the text for standard output
};

// "--name VALUE" or "--name=VALUE" at index (moved past the value); nullopt when the
// argument is another one, an empty error text on success.
std::optional<QString> valueOf(const QString &name, const QStringList &arguments, int &index, QString &error)
{
    const QString &argument = arguments.at(index);
    if (argument.startsWith(name + QLatin1Char('=')))
        return argument.mid(name.size() + 1);
    if (argument != name)
        return std::nullopt;
    if (index + 1 < arguments.size())
        return arguments.at(++index);
    error = QStringLiteral("%1 needs a value").arg(name);
    return QString();
}

Arguments parse(const QStringList &arguments)
{
    Arguments parsed;
    for (int index = 1; index < arguments.size() && parsed.error.isEmpty(); ++index) {
        const QString &argument = arguments.at(index);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.help = StationStart::usage();
        } else if (argument == QLatin1String("--version")) {
            parsed.help = QStringLiteral("zorbelstation %1\n").arg(QCoreApplication::applicationVersion());
        } else if (auto version = valueOf(kExpectVersion, arguments, index, parsed.error)) {
            parsed.version = version;
        } else if (auto log = valueOf(kLog, arguments, index, parsed.error)) {
            parsed.log = log;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            parsed.error = QStringLiteral("unknown option %1").arg(argument);
        } else {
            parsed.files.append(argument);
        }
    }
    if (parsed.error.isEmpty() && parsed.files.size() != 1) {
        parsed.error = parsed.files.isEmpty()
                           ? QStringLiteral("give a station profile, or a firmware file and the version it brings")
                           : QStringLiteral("one profile or firmware file, not %1").arg(parsed.files.size());
    }
    return parsed;
}

} // namespace

StationStart StationStart::fromArguments(const QStringList &arguments)
{
    const Arguments parsed = parse(arguments);
    if (!parsed.help.isEmpty())
        return withText(Status::Help, parsed.help);
    if (!parsed.error.isEmpty())
        return withText(Status::UsageError, parsed.error + QLatin1Char('\n') + usage());
    const QString &file = parsed.files.first();
    if (parsed.version) {
        const int expected = VersionReply::parseVersionText(*parsed.version);
        if (expected < 0) {
            return withText(Status::UsageError,
                            QStringLiteral("--expect-version %1: not a version a unit can answer (1.00 to 2.55)")
                                .arg(*parsed.version));
        }
        return fromFile(file, expected, parsed.log.value_or(QString()));
    }
    if (parsed.log || file.endsWith(kHexSuffix, Qt::CaseInsensitive))
        return withText(Status::UsageError, missingVersion(file));
    return fromProfile(file);
}

StationStart StationStart::fromFile(const QString &file, int expected, const QString &logPath)
{
    StationStart start;
    if (!start.takeFirmware(file, expected) || (!logPath.isEmpty() && !start.openLog(logPath)))
        return start;
    start.m_setup->source = &PortScan::presentPorts;
    start.m_status = Status::Ready;
    return start;
}

StationStart StationStart::fromProfile(const QString &path)
{
    const StationProfile profile = StationProfile::load(path);
    if (!profile.isValid()) {
        // A HEX file given without its version reads as a profile whose first line is a record.
        if (profile.error() == StationProfile::Error::NotKeyValue && profile.errorDetail().startsWith(kRecordMark))
            return withText(Status::UsageError, missingVersion(path));
        return withText(Status::UsageError, QStringLiteral("%1: %2; nothing written").arg(path, profileError(profile)));
    }
    StationStart start;
    if (!start.takeFirmware(profile.firmwarePath(), profile.expectedVersion())
        || (!profile.logPath().isEmpty() && !start.openLog(profile.logPath())))
        return start;
    start.m_setup->source = profile.source();
    for (const StationProfile::Port &port : profile.ports())
        start.m_setup->labels.append(port.label);
    start.m_setup->timing.restartWait = profile.restartWait();
    start.m_status = Status::Ready;
    return start;
}

bool StationStart::takeFirmware(const QString &path, int expectedVersion)
{
    FirmwareFile firmware = FirmwareFile::load(path);
    if (firmware.verdict() != HexVerdict::Suitable) {
        fail(Status::FileNotSuitable,
             QStringLiteral("%1: %2: %3; nothing written")
                 .arg(path,
                      firmware.verdict() == HexVerdict::Unreadable ? QStringLiteral("unreadable")
                                                                   : QStringLiteral("not suitable"),
                      firmware.reason()));
        return false;
    }
    m_setup = std::make_unique<StationBoard::Setup>(firmware);
    m_setup->expectedVersion = expectedVersion;
    if (!firmware.checksumWarning().isEmpty())
        m_setup->notices.append(QStringLiteral("%1: %2").arg(path, firmware.checksumWarning()));
    return true;
}

bool StationStart::openLog(const QString &path)
{
    LogFile::Opened opened = LogFile::open(path);
    if (!opened.file) {
        fail(Status::UsageError, QStringLiteral("cannot open log file %1: %2; nothing written").arg(path, opened.error));
        return false;
    }
    m_setup->log = std::move(opened.file);
    return true;
}

QString StationStart::profileError(const StationProfile &profile)
{
    const QString line = QStringLiteral("line %1: ").arg(profile.errorLine());
    const QString detail = profile.errorDetail();
    switch (profile.error()) {
    case StationProfile::Error::NotReadable:
        return detail.isEmpty() ? QStringLiteral("cannot be read (not a regular file)")
                                : QStringLiteral("cannot be read (%1)").arg(detail);
    case StationProfile::Error::NotKeyValue:
        return line + QStringLiteral("not a key=value line (\"%1\")").arg(detail);
    case StationProfile::Error::UnknownKey:
        return line + QStringLiteral("unknown key \"%1\"").arg(detail);
    case StationProfile::Error::RepeatedKey:
        return line + QStringLiteral("\"%1\" given a second time").arg(detail);
    case StationProfile::Error::BadValue:
        return line + QStringLiteral("\"%1\" cannot take this value").arg(detail);
    case StationProfile::Error::LabelWithoutPort:
        return QStringLiteral("%1 without port%2").arg(detail, detail.mid(QStringLiteral("label").size()));
    case StationProfile::Error::NoFirmware:
        return QStringLiteral("no firmware= line");
    case StationProfile::Error::NoVersion:
        return QStringLiteral("no expect-version= line: a unit passes when it answers that version after its write");
    case StationProfile::Error::None:
        break;
    }
    return QStringLiteral("not a station profile");
}
