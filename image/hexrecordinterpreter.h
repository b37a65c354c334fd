#pragma once

#include "flashimage.h"

#include <memory>

class QStringView;

// Interprets the white-space separated tokens of an Intel HEX file, one at a
// time and in file order, into a working copy of a flash image. The copy starts
// as the image and end address handed to the constructor; the caller takes it
// over only when the whole file was read and accepted.
//
// The loader reads a deliberately small part of the format: records start with
// ':'; only data (00) and extended linear address (04) records are used, and
// data is kept only while the extended linear address is 0, so data records
// before the first type-04 record are dropped. Checksums are not read. A field
// that does not convert as base-16 number gets a default: byte count and record
// address 0, a byte field the previous byte value, a record type counts as data.
//
// A data byte at an address outside the image refuses the whole file: the
// interpreter stops and ignores every further token.
class HexRecordInterpreter
{
public:
    enum class State {
        Interpreting, // all bytes so far fell inside the image
        Refused       // a data byte fell outside the image; later tokens are ignored
    };

    HexRecordInterpreter(const FlashImage& image, int imageEnd);
    ~HexRecordInterpreter();
    HexRecordInterpreter(const HexRecordInterpreter&) = delete;
    HexRecordInterpreter& operator=(const HexRecordInterpreter&) = delete;

    void interpret(QStringView token);

    State state() const { return m_state; }
    const FlashImage& image() const { return *m_image; }
    // End of the last data record that was stored (its address plus its stored
    // byte count minus 1), or the constructor's value if none was.
    int imageEnd() const { return m_imageEnd; }

private:
    void interpretData(QStringView token, qint32 address, qint32 byteCount);

    std::unique_ptr<FlashImage> m_image; // 260 kB: kept off the stack
    int m_imageEnd;
    qint32 m_upperAddress;
    qint32 m_lastByteValue;
    State m_state = State::Interpreting;
};
