#pragma once

#include "flashimage.h"

#include <QtGlobal>

#include <memory>

class QStringView;

// Interprets the white-space separated tokens of one Intel HEX file, one at a
// time and in file order, into an image of its own that starts fresh (every
// entry kErasedByte, no end address). The caller takes the image over only
// when the whole file was read and accepted.
//
// The loader reads a deliberately small part of the format: records start with
// ':'; only data (00), end-of-file (01) and extended linear address (04)
// records are used, and data is kept only while the extended linear address is
// 0, so data records before the first type-04 record are dropped. Checksums are
// not read, and records after an end-of-file record are still interpreted. A
// field that does not convert as base-16 number gets a default: byte count and
// record address 0, a byte field the previous byte value, a record type counts
// as data.
//
// Two things stop the interpretation and refuse the whole file, whatever
// follows: a data byte at an address outside the image, and a data record with
// fewer characters after its type field than its byte count needs (a file cut
// off inside a record).
class HexRecordInterpreter
{
public:
    enum class State {
        Interpreting, // nothing so far refuses the file
        Refused,      // a data byte fell outside the image; later tokens are ignored
        CutOff        // a data record was shorter than its byte count; later tokens are ignored
    };

    // The interpreter never looks past this many characters of a token: data
    // starts at position 9 and the two-digit byte count is at most 0xFF, so the
    // last byte field ends at position 9 + 2 * 255 - 1 = 518. A token cut down
    // to its first kSignificantChars characters is interpreted exactly as the
    // whole token.
    static constexpr qsizetype kSignificantChars = 519;

    HexRecordInterpreter();
    ~HexRecordInterpreter();
    HexRecordInterpreter(const HexRecordInterpreter&) = delete;
    HexRecordInterpreter& operator=(const HexRecordInterpreter&) = delete;

    void interpret(QStringView token);

    State state() const { return m_state; }
    const FlashImage& image() const { return *m_image; }
    // The highest address a data byte was stored at, or kImageEndUnset while
    // no byte was stored.
    int imageEnd() const { return m_imageEnd; }
    bool storedData() const { return m_imageEnd != kImageEndUnset; }
    // An end-of-file record (type 01) was met anywhere in the file.
    bool sawEndOfFile() const { return m_sawEndOfFile; }

private:
    void interpretData(QStringView token, qint32 address, qint32 byteCount);

    std::unique_ptr<FlashImage> m_image; // 260 kB: kept off the stack
    int m_imageEnd = kImageEndUnset;
    qint32 m_upperAddress;
    qint32 m_lastByteValue;
    bool m_sawEndOfFile = false;
    State m_state = State::Interpreting;
};
