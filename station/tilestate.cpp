// The state of one slot of the station, and its words.

#include "tilestate.h"

#include "versionreply.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace {

constexpr int kSecondsPerMinute = 60;
constexpr int kSecondsFieldWidth = 2;
constexpr int kDecimal = 10;
constexpr double kMsPerSecond = 1000.0;

QString version(int value)
{
    return QStringLiteral("V") + VersionReply::versionText(value);
}

// "1:05" for 65 seconds.
QString minutesAndSeconds(qint64 seconds)
{
    return QStringLiteral("%1:%2")
        .arg(seconds / kSecondsPerMinute)
        .arg(seconds % kSecondsPerMinute, kSecondsFieldWidth, kDecimal, QLatin1Char('0'));
}

} // namespace

TileState::TileState(int expectedVersion)
    : m_expectedVersion(expectedVersion)
{
}

void TileState::setIdentity(const Identity &identity)
{
    m_label = identity.label;
    m_portName = identity.portName;
    m_adapter = adapterName(identity.byIdLink);
}

void TileState::setPresent(bool present)
{
    m_present = present;
    // The device gone takes its unit with it; a write holds on through its restart.
    if (!present && !holdsWrite())
        m_unit = Unit::None;
}

void TileState::writeStarted(int blockTotal)
{
    m_unit = Unit::Writing;
    m_condition.reset();
    m_present = true;
    m_blockTotal = blockTotal;
    m_progress = Progress{0, blockTotal, 0};
}

void TileState::writeProgressed(const Progress &progress, bool restarting)
{
    if (!holdsWrite())
        return;
    m_progress = progress;
    m_unit = restarting ? Unit::Restarting : Unit::Writing;
}

void TileState::writeFinished(const InstrumentReport &report, int blockTotal)
{
    m_report = report;
    m_blockTotal = blockTotal;
    switch (report.outcome) {
    case InstrumentReport::Outcome::Written:
        m_unit = Unit::Passed;
        break;
    case InstrumentReport::Outcome::Interrupted:
        m_unit = Unit::Stopped;
        break;
    default:
        m_unit = Unit::Failed;
        break;
    }
}

void TileState::unitCurrent(int version)
{
    m_unit = Unit::Current;
    m_version = version;
}

void TileState::needsCheck(int version)
{
    m_unit = Unit::Check;
    m_version = version;
}

void TileState::unavailable(PortScan::PortState state)
{
    m_condition = state;
}

void TileState::available()
{
    m_condition.reset();
}

void TileState::emptied()
{
    if (!holdsWrite())
        m_unit = Unit::None;
}

TileState::Role TileState::role() const
{
    if (holdsWrite())
        return m_unit == Unit::Writing ? Role::Writing : Role::Restarting;
    if (!m_present)
        return Role::Absent;
    if (m_condition)
        return Role::Unavailable;
    switch (m_unit) {
    case Unit::Passed:
        return Role::Pass;
    case Unit::Failed:
    case Unit::Stopped:
        return Role::Fail;
    case Unit::Current:
        return Role::Current;
    case Unit::Check:
        return Role::Check;
    case Unit::None:
    case Unit::Writing:
    case Unit::Restarting:
        break;
    }
    return Role::Waiting;
}

QString TileState::word() const
{
    switch (role()) {
    case Role::Waiting:
        return QStringLiteral("READY");
    case Role::Writing:
        return QStringLiteral("WRITING");
    case Role::Restarting:
        return QStringLiteral("RESTARTING");
    case Role::Pass:
        return QStringLiteral("PASS");
    case Role::Fail:
        return m_unit == Unit::Stopped ? QStringLiteral("STOPPED") : QStringLiteral("FAIL");
    case Role::Current:
        return QStringLiteral("CURRENT");
    case Role::Check:
        return QStringLiteral("CHECK");
    case Role::Unavailable:
        if (m_condition == PortScan::PortState::Busy)
            return QStringLiteral("BUSY");
        if (m_condition == PortScan::PortState::PermissionDenied)
            return QStringLiteral("NO ACCESS");
        return QStringLiteral("OTHER DEVICE");
    case Role::Absent:
        break;
    }
    return QStringLiteral("NO PORT");
}

