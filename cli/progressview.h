#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>

class QIODevice;

// Progress of the writes, one row per instrument. On a terminal the rows are live lines
// redrawn in place (blocks done / total, bit rate, time left); otherwise a plain line is
// written at every 10 % and none in between. Rows may be added at any time; on a terminal
// the finished rows at the top stay as they are and only the rows below them are redrawn.
// Progress is never queued behind the output: while the output still holds bytes not
// written, redraws and percentage lines are skipped. Rows added or finished and lines
// shown are always written.
class ProgressView
{
public:
    ProgressView(QIODevice &output, bool terminal);

    bool isLive() const { return m_terminal; }
    // How far one row has got.
    struct Progress
    {
        int done = 0;         // blocks
        qint64 elapsedMs = 0; // since the row's write began
    };

    // A new row; returns its number.
    int addRow(const QString &label, int blockTotal);
    void update(int row, const Progress &progress);
    // The row's closing text (plain output: one line; terminal: the row's last state).
    void finishRow(int row, const QString &text);
    // A line of its own between the rows (terminal: above the rows still live).
    void showLine(const QString &text);

private:
    struct Row
    {
        QString label;
        int total = 0;
        int done = 0;
        qint64 elapsedMs = 0;
        int lastTenth = 0; // plain output: the last 10 % step written
        QString finalText; // set once the row is finished
    };

    static QString liveText(const Row &row);
    void redraw(bool force);
    void write(const QString &text);

    QIODevice &m_output;
    bool m_terminal;
    QList<Row> m_rows;
    int m_drawnRows = 0; // terminal: rows on screen above the cursor
    int m_settledRows = 0; // terminal: leading rows finished and drawn for good, not redrawn
    QElapsedTimer m_sinceDraw;
};
