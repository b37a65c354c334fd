#include "hextokenreader.h"

#include "hexrecordinterpreter.h"

#include <QIODevice>

namespace {

constexpr qint64 kChunkBytes = qint64(64) * 1024; // bytes read from the device at a time
constexpr QChar kLineFeed = u'\n';
constexpr QChar kCarriageReturn = u'\r';
constexpr QChar kRecordMark = u':';

} // namespace

HexTokenReader::HexTokenReader(QIODevice& device, qint64 maxBytes)
    : m_device(device),
      m_maxBytes(maxBytes),
      m_decoder(QStringConverter::Utf8),
      m_chunk(kChunkBytes, Qt::Uninitialized)
{
}

bool HexTokenReader::refill()
{
    if (m_stop != Status::Token)
        return false;
    const qint64 count = m_device.read(m_chunk.data(), kChunkBytes);
    if (count < 0) {
        m_stop = Status::ReadError;
        return false;
    }
    if (count == 0) {
        m_stop = Status::End;
        return false;
    }
    m_bytesRead += count;
    if (m_bytesRead > m_maxBytes) {
        m_stop = Status::TooLarge;
        return false;
    }

    const QByteArrayView bytes(m_chunk.constData(), count);
    if (!m_encodingKnown) {
        // Only a byte order mark at the very start chooses another encoding.
        m_encodingKnown = true;
        if (const auto encoding = QStringConverter::encodingForData(bytes))
            m_decoder = QStringDecoder(*encoding);
    }
    m_text.resize(m_decoder.requiredSpace(count));
    const QChar* end = m_decoder.appendToBuffer(m_text.data(), bytes);
    m_text.resize(end - m_text.constData());
    m_pos = 0;
    return true;
}

void HexTokenReader::skipSpace()
{
    while (m_pos < m_text.size()) {
        const QChar ch = m_text.at(m_pos);
        if (!ch.isSpace())
            return;
        // CR LF ends one line, and so does a CR or an LF alone.
        if (ch == kCarriageReturn || (ch == kLineFeed && !m_afterCarriageReturn))
            ++m_line;
        m_afterCarriageReturn = ch == kCarriageReturn;
        ++m_pos;
    }
}

HexTokenReader::Status HexTokenReader::next(QString& token)
{
    token.clear();
    m_markCutOff = false;
    // White space before the token, across as many chunks as it takes.
    for (;;) {
        skipSpace();
        if (m_pos < m_text.size())
            break;
        if (!refill())
            return m_stop;
    }
    m_afterCarriageReturn = false;
    m_tokenLine = m_line;
    // The token up to the next white space or the end of the text; only its
    // significant characters are kept, and whether a ':' was among the others.
    for (;;) {
        const qsizetype start = m_pos;
        while (m_pos < m_text.size() && !m_text.at(m_pos).isSpace())
            ++m_pos;
        const qsizetype room = qMax<qsizetype>(HexRecordInterpreter::kSignificantChars - token.size(), 0);
        const qsizetype kept = qMin(room, m_pos - start);
        token.append(m_text.constData() + start, kept);
        if (!m_markCutOff) {
            const QStringView dropped(m_text.constData() + start + kept, m_pos - start - kept);
            m_markCutOff = dropped.contains(kRecordMark);
        }
        if (m_pos < m_text.size())
            return Status::Token;
        if (!refill())
            return m_stop == Status::End ? Status::Token : m_stop;
    }
}