QString TileState::detail() const
{
    switch (role()) {
    case Role::Waiting:
        return QStringLiteral("insert a unit");
    case Role::Writing: {
        QString text = QStringLiteral("%1 / %2 blocks").arg(m_progress.done).arg(m_progress.total);
        if (m_progress.done > 0 && m_progress.elapsedMs > 0) {
            const double seconds = static_cast<double>(m_progress.elapsedMs) / kMsPerSecond;
            const auto left = static_cast<qint64>(
                std::llround(seconds * (m_progress.total - m_progress.done) / m_progress.done));
            text += QStringLiteral(", %1 left").arg(minutesAndSeconds(left));
        }
        return text;
    }
    case Role::Restarting:
        return QStringLiteral("do not unplug");
    case Role::Pass:
        return QStringLiteral("%1 in %2 s").arg(QStringLiteral("V") + m_report.firmwareAfter)
            .arg(m_report.seconds, 0, 'f', 1);
    case Role::Fail:
        return failDetail();
    case Role::Current:
        return QStringLiteral("already %1, not written").arg(version(m_version));
    case Role::Check:
        return QStringLiteral("written twice, still %1: check the unit").arg(version(m_version));
    case Role::Unavailable:
        if (m_condition == PortScan::PortState::Busy)
            return QStringLiteral("held by another program");
        if (m_condition == PortScan::PortState::PermissionDenied)
            return QStringLiteral("permission denied: is the user in the dialout group?");
        return QStringLiteral("another device answers here");
    case Role::Absent:
        break;
    }
    return QStringLiteral("no device: connect the adapter");
}

// The cause in plain words and what to do.
QString TileState::failDetail() const
{
    const QString blocks = QStringLiteral("after %1 of %2 blocks").arg(m_report.blocks).arg(m_blockTotal);
    switch (m_report.outcome) {
    case InstrumentReport::Outcome::NoAnswer:
        return QStringLiteral("no answer %1: write again").arg(blocks);
    case InstrumentReport::Outcome::ConnectionLost:
        return QStringLiteral("connection lost %1: write again").arg(blocks);
    case InstrumentReport::Outcome::LineNoise:
        return QStringLiteral("line disturbed %1: write again").arg(blocks);
    case InstrumentReport::Outcome::Unchanged:
        return QStringLiteral("connection lost before the write, unit unchanged: write again");
    case InstrumentReport::Outcome::Interrupted:
        if (m_report.afterAsked)
            return QStringLiteral("ended before it answered again: write again");
        return QStringLiteral("ended %1: write again").arg(blocks);
    case InstrumentReport::Outcome::WrongVersion:
        return QStringLiteral("came back as V%1, not %2: check the unit")
            .arg(m_report.firmwareAfter, version(m_expectedVersion));
    case InstrumentReport::Outcome::NoRestart:
        return QStringLiteral("did not answer after its write: check the unit");
    default:
        break;
    }
    return QStringLiteral("not written: check the firmware file");
}

QString TileState::title() const
{
    return m_label.isEmpty() ? m_portName : m_label;
}

QString TileState::subtitle() const
{
    QStringList parts;
    if (!m_label.isEmpty())
        parts.append(m_portName);
    if (!m_adapter.isEmpty())
        parts.append(m_adapter);
    return parts.join(QStringLiteral("  ·  "));
}

QString TileState::adapterName(const QString &byIdLink)
{
    if (byIdLink.isEmpty())
        return {};
    static const QRegularExpression bus(QStringLiteral("^[a-z]+-"));
    static const QRegularExpression interface(QStringLiteral("-if[0-9]+(-port[0-9]+)?$"));
    QString name = QFileInfo(byIdLink).fileName();
    name.remove(bus);
    name.remove(interface);
    return name.replace(QLatin1Char('_'), QLatin1Char(' '));
}
