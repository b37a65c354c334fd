#pragma once

#include <QList>

// What made a HEX load refuse a file, the first thing in file order.
enum class HexRefusal {
    None,                // the file was taken and is suitable
    TwoRecordsOnOneLine, // a record holds a second ':'
    TextBeforeRecord,    // a ':' stands inside a token that does not start with it
    BadCharacter,        // a record holds a character other than a hex digit
    RecordTooLong,       // a record has more characters than its byte count says
    RecordCutOff,        // a data record has fewer data digits than its byte count says
    SegmentNotZero,      // an extended segment address record (type 02) other than 0000
    RecordAfterEnd,      // a record after the end-of-file record (two files glued together)
    OutsideImage,        // a data byte at an address outside the flash image
    NoEndOfFileRecord,   // the file ends without an end-of-file record
    NoData,              // the file stores no data byte in the image
    TooLarge,            // the file is larger than the loader reads
    Unreadable,          // not a regular file, or it could not be opened or read
    NoSignature,         // taken, but the instrument's signature is not in place
    PastInstrumentEnd,   // taken, but it stores a byte above the instrument's last address
};

// The details of one HEX load beyond its verdict: where and why the file was refused,
// and the records whose checksum is wrong. Checksums never decide the verdict.
struct HexLoadFindings
{
    static constexpr int kNoLine = 0;
    static constexpr int kListedChecksumLines = 5;

    HexRefusal refusal = HexRefusal::None;
    // 1-based line of what refused the file, or kNoLine where no single line is to
    // blame (no data, too large, unreadable, no signature). For a missing end-of-file
    // record, the line of the file's last token. Lines end at LF, CR LF or a lone CR.
    int line = kNoLine;
    // Records read whose checksum is missing or does not add up, and the lines of the
    // first kListedChecksumLines of them. A lone ':' is no record.
    int badChecksums = 0;
    QList<int> badChecksumLines;
};
