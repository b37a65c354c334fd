// The words zorbelflash uses for instruments, ports and outcomes.

#include "instrumenttexts.h"

#include "flashjob.h"
#include "instrumentprotocol.h"
#include "modem.h"
#include "stationmode.h"
#include "stationprofile.h"
#include "versionreply.h"


namespace {

constexpr int kHexDigitsOfByte = 2;
constexpr int kHexBase = 16;

} // namespace

namespace InstrumentTexts {

QString firmware(const VersionReply &reply)
{
    return firmware(reply.firmwareVersion());
}

QString firmware(int version)
{
    return VersionReply::versionText(version);
}

QString instrument(const VersionReply &reply)
{
    return QStringLiteral("Zorbelmeter FW V%1").arg(firmware(reply));
}

QString answer(const PortScan::PortResult &result)
{
    switch (result.state) {
    case PortScan::PortState::Found:
        return instrument(result.reply);
    case PortScan::PortState::NoAnswer:
    case PortScan::PortState::NotProbed:
        return QStringLiteral("no answer");
    case PortScan::PortState::OtherReply:
        return QStringLiteral("other device (reply %1 %2)")
            .arg(static_cast<int>(result.reply.letter().at(0).unicode()), kHexDigitsOfByte, kHexBase, QLatin1Char('0'))
            .arg(result.reply.firmwareVersion(), kHexDigitsOfByte, kHexBase, QLatin1Char('0'));
    case PortScan::PortState::Busy:
    case PortScan::PortState::PermissionDenied:
    case PortScan::PortState::NoSuchDevice:
    case PortScan::PortState::OpenFailed:
        break;
    }
    return Modem::reason(result.open); // the port did not open
}

QString abort(InstrumentReport::Outcome outcome)
{
    switch (outcome) {
    case InstrumentReport::Outcome::NoAnswer:
        return QStringLiteral("no answer");
    case InstrumentReport::Outcome::ConnectionLost:
    case InstrumentReport::Outcome::Unchanged:
        return QStringLiteral("connection lost");
    case InstrumentReport::Outcome::LineNoise:
        return QStringLiteral("line noise");
    case InstrumentReport::Outcome::Interrupted:
        return QStringLiteral("interrupted");
    case InstrumentReport::Outcome::Busy: // a port that was not opened: no write to end
    case InstrumentReport::Outcome::PermissionDenied:
    case InstrumentReport::Outcome::Written:
    case InstrumentReport::Outcome::Current:
    case InstrumentReport::Outcome::WrongVersion:
    case InstrumentReport::Outcome::NoRestart:
    case InstrumentReport::Outcome::NotPossible:
        break;
    }
    return QStringLiteral("not possible");
}

QString closing(const FlashJob &job)
{
    const InstrumentReport &report = job.report();
    switch (report.outcome) {
    case InstrumentReport::Outcome::Written: {
        QString text = QStringLiteral("%1: written, %2 blocks in %3 s")
                           .arg(report.port)
                           .arg(report.blocks)
                           .arg(report.seconds, 0, 'f', 1);
        if (report.afterAsked)
            text += report.firmwareAfter.isEmpty() ? QStringLiteral(", no answer after it")
                                                   : QStringLiteral(", now V%1").arg(report.firmwareAfter);
        return text;
    }
    case InstrumentReport::Outcome::WrongVersion:
        return QStringLiteral("%1: written, but the instrument came back as V%2 (expected V%3)")
            .arg(report.port, report.firmwareAfter, firmware(job.expectedVersion()));
    case InstrumentReport::Outcome::NoRestart:
        return QStringLiteral("%1: written, but the instrument did not answer again (expected V%2)")
            .arg(report.port, firmware(job.expectedVersion()));
    case InstrumentReport::Outcome::Interrupted:
        if (report.afterAsked) { // every block went out; ended while the unit restarted
            return QStringLiteral("%1: written, but ended before the instrument answered again (expected V%2): "
                                  "write again")
                .arg(report.port, firmware(job.expectedVersion()));
        }
        break;
    case InstrumentReport::Outcome::Unchanged:
        return QStringLiteral("%1: not written, firmware unchanged (%2 before the write command went out)")
            .arg(report.port, abort(report.outcome));
    default:
        break;
    }
    return QStringLiteral("%1: incomplete, write again (%2 after %3 of %4 blocks)")
        .arg(report.port, abort(report.outcome))
        .arg(report.blocks)
        .arg(job.blockTotal());
}

QString profileError(const StationProfile &profile)
{
    QString where = profile.errorLine() > 0
                              ? QStringLiteral("%1 line %2").arg(profile.path()).arg(profile.errorLine())
                              : profile.path();
    const QString detail = profile.errorDetail();
    switch (profile.error()) {
    case StationProfile::Error::NotReadable:
        return QStringLiteral("%1: cannot read the station profile%2")
            .arg(where, detail.isEmpty() ? QStringLiteral(" (not a regular file)") : QStringLiteral(" (%1)").arg(detail));
    case StationProfile::Error::NotKeyValue:
        return QStringLiteral("%1: not a key=value line: '%2'").arg(where, detail);
    case StationProfile::Error::UnknownKey:
        return QStringLiteral("%1: unknown key '%2' (firmware, expect-version, log, restart-wait, port1..port%3, "
                              "label1..label%3)")
            .arg(where, detail)
            .arg(StationProfile::kMaxPorts);
    case StationProfile::Error::RepeatedKey:
        return QStringLiteral("%1: '%2' given a second time").arg(where, detail);
    case StationProfile::Error::BadValue:
        return QStringLiteral("%1: '%2' cannot take that value").arg(where, detail);
    case StationProfile::Error::LabelWithoutPort:
        return QStringLiteral("%1: '%2' names no port (no port line of that number)").arg(where, detail);
    case StationProfile::Error::NoFirmware:
        return QStringLiteral("%1: no firmware= line").arg(where);
    case StationProfile::Error::NoVersion:
        return QStringLiteral("%1: no expect-version= line: the station judges a unit by the version it answers")
            .arg(where);
    case StationProfile::Error::None:
        break;
    }
    return where;
}

QString stationSummary(const StationMode &station)
{
    QString text = QStringLiteral("%1 written").arg(station.writtenCount());
    if (station.currentCount() > 0)
        text += QStringLiteral(", %1 already current").arg(station.currentCount());
    const QStringList incomplete = station.incompletePorts();
    if (!incomplete.isEmpty())
        text += QStringLiteral(", %1 incomplete (%2)").arg(incomplete.size()).arg(incomplete.join(QStringLiteral(", ")));
    if (!station.refusedPorts().isEmpty())
        text += QStringLiteral("; refused: %1").arg(station.refusedPorts().join(QStringLiteral(", ")));
    return text;
}

} // namespace InstrumentTexts
