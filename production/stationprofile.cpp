// A station's profile, read strictly: every line known, every value checked.

#include "stationprofile.h"

#include "regularfile.h"
#include "stationtimes.h"
#include "versionreply.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr qint64 kMaxProfileBytes = qint64{1} << 20; // a profile is a few hundred bytes
constexpr int kMaxRestartWaitSeconds = 3600;
constexpr QChar kComment = QLatin1Char('#');

} // namespace

StationProfile StationProfile::load(const QString &path)
{
    StationProfile profile;
    profile.m_path = path;
    profile.m_restartWait = StationTimes::kRestartWait;
    RegularFile::Opened opened = RegularFile::open(path, RegularFile::Access::Read, kMaxProfileBytes);
    if (opened.result != RegularFile::Result::Opened) {
        profile.fail(Error::NotReadable, 0,
                     opened.result == RegularFile::Result::Failed ? opened.error : QString());
        return profile;
    }
    const QStringList lines = QString::fromUtf8(opened.file->readAll()).split(QLatin1Char('\n'));
    QStringList seen;
    for (int index = 0; index < lines.size(); ++index) {
        QString line = lines.at(index);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const int number = index + 1;
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(kComment))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            profile.fail(Error::NotKeyValue, number, line);
            return profile;
        }
        const QString key = line.left(equals);
        if (seen.contains(key)) {
            profile.fail(Error::RepeatedKey, number, key);
            return profile;
        }
        seen.append(key);
        if (!profile.take({number, key, line.mid(equals + 1)}))
            return profile;
    }
    if (profile.m_firmwarePath.isEmpty())
        profile.fail(Error::NoFirmware, 0, QStringLiteral("firmware"));
    else if (profile.m_expectedVersion < 0)
        profile.fail(Error::NoVersion, 0, QStringLiteral("expect-version"));
    for (const Port &port : std::as_const(profile.m_ports)) {
        if (profile.isValid() && port.port.isEmpty())
            profile.fail(Error::LabelWithoutPort, 0, QStringLiteral("label%1").arg(port.number));
    }
    return profile;
}

bool StationProfile::take(const Entry &entry)
{
    const QString &key = entry.key;
    const QString &value = entry.value;
    const int line = entry.line;
    static const QRegularExpression numbered(QStringLiteral("^(port|label)([1-9][0-9]?)$"));
    if (key == QLatin1String("firmware")) {
        if (value.isEmpty())
            return fail(Error::BadValue, line, key);
        m_firmwarePath = resolved(value);
        return true;
    }
    if (key == QLatin1String("expect-version")) {
        m_expectedVersion = VersionReply::parseVersionText(value);
        return m_expectedVersion >= 0 || fail(Error::BadValue, line, key);
    }
    if (key == QLatin1String("log")) {
        if (value.isEmpty())
            return fail(Error::BadValue, line, key);
        m_logPath = resolved(value);
        return true;
    }
    if (key == QLatin1String("restart-wait")) {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        if (!ok || !(seconds >= 0) || seconds > kMaxRestartWaitSeconds)
            return fail(Error::BadValue, line, key);
        m_restartWait = std::chrono::round<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
        return true;
    }
    const QRegularExpressionMatch match = numbered.match(key);
    const int number = match.hasMatch() ? match.captured(2).toInt() : 0;
    if (number < 1 || number > kMaxPorts)
        return fail(Error::UnknownKey, line, key);
    if (value.isEmpty())
        return fail(Error::BadValue, line, key);
    auto it = std::find_if(m_ports.begin(), m_ports.end(), [number](const Port &port) { return port.number == number; });
    if (it == m_ports.end()) {
        Port port;
        port.number = number;
        it = m_ports.insert(std::upper_bound(m_ports.begin(), m_ports.end(), number,
                                             [](int n, const Port &other) { return n < other.number; }),
                            port);
    }
    if (match.captured(1) == QLatin1String("port"))
        it->port = value;
    else
        it->label = value;
    return true;
}

bool StationProfile::fail(Error error, int line, const QString &detail)
{
    m_error = error;
    m_errorLine = line;
    m_errorDetail = detail;
    return false;
}

QString StationProfile::resolved(const QString &path) const
{
    return QDir::cleanPath(QFileInfo(m_path).absoluteDir().absoluteFilePath(path));
}

PortScan::CandidateSource StationProfile::source() const
{
    if (m_ports.isEmpty())
        return &PortScan::presentPorts;
    QStringList named;
    for (const Port &port : m_ports)
        named.append(port.port);
    return [named] { return PortScan::portsNamed(named); };
}
