// Progress rows and records of the writes of one zorbelflash run.

#include "writesession.h"

#include "flashjob.h"
#include "instrumenttexts.h"

WriteSession::WriteSession(QIODevice &human, bool humanIsTerminal, QIODevice &out, bool outIsTerminal,
                           QIODevice &err, bool json, QIODevice *log, bool journal, QObject *parent)
    : QObject(parent)
    , m_view(human, humanIsTerminal)
    , m_records({out, err}, json, log, journal)
{
    m_records.setHoldBack(json && m_view.isLive() && outIsTerminal);
}

WriteSession::~WriteSession()
{
    finish();
}

void WriteSession::follow(FlashJob *job)
{
    const int row = m_view.addRow(job->port(), job->blockTotal());
    ++m_running;
    connect(job, &FlashJob::progress, job,
            [this, row, job] { m_view.update(row, {job->blocksDone(), job->elapsedMs()}); });
    connect(job, &FlashJob::finished, job, [this, row, job] {
        const QString closing = InstrumentTexts::closing(*job);
        m_view.finishRow(row, closing);
        m_records.keep(job->report(), closing);
        if (--m_running == 0)
            m_records.flushHeld(); // the live rows are done: the records held back go out
        emit jobDone(job);
    });
}

void WriteSession::showLine(const QString &text)
{
    m_view.showLine(text);
}

void WriteSession::record(const InstrumentReport &report, const QString &message)
{
    m_records.keep(report, message);
    if (m_running == 0)
        m_records.flushHeld();
}

void WriteSession::finish()
{
    m_records.setHoldBack(false);
}
