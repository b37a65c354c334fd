#pragma once

#include "flashimage.h"
#include "hexloadfindings.h"

#include <QtGlobal>

#include <memory>

class QStringView;

// Interprets the white-space separated tokens of one Intel HEX file, one at a
// time and in file order, into an image of its own that starts fresh (every
// entry kErasedByte, no end address). The caller takes the image over only
// when the whole file was read and accepted.
//
// The loader reads a deliberately small part of the format: records are the
// tokens that start with ':'; other tokens are skipped. Only data (00),
// end-of-file (01) and extended linear address (04) records are used, and data
// is kept only while the extended linear address is 0, which it is until the
// first type-04 record (so a file without one is read as it stands). Types 03
// and 05 and unknown types are ignored, and so is an extended segment address
// (02) of 0000. Checksums do not decide anything (they are only counted when
// wrong). A lone ':' is harmless. Fields cut short by the end of the token are
// read as far as they go (":0" has count 0); a record without its type field
// counts as data.
//
// The end-of-file record ends the records: after it only words without ':', a
// lone ':' and a DOS end-of-file mark (Ctrl-Z) may follow. The mark, glued to the
// end-of-file record or at the start of a later word, ends the text: nothing
// after it is read. Before the end-of-file record a Ctrl-Z is an ordinary
// character (in a record, one that is no hex digit).
//
// Anything that would make the image differ from what the file says stops the
// interpretation and refuses the whole file, whatever follows: a ':' inside a
// token; a record with any character other than a hex digit after its ':'; a
// record longer than its byte count says; a data record with fewer data digits
// than its byte count (a file cut off inside a record); an extended segment
// address other than 0000; a data byte at an address outside the image; a
// record after the end-of-file record (two files glued together).
class HexRecordInterpreter
{
public:
    enum class State {
        Interpreting, // nothing so far refuses the file
        Refused,      // the file is refused (refusal() says why); later tokens are ignored
        CutOff,       // a data record was shorter than its byte count; later tokens are ignored
        Ended         // a Ctrl-Z after the end-of-file record ended the text; later tokens are ignored
    };

    // The longest record there can be: ':', count, address, type, 255 data bytes
    // and the checksum.
    static constexpr qsizetype kMaxRecordChars = 11 + 2 * 0xFF;
    // The interpreter never looks past this many characters of a token: one more
    // than the longest record, so that a longer one is seen to be too long. A token
    // cut down to its first kSignificantChars characters is interpreted exactly as
    // the whole token, given whether a ':' stood among the characters cut off.
    static constexpr qsizetype kSignificantChars = kMaxRecordChars + 1;

    HexRecordInterpreter();
    ~HexRecordInterpreter();
    HexRecordInterpreter(const HexRecordInterpreter&) = delete;
    HexRecordInterpreter& operator=(const HexRecordInterpreter&) = delete;

    // One token, found on the given 1-based line of the file. markCutOff: a ':'
    // stood among the token's characters past kSignificantChars.
    void interpret(QStringView token, int line, bool markCutOff = false);

    State state() const { return m_state; }
    // Why the file was refused (None while interpreting), and on which line.
    HexRefusal refusal() const { return m_refusal; }
    int refusalLine() const { return m_refusalLine; }
    // The line of the last token, or HexLoadFindings::kNoLine before the first.
    int lastLine() const { return m_lastLine; }
    // The line of the first record that stored a byte above kImageEndLimit, or
    // HexLoadFindings::kNoLine.
    int firstLineBeyondLimit() const { return m_firstLineBeyondLimit; }
    // Records whose checksum is missing or wrong, and the lines of the first ones.
    int badChecksums() const { return m_badChecksums; }
    const QList<int>& badChecksumLines() const { return m_badChecksumLines; }

    const FlashImage& image() const { return *m_image; }
    // The highest address a data byte was stored at, or kImageEndUnset while
    // no byte was stored.
    int imageEnd() const { return m_imageEnd; }
    bool storedData() const { return m_imageEnd != kImageEndUnset; }
    // An end-of-file record (type 01) was met anywhere in the file.
    bool sawEndOfFile() const { return m_sawEndOfFile; }

private:
    void interpretRecord(QStringView token, int line);
    bool checkRecordCharacters(QStringView token, int line);
    // Both for the token on m_lastLine.
    void countChecksum(QStringView token, qint32 byteCount);
    void interpretData(QStringView token, qint32 address, qint32 byteCount);
    void refuse(HexRefusal refusal, int line);

    std::unique_ptr<FlashImage> m_image; // 260 kB: kept off the stack
    int m_imageEnd = kImageEndUnset;
    qint32 m_upperAddress;
    bool m_sawEndOfFile = false;
    State m_state = State::Interpreting;
    HexRefusal m_refusal = HexRefusal::None;
    int m_refusalLine = HexLoadFindings::kNoLine;
    int m_lastLine = HexLoadFindings::kNoLine;
    int m_firstLineBeyondLimit = HexLoadFindings::kNoLine;
    int m_badChecksums = 0;
    QList<int> m_badChecksumLines;
};
