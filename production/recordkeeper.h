#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class InstrumentReport;
class QIODevice;

// Where the records of zorbelflash go: one JSON line per instrument on standard output
// (--json) and in the log file (--log), and one entry in the system's journal
// (--journal, see RecordJournal). While a live display shares the terminal with
// the JSON lines, those are held back until the display is done. A record that cannot
// be written is named on standard error and remembered (exit status 7).
class RecordKeeper
{
public:
    struct Streams
    {
        QIODevice &out; // standard output (used with json)
        QIODevice &err; // for the message about a record that could not be kept
    };

    // log: the log file or null; journal: each record also goes to the system's journal.
    RecordKeeper(const Streams &streams, bool json, QIODevice *log, bool journal = false);

    // While on, the JSON lines for standard output wait; turning it off lets them out.
    void setHoldBack(bool hold);
    // message: the line a person reads about it, for the journal.
    void keep(const InstrumentReport &report, const QString &message);
    // The JSON lines held back go out now (the live display is idle); holding goes on.
    void flushHeld();
    bool recordLost() const { return m_recordLost; }

private:
    bool write(QIODevice &stream, const QByteArray &line, const QString &where, const QString &port);

    QIODevice &m_out;
    QIODevice &m_err;
    bool m_json;
    QIODevice *m_log;
    bool m_journal;
    bool m_holdBack = false;
    bool m_recordLost = false;
    QList<QByteArray> m_held;
};
