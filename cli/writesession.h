#pragma once

#include "progressview.h"
#include "recordkeeper.h"

#include <QObject>

class FlashJob;
class QIODevice;

// What a person and the record see of the writes of one run: a progress row per
// write, closed by its closing line, and the write's record once it is over. Used
// alike by one write, by --all and by station mode.
class WriteSession : public QObject
{
    Q_OBJECT

public:
    // human: where progress and messages go (a terminal gets live rows); out, err,
    // json, log: as for RecordKeeper.
    WriteSession(QIODevice &human, bool humanIsTerminal, QIODevice &out, bool outIsTerminal, QIODevice &err,
                 bool json, QIODevice *log, bool journal, QObject *parent = nullptr);
    ~WriteSession() override;

    WriteSession(const WriteSession &) = delete;
    WriteSession &operator=(const WriteSession &) = delete;

    // Follows the job: its row, then its closing line and record when it finishes.
    void follow(FlashJob *job);
    // A line of its own between the rows.
    void showLine(const QString &text);
    // A record of a port that was not written (busy, refused, already current), with
    // the line a person reads about it.
    void record(const InstrumentReport &report, const QString &message);
    // The live rows are done: JSON lines held back go out.
    void finish();
    bool recordLost() const { return m_records.recordLost(); }
    int running() const { return m_running; }

signals:
    // A followed job has finished and been recorded.
    void jobDone(FlashJob *job);

private:
    ProgressView m_view;
    RecordKeeper m_records;
    int m_running = 0;
};
