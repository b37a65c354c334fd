#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QtGlobal>

class QIODevice;

// Reads the white-space separated tokens of a HEX file's text from a device,
// with bounded memory whatever the text holds: the bytes are read in chunks,
// and of each token only the characters the record interpreter looks at
// (HexRecordInterpreter::kSignificantChars) are kept.
//
// The text is split exactly as QTextStream's string extraction splits it:
// the encoding is taken from a byte order mark at the start (UTF-8, UTF-16 or
// UTF-32, either byte order), UTF-8 otherwise; undecodable bytes become
// U+FFFD; every character for which QChar::isSpace() holds separates tokens.
// Lines are counted as they go by: a line ends at LF, CR LF or a lone CR.
class HexTokenReader
{
public:
    enum class Status {
        Token,     // the next token was read
        End,       // the text has no more tokens
        TooLarge,  // the device holds more than maxBytes bytes; reading stopped there
        ReadError  // the device failed to deliver its bytes
    };

    HexTokenReader(QIODevice& device, qint64 maxBytes);

    // The next token's significant characters, or why there is none. After
    // End, TooLarge or ReadError every further call gives the same status.
    Status next(QString& token);
    // The 1-based line the last token stands on.
    int line() const { return m_tokenLine; }
    // A ':' stood among the last token's characters that were not kept.
    bool recordMarkCutOff() const { return m_markCutOff; }

private:
    // Decodes the device's next chunk of bytes into m_text. False when there
    // is none; m_stop then tells why.
    bool refill();
    // Skips white space from m_pos on, counting the line ends in it.
    void skipSpace();

    QIODevice& m_device;
    const qint64 m_maxBytes;
    qint64 m_bytesRead = 0;
    bool m_encodingKnown = false;
    QStringDecoder m_decoder;
    QByteArray m_chunk;
    QString m_text;       // the decoded chunk
    qsizetype m_pos = 0;  // next character of m_text to look at
    Status m_stop = Status::Token; // why reading ended, once it has
    int m_line = 1;                // the line m_pos stands on
    bool m_afterCarriageReturn = false; // the last character read was a CR
    int m_tokenLine = 1;
    bool m_markCutOff = false;
};
