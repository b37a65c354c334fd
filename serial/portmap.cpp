#include "portmap.h"

#include "seriallog.h"

#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSet>

#include <algorithm>

namespace {

constexpr QChar kPairSeparator = u',';
constexpr QChar kNameSeparator = u'=';

const QStringList &usbPrefixes()
{
    static const QStringList prefixes = {QStringLiteral("ttyUSB"), QStringLiteral("ttyACM"),
                                         QStringLiteral("cu.usb")};
    return prefixes;
}

bool isUsbDevice(const QString &name)
{
    return std::any_of(usbPrefixes().cbegin(), usbPrefixes().cend(),
                       [&name](const QString &prefix) { return name.startsWith(prefix); });
}

// The run of digits at the start of text.
QStringView leadingDigits(QStringView text)
{
    qsizetype end = 0;
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    return text.first(end);
}

// A digit run without its leading zeros; a run of zeros keeps its last one.
QStringView withoutLeadingZeros(QStringView run)
{
    qsizetype start = 0;
    while (start + 1 < run.size() && run.at(start) == u'0')
        ++start;
    return run.mid(start);
}

// Orders two digit runs by their values without converting them (runs may be long):
// a longer run without its leading zeros is larger, else they compare digit by digit.
// Of two equal values the one with fewer leading zeros comes first. Negative, 0 (the
// same text) or positive.
int compareDigitRuns(QStringView a, QStringView b)
{
    const QStringView valueA = withoutLeadingZeros(a);
    const QStringView valueB = withoutLeadingZeros(b);
    if (valueA.size() != valueB.size())
        return valueA.size() < valueB.size() ? -1 : 1;
    const int cmp = valueA.compare(valueB);
    if (cmp != 0)
        return cmp;
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return 0;
}

// Compares names chunk by chunk, digit runs by their value: "ttyS2" < "ttyS10".
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const QStringView runA = leadingDigits(QStringView(a).mid(i));
            const QStringView runB = leadingDigits(QStringView(b).mid(j));
            const int order = compareDigitRuns(runA, runB);
            if (order != 0)
                return order < 0;
            i += runA.size();
            j += runB.size();
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

} // namespace

QString PortMap::comName(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

int PortMap::comNumber(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,8})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

PortMap::ParseResult PortMap::parse(const QString &text)
{
    ParseResult result;
    const QStringList entries = text.split(kPairSeparator);
    for (const QString &rawEntry : entries) {
        const QString entry = rawEntry.trimmed();
        if (entry.isEmpty())
            continue;
        const qsizetype separator = entry.indexOf(kNameSeparator);
        const QString name = separator < 0 ? entry : entry.left(separator).trimmed();
        const QString path = separator < 0 ? QString() : entry.mid(separator + 1).trimmed();
        const int number = comNumber(name);
        QString reason;
        if (separator < 0 || path.isEmpty() || number == 0)
            reason = QStringLiteral("malformed pair");
        else if (number > kHighestComNumber)
            reason = QStringLiteral("beyond %1, never scanned").arg(comName(kHighestComNumber));
        else if (result.devices.contains(number))
            reason = QStringLiteral("second pair for %1").arg(comName(number));
        if (!reason.isEmpty()) {
            result.rejected.append(entry);
            result.reasons.append(reason);
            continue;
        }
        result.devices.insert(number, path);
    }
    return result;
}

QStringList PortMap::orderDevices(const QStringList &names)
{
    const QSet<QString> present(names.cbegin(), names.cend());
    QStringList usb;
    QStringList rest;
    QSet<QString> seen;
    for (const QString &name : names) {
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        if (name.startsWith(QStringLiteral("tty."))
            && present.contains(QStringLiteral("cu.") + name.mid(4)))
            continue;
        (isUsbDevice(name) ? usb : rest).append(name);
    }
    std::sort(usb.begin(), usb.end(), naturalLess);
    std::sort(rest.begin(), rest.end(), naturalLess);
    return usb + rest;
}

void PortMap::refresh()
{
    m_devices.clear();
    m_fromEnvironment = false;
    ParseResult parsed;
#ifndef Q_OS_WIN
    m_fromEnvironment = qEnvironmentVariableIsSet(kEnvironmentVariable);
    if (m_fromEnvironment) {
        parsed = parse(qEnvironmentVariable(kEnvironmentVariable));
        m_devices = parsed.devices;
    } else {
        QMap<QString, QString> locationByName;
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports)
            locationByName.insert(info.portName(), info.systemLocation());
        const QStringList ordered = orderDevices(locationByName.keys());
        for (int i = 0; i < ordered.size(); ++i)
            m_devices.insert(i + 1, locationByName.value(ordered.at(i)));
    }
#endif
    logChanges(parsed.rejected, parsed.reasons);
}

void PortMap::logChanges(QStringList rejected, const QStringList &reasons)
{
    if (m_logged && m_devices == m_loggedDevices && m_fromEnvironment == m_loggedFromEnvironment
        && rejected == m_loggedRejected)
        return;
    m_logged = true;
    m_loggedDevices = m_devices;
    m_loggedFromEnvironment = m_fromEnvironment;
    m_loggedRejected = rejected;
    const QLatin1String variable(kEnvironmentVariable);
    // Maps are taken afresh many times a minute (by each port and each round of a
    // scan): a bad entry is named once, and again only once the entries change.
    static QStringList s_warnedRejected;
    if (rejected != s_warnedRejected) {
        s_warnedRejected = rejected;
    } else {
        rejected.clear();
    }
    for (qsizetype i = 0; i < rejected.size(); ++i) {
        qCWarning(lcSerial).noquote() << QStringLiteral("%1: skipping \"%2\": %3")
                                             .arg(variable, rejected.at(i), reasons.value(i));
    }
    if (m_fromEnvironment) {
        qCDebug(lcSerial).noquote() << QStringLiteral("port map from %1: %2 port(s)")
                                           .arg(variable)
                                           .arg(m_devices.size());
    } else {
        qCDebug(lcSerial) << "port map from the devices present:" << m_devices;
    }
}

QString PortMap::devicePath(const QString &comName) const
{
#ifdef Q_OS_WIN
    return comName;
#else
    const int number = comNumber(comName);
    return number > 0 ? m_devices.value(number) : QString();
#endif
}
