// The records as structured journal entries.

#include "recordjournal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr const char *kFieldPrefix = "ZORBEL_";

QByteArray field(const QByteArray &name, const QByteArray &value)
{
    return name + '=' + value;
}

// A JSON value as its line has it: a string's text, a number's digits.
QByteArray textOf(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().toUtf8();
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2); // without the brackets
}

QList<QByteArray> common(const QByteArray &messageId, int priority, const QString &message)
{
    return {field("MESSAGE", message.toUtf8()), field("PRIORITY", QByteArray::number(priority)),
            field("MESSAGE_ID", messageId), field("SYSLOG_IDENTIFIER", RecordJournal::kIdentifier)};
}

} // namespace

QList<QByteArray> RecordJournal::recordEntry(const InstrumentReport &report, const QString &message)
{
    QList<QByteArray> entry = common(messageId(report.outcome), priority(report.outcome), message);
    const QJsonObject object = report.toJson();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!it.value().isNull())
            entry.append(field(kFieldPrefix + it.key().toUpper().toUtf8(), textOf(it.value())));
    }
    return entry;
}

QList<QByteArray> RecordJournal::stationEntry(StationEvent event, const QString &message, const QList<Field> &fields)
{
    // Fixed: a journal query by MESSAGE_ID finds every station's starts and ends.
    const QByteArray id = event == StationEvent::Started ? QByteArrayLiteral("02b4e53df5c44b718f70b34fec7fb3cb")
                                                         : QByteArrayLiteral("c3fd75860d3c4a55a93533ad24b523b8");
    QList<QByteArray> entry = common(id, kPriorityInfo, message);
    for (const Field &item : fields)
        entry.append(field(kFieldPrefix + item.name, item.value.toUtf8()));
    return entry;
}

QByteArray RecordJournal::messageId(InstrumentReport::Outcome outcome)
{
    // One fixed identifier per outcome; never to be changed once a line queries by it.
    switch (outcome) {
    case InstrumentReport::Outcome::Written:
        return QByteArrayLiteral("0143e342102a461fa8d7587b657ba5ca");
    case InstrumentReport::Outcome::Current:
        return QByteArrayLiteral("03807652d09c4231882c72e1babb6d32");
    case InstrumentReport::Outcome::WrongVersion:
        return QByteArrayLiteral("bb30cb6327004774883cfbb8b43f706c");
    case InstrumentReport::Outcome::NoRestart:
        return QByteArrayLiteral("09c5a3c2a9264fa8940989dee6586166");
    case InstrumentReport::Outcome::Unchanged:
        return QByteArrayLiteral("c86a43b876864fc4afcd8b5af4749d21");
    case InstrumentReport::Outcome::NoAnswer:
        return QByteArrayLiteral("348fdffbddd7447f81341ceb81cc7edd");
    case InstrumentReport::Outcome::ConnectionLost:
        return QByteArrayLiteral("c63c184e038a47d598c1a31fe0686f0d");
    case InstrumentReport::Outcome::LineNoise:
        return QByteArrayLiteral("11fdd7fefec44e428086c4a1759c9654");
    case InstrumentReport::Outcome::Interrupted:
        return QByteArrayLiteral("76de02cf1d3043e794cad9816e9cd682");
    case InstrumentReport::Outcome::Busy:
        return QByteArrayLiteral("14c77f6e3ce8467a926bc1fba3f4f97e");
    case InstrumentReport::Outcome::PermissionDenied:
        return QByteArrayLiteral("e01d787384d24bb291ff6d96326551ed");
    case InstrumentReport::Outcome::NotPossible:
        break;
    }
    return QByteArrayLiteral("c6f950a4a1aa4235bbabb3ab9bfcf73b");
}

int RecordJournal::priority(InstrumentReport::Outcome outcome)
{
    switch (outcome) {
    case InstrumentReport::Outcome::Written:
    case InstrumentReport::Outcome::Current:
        return kPriorityInfo;
    case InstrumentReport::Outcome::WrongVersion:
    case InstrumentReport::Outcome::NoRestart:
        return kPriorityWarning;
    default:
        break;
    }
    return kPriorityError;
}
