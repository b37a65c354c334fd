#include "instrumentreport.h"

namespace {

constexpr int kSecondsDecimals = 3;
constexpr int kHexDigitsOfControl = 4;
constexpr int kHexBase = 16;
constexpr char16_t kFirstPrintable = 0x20;

// A JSON string literal, quotes included.
QByteArray jsonString(const QString &text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"':
            quoted += QStringLiteral("\\\"");
            break;
        case u'\\':
            quoted += QStringLiteral("\\\\");
            break;
        case u'\n':
            quoted += QStringLiteral("\\n");
            break;
        case u'\r':
            quoted += QStringLiteral("\\r");
            break;
        case u'\t':
            quoted += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < kFirstPrintable)
                quoted += QStringLiteral("\\u%1").arg(c.unicode(), kHexDigitsOfControl, kHexBase, QLatin1Char('0'));
            else
                quoted += c;
        }
    }
    quoted += QLatin1Char('"');
    return quoted.toUtf8();
}

} // namespace

QByteArray InstrumentReport::toJsonLine() const
{
    QByteArray line = "{";
    line += "\"port\":" + jsonString(port);
    line += ",\"device\":" + jsonString(device);
    line += ",\"firmware_before\":"
            + (firmwareBefore.isEmpty() ? QByteArray("null") : jsonString(firmwareBefore));
    line += ",\"file\":" + jsonString(file);
    line += ",\"sha256\":" + jsonString(QString::fromLatin1(sha256));
    line += ",\"blocks\":" + QByteArray::number(blocks);
    line += ",\"seconds\":" + QByteArray::number(seconds, 'f', kSecondsDecimals);
    line += ",\"outcome\":" + jsonString(outcomeName(outcome));
    line += "}\n";
    return line;
}

QString InstrumentReport::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Written:
        return QStringLiteral("written");
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

ExitStatus InstrumentReport::exitStatusFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Written:
        return ExitStatus::Success;
    case Outcome::NoAnswer:
        return ExitStatus::NoAnswer;
    case Outcome::ConnectionLost:
    case Outcome::LineNoise:
        return ExitStatus::ConnectionLost;
    case Outcome::Interrupted:
        return ExitStatus::Interrupted;
    case Outcome::Busy:
    case Outcome::PermissionDenied:
        return ExitStatus::PortUnavailable;
    case Outcome::NotPossible:
        break;
    }
    return ExitStatus::FileNotSuitable;
}

InstrumentReport::Outcome InstrumentReport::outcomeOf(FlashWriter::Outcome outcome)
{
    switch (outcome) {
    case FlashWriter::Outcome::Written:
        return Outcome::Written;
    case FlashWriter::Outcome::NoAnswer:
        return Outcome::NoAnswer;
    case FlashWriter::Outcome::ConnectionLost:
    case FlashWriter::Outcome::CommandNotSent: // nothing went out, but the port is as lost
        return Outcome::ConnectionLost;
    case FlashWriter::Outcome::LineNoise:
        return Outcome::LineNoise;
    case FlashWriter::Outcome::Interrupted:
        return Outcome::Interrupted;
    case FlashWriter::Outcome::NotPossible:
        break;
    }
    return Outcome::NotPossible;
}
