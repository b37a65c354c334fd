#include "instrumentreport.h"

#include "firmwarefile.h"
#include "versionreply.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSysInfo>

#include <cmath>

namespace {

// The seconds are recorded to the millisecond.
constexpr double kSecondsScale = 1000.0;

} // namespace

QByteArray InstrumentReport::toJsonLine() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject InstrumentReport::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("port"), port);
    object.insert(QStringLiteral("device"), device);
    object.insert(QStringLiteral("by_id"), byId);
    object.insert(QStringLiteral("firmware_before"),
                  firmwareBefore.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(firmwareBefore));
    if (afterAsked)
        object.insert(QStringLiteral("firmware_after"), firmwareAfter);
    object.insert(QStringLiteral("file"), file);
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(sha256));
    object.insert(QStringLiteral("blocks"), blocks);
    object.insert(QStringLiteral("seconds"), std::round(seconds * kSecondsScale) / kSecondsScale);
    object.insert(QStringLiteral("outcome"), outcomeName(outcome));
    object.insert(QStringLiteral("time"), time.toUTC().toString(Qt::ISODateWithMs));
    object.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    object.insert(QStringLiteral("tool_version"), QCoreApplication::applicationVersion());
    return object;
}

InstrumentReport InstrumentReport::unwritten(const PortScan::PortResult &result, Outcome outcome,
                                             const FirmwareFile &firmware, const QString &byId)
{
    InstrumentReport report;
    report.outcome = outcome;
    report.port = result.candidate.name;
    report.device = result.candidate.devicePath;
    report.byId = byId;
    if (result.state == PortScan::PortState::Found)
        report.firmwareBefore = VersionReply::versionText(result.reply.firmwareVersion());
    report.file = firmware.path();
    report.sha256 = firmware.blockDataSha256(0);
    report.stamp();
    return report;
}

void InstrumentReport::stamp()
{
    time = QDateTime::currentDateTimeUtc();
}

QString InstrumentReport::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Written:
        return QStringLiteral("written");
    case Outcome::Current:
        return QStringLiteral("current");
    case Outcome::WrongVersion:
        return QStringLiteral("wrong-version");
    case Outcome::NoRestart:
        return QStringLiteral("no-restart");
    case Outcome::Unchanged:
        return QStringLiteral("unchanged");
    case Outcome::NoAnswer:
        return QStringLiteral("no-answer");
    case Outcome::ConnectionLost:
        return QStringLiteral("connection-lost");
    case Outcome::LineNoise:
        return QStringLiteral("line-noise");
    case Outcome::Interrupted:
        return QStringLiteral("interrupted");
    case Outcome::Busy:
        return QStringLiteral("busy");
    case Outcome::PermissionDenied:
        return QStringLiteral("permission-denied");
    case Outcome::NotPossible:
        break;
    }
    return QStringLiteral("not-possible");
}

InstrumentReport::Outcome InstrumentReport::outcomeOf(FlashWriter::Outcome outcome)
{
    switch (outcome) {
    case FlashWriter::Outcome::Written:
        return Outcome::Written;
    case FlashWriter::Outcome::NoAnswer:
        return Outcome::NoAnswer;
    case FlashWriter::Outcome::ConnectionLost:
        return Outcome::ConnectionLost;
    case FlashWriter::Outcome::CommandNotSent:
        return Outcome::Unchanged;
    case FlashWriter::Outcome::LineNoise:
        return Outcome::LineNoise;
    case FlashWriter::Outcome::Interrupted:
        return Outcome::Interrupted;
    case FlashWriter::Outcome::NotPossible:
        break;
    }
    return Outcome::NotPossible;
}
