#include "progressview.h"

#include "instrumentprotocol.h"

#include <QIODevice>

#include <chrono>
#include <cmath>

namespace {

constexpr int kTenths = 10;
constexpr int kPercent = 100;
constexpr int kRedrawMs = 100;           // a terminal is redrawn at most this often
constexpr int kLineBitsPerByte = 10;     // on the line: start bit, 8 data bits, stop bit
constexpr int kSecondsPerMinute = 60;
constexpr int kSecondsDigits = 2;
constexpr int kDecimalBase = 10;
constexpr int kCommandBytes = 8;         // "@w#####;"
constexpr int kBlockLineBytes = InstrumentProtocol::kAddressBytes + InstrumentProtocol::kBlockBytes;
constexpr double kBitsPerKilobit = 1000.0;
const QString kCursorUpFormat = QStringLiteral("\x1b[%1A"); // cursor up n lines
const QString kClearLine = QStringLiteral("\r\x1b[K");       // to column 0, clear to the end

QString minutesAndSeconds(qint64 seconds)
{
    return QStringLiteral("%1:%2")
        .arg(seconds / kSecondsPerMinute)
        .arg(seconds % kSecondsPerMinute, kSecondsDigits, kDecimalBase, QLatin1Char('0'));
}

} // namespace

ProgressView::ProgressView(QIODevice &output, bool terminal)
    : m_output(output)
    , m_terminal(terminal)
{
}

int ProgressView::addRow(const QString &label, int blockTotal)
{
    Row row;
    row.label = label;
    row.total = blockTotal;
    m_rows.append(row);
    if (m_terminal)
        redraw(true);
    return static_cast<int>(m_rows.size()) - 1;
}

void ProgressView::update(int row, const Progress &progress)
{
    if (row < 0 || row >= m_rows.size())
        return;
    Row &entry = m_rows[row];
    const int done = progress.done;
    entry.done = done;
    entry.elapsedMs = progress.elapsedMs;
    if (m_terminal) {
        redraw(false);
        return;
    }
    const int tenth = entry.total > 0 ? done * kTenths / entry.total : kTenths;
    if (tenth <= entry.lastTenth || tenth >= kTenths)
        return; // 100 % is said by the closing line
    if (m_output.bytesToWrite() > 0)
        return; // the reader is behind: the step is said later, if it is still news
    entry.lastTenth = tenth;
    write(QStringLiteral("%1: %2% (%3/%4 blocks)\n")
              .arg(entry.label)
              .arg(tenth * kPercent / kTenths)
              .arg(done)
              .arg(entry.total));
}

void ProgressView::finishRow(int row, const QString &text)
{
    if (row < 0 || row >= m_rows.size())
        return;
    m_rows[row].finalText = text;
    if (m_terminal)
        redraw(true);
    else
        write(text + QLatin1Char('\n'));
}

void ProgressView::showLine(const QString &text)
{
    if (!m_terminal) {
        write(text + QLatin1Char('\n'));
        return;
    }
    // The line goes where the first live row stands; the live rows follow below it.
    QString lineText;
    if (m_drawnRows > 0)
        lineText += kCursorUpFormat.arg(m_drawnRows);
    lineText += kClearLine + text + QLatin1Char('\n');
    write(lineText);
    m_drawnRows = 0;
    redraw(true);
}

QString ProgressView::liveText(const Row &row)
{
    if (!row.finalText.isEmpty())
        return row.finalText;
    QString text = QStringLiteral("%1: %2/%3 blocks").arg(row.label).arg(row.done).arg(row.total);
    if (row.done > 0 && row.elapsedMs > 0) {
        const double seconds = std::chrono::duration<double>(std::chrono::milliseconds(row.elapsedMs)).count();
        const double bits = static_cast<double>(kCommandBytes + row.done * kBlockLineBytes) * kLineBitsPerByte;
        const auto left = static_cast<qint64>(std::llround(seconds * (row.total - row.done) / row.done));
        text += QStringLiteral(", %1 kbit/s, %2 left")
                    .arg(bits / seconds / kBitsPerKilobit, 0, 'f', 1)
                    .arg(minutesAndSeconds(left));
    }
    return text;
}

void ProgressView::redraw(bool force)
{
    if (!force && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < kRedrawMs)
        return;
    // While the terminal has not taken the last drawing, a new one would only wait
    // behind it: skipped, the rows and what is on screen stay as they were.
    if (!force && m_output.bytesToWrite() > 0)
        return;
    m_sinceDraw.start();
    QString text;
    if (m_drawnRows > 0)
        text += kCursorUpFormat.arg(m_drawnRows);
    for (qsizetype index = m_settledRows; index < m_rows.size(); ++index)
        text += kClearLine + liveText(m_rows.at(index)) + QLatin1Char('\n');
    // The line below the rows is cleared too: a "^C" the terminal echoed there goes.
    text += kClearLine;
    // Finished rows at the top are on screen for good.
    while (m_settledRows < m_rows.size() && !m_rows.at(m_settledRows).finalText.isEmpty())
        ++m_settledRows;
    m_drawnRows = static_cast<int>(m_rows.size()) - m_settledRows;
    write(text);
}

void ProgressView::write(const QString &text)
{
    m_output.write(text.toUtf8());
}
