// The records of zorbelflash on standard output and in the log file.

#include "recordkeeper.h"

#include "instrumentreport.h"
#include "recordjournal.h"
#include "systemjournal.h"

#include <QIODevice>

#include <utility>

RecordKeeper::RecordKeeper(const Streams &streams, bool json, QIODevice *log, bool journal)
    : m_out(streams.out)
    , m_err(streams.err)
    , m_json(json)
    , m_log(log)
    , m_journal(journal)
{
}

void RecordKeeper::setHoldBack(bool hold)
{
    m_holdBack = hold;
    if (!hold)
        flushHeld();
}

void RecordKeeper::keep(const InstrumentReport &report, const QString &message)
{
    const QByteArray line = report.toJsonLine();
    if (m_log != nullptr)
        write(*m_log, line, QStringLiteral("the log file"), report.port);
    if (m_journal && !SystemJournal::send(RecordJournal::recordEntry(report, message))) {
        m_recordLost = true;
        m_err.write(QStringLiteral("zorbelflash: the record of %1 could not be written to the journal\n")
                        .arg(report.port)
                        .toUtf8());
    }
    if (!m_json)
        return;
    // A live display on the same terminal would be torn by lines written into it.
    if (m_holdBack)
        m_held.append(line);
    else
        write(m_out, line, QStringLiteral("standard output"), report.port);
}

void RecordKeeper::flushHeld()
{
    const QList<QByteArray> held = std::exchange(m_held, {});
    for (const QByteArray &line : held)
        write(m_out, line, QStringLiteral("standard output"), QString());
}

bool RecordKeeper::write(QIODevice &stream, const QByteArray &line, const QString &where, const QString &port)
{
    if (stream.write(line) == line.size())
        return true;
    m_recordLost = true;
    m_err.write(QStringLiteral("zorbelflash: the record%1 could not be written to %2 (%3)\n")
                    .arg(port.isEmpty() ? QString() : QStringLiteral(" of ") + port, where, stream.errorString())
                    .toUtf8());
    return false;
}
