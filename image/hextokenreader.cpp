#include "hextokenreader.h"

#include "hexrecordinterpreter.h"

#include <QIODevice>

namespace {

constexpr qint64 kChunkBytes = qint64(64) * 1024; // bytes read from the device at a time

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

HexTokenReader::Status HexTokenReader::next(QString& token)
{
    token.clear();
    // White space before the token, across as many chunks as it takes.
    for (;;) {
        while (m_pos < m_text.size() && m_text.at(m_pos).isSpace())
            ++m_pos;
        if (m_pos < m_text.size())
            break;
        if (!refill())
            return m_stop;
    }
    // The token up to the next white space or the end of the text; only its
    // significant characters are kept.
    for (;;) {
        const qsizetype start = m_pos;
        while (m_pos < m_text.size() && !m_text.at(m_pos).isSpace())
            ++m_pos;
        const qsizetype room = HexRecordInterpreter::kSignificantChars - token.size();
        if (room > 0)
            token.append(m_text.constData() + start, qMin(room, m_pos - start));
        if (m_pos < m_text.size())
            return Status::Token;
        if (!refill())
            return m_stop == Status::End ? Status::Token : m_stop;
    }
}
