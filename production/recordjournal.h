#pragma once

#include "instrumentreport.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The records in the system's journal: one structured entry per record, with every
// field of its JSON line as ZORBEL_<NAME> (the same value; a null field is left out),
// the line a person reads as MESSAGE, a PRIORITY by what happened (written or current:
// info; written but not confirmed: warning; anything else: error), a fixed MESSAGE_ID
// per outcome and SYSLOG_IDENTIFIER=zorbelflash. A station's start and end are entries
// of their own.
class RecordJournal
{
public:
    static constexpr const char *kIdentifier = "zorbelflash";
    // syslog's levels, as the journal takes them
    static constexpr int kPriorityError = 3;
    static constexpr int kPriorityWarning = 4;
    static constexpr int kPriorityInfo = 6;

    enum class StationEvent { Started, Ended };

    // A field of an entry: its name without the ZORBEL_ prefix ("FILE") and its value.
    struct Field
    {
        QByteArray name;
        QString value;
    };

    // The entry of a record; message: what a person reads ("COM3: written, 188 blocks ...").
    static QList<QByteArray> recordEntry(const InstrumentReport &report, const QString &message);
    // The entry of a station's start or end: fields such as FILE, SHA256, EXPECTED_VERSION
    // at the start, the counts at the end.
    static QList<QByteArray> stationEntry(StationEvent event, const QString &message, const QList<Field> &fields);

    static QByteArray messageId(InstrumentReport::Outcome outcome);
    static int priority(InstrumentReport::Outcome outcome);
};
