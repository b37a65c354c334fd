// zorbelstation's arguments: a profile, or a firmware file and the version it brings.

#include "stationstart.h"

#include "firmwarefile.h"
#include "logfile.h"
#include "stationprofile.h"
#include "versionreply.h"

#include <QCoreApplication>

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

StationStart StationStart::fromArguments(const QStringList &arguments)
{
    StationStart start;
    QStringList files;
    QString versionText;
    QString logPath;
    bool versionGiven = false;
    bool logGiven = false;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString &argument = arguments.at(index);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return withText(Status::Help, usage());
        if (argument == QLatin1String("--version"))
            return withText(Status::Help, QStringLiteral("zorbelstation %1\n").arg(QCoreApplication::applicationVersion()));
        QString *value = argument.startsWith(kExpectVersion) ? &versionText
                         : argument.startsWith(kLog)         ? &logPath
                                                             : nullptr;
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        if (value != nullptr && (name == kExpectVersion || name == kLog)) {
            (name == kExpectVersion ? versionGiven : logGiven) = true;
            if (argument.contains(QLatin1Char('=')))
                *value = argument.section(QLatin1Char('='), 1);
            else if (index + 1 < arguments.size())
                *value = arguments.at(++index);
            else
                return withText(Status::UsageError, QStringLiteral("%1 needs a value\n%2").arg(name, usage()));
            continue;
        }
        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1)
            return withText(Status::UsageError, QStringLiteral("unknown option %1\n%2").arg(argument, usage()));
        files.append(argument);
    }
    if (files.size() != 1) {
        return withText(Status::UsageError,
                          QStringLiteral("%1\n%2")
                              .arg(files.isEmpty() ? QStringLiteral("give a station profile, or a firmware file and "
                                                                    "the version it brings")
                                                   : QStringLiteral("one profile or firmware file, not %1")
                                                         .arg(files.size()),
                                   usage()));
    }
    const QString &file = files.first();

    if (versionGiven) {
        const int expected = VersionReply::parseVersionText(versionText);
        if (expected < 0) {
            return withText(Status::UsageError,
                              QStringLiteral("--expect-version %1: not a version a unit can answer (1.00 to 2.55)")
                                  .arg(versionText));
        }
        if (!start.takeFirmware(file, expected) || (logGiven && !start.openLog(logPath)))
            return start;
        start.m_setup->source = &PortScan::presentPorts;
        start.m_status = Status::Ready;
        return start;
    }
    if (logGiven || file.endsWith(kHexSuffix, Qt::CaseInsensitive))
        return withText(Status::UsageError, missingVersion(file));

    const StationProfile profile = StationProfile::load(file);
    if (!profile.isValid()) {
        // A HEX file given without its version reads as a profile whose first line is a record.
        if (profile.error() == StationProfile::Error::NotKeyValue && profile.errorDetail().startsWith(kRecordMark))
            return withText(Status::UsageError, missingVersion(file));
        return withText(Status::UsageError, QStringLiteral("%1: %2; nothing written").arg(file, profileError(profile)));
    }
    if (!start.takeFirmware(profile.firmwarePath(), profile.expectedVersion())
        || (!profile.logPath().isEmpty() && !start.openLog(profile.logPath())))
        return start;
    start.m_setup->source = profile.source();
    start.m_setup->labelOf = [profile](const PortScan::Candidate &candidate) { return profile.labelOf(candidate); };
    start.m_setup->timing.restartWait = profile.restartWait();
    start.m_status = Status::Ready;
    return start;
}

bool StationStart::takeFirmware(const QString &path, int expectedVersion)
{
    FirmwareFile firmware = FirmwareFile::load(path);
    if (firmware.verdict() != FirmwareFile::Verdict::Suitable) {
        fail(Status::FileNotSuitable,
             QStringLiteral("%1: %2: %3; nothing written")
                 .arg(path,
                      firmware.verdict() == FirmwareFile::Verdict::Unreadable ? QStringLiteral("unreadable")
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
