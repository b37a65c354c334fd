#include "hexrecordinterpreter.h"

#include <QStringView>

#include <algorithm>
#include <numeric>

namespace {

// Character positions and lengths within one record token.
constexpr QChar kRecordMark = u':';
// Ctrl-Z, which ends the text of a file from older DOS and Windows tools.
constexpr QChar kDosEndOfFileMark = u'\x1A';
constexpr qsizetype kByteCountPos = 1;
constexpr qsizetype kByteCountLength = 2;      // characters
constexpr qsizetype kAddressPos = 3;
constexpr qsizetype kAddressLength = 4;        // characters
constexpr qsizetype kTypePos = 7;
constexpr qsizetype kTypeLength = 2;           // characters
constexpr qsizetype kUpperAddressPos = 9;
constexpr qsizetype kUpperAddressLength = 4;   // characters
constexpr qsizetype kSegmentPos = 9;
constexpr qsizetype kSegmentLength = 4;        // characters
constexpr qsizetype kDataPos = 9;
constexpr qsizetype kByteFieldLength = 2;      // characters per byte
constexpr qsizetype kChecksumLength = 2;       // characters

constexpr int kRecordTypeData = 0x00;
constexpr int kRecordTypeEndOfFile = 0x01;
constexpr int kRecordTypeExtendedSegmentAddress = 0x02;
constexpr int kRecordTypeExtendedLinearAddress = 0x04;
constexpr qint32 kMaxByteCount = 0xFF;          // two hex digits
constexpr int kChecksumModulus = 0x100;         // the bytes of a sound record add up to 0 modulo this

static_assert(HexRecordInterpreter::kMaxRecordChars
                      == kDataPos + kByteFieldLength * kMaxByteCount + kChecksumLength,
              "the longest record holds 255 data bytes and the checksum");

// Data is kept only while the extended linear address is 0. Before the first
// type-04 record it is 0, as the format defines it.
constexpr qint32 kInitialUpperAddress = 0;
constexpr qint32 kStoredUpperAddress = 0;
constexpr qint32 kStoredSegment = 0;

constexpr int kHexBase = 16;
// ASCII letters differ from their upper case in this bit alone.
constexpr char16_t kLowerCaseBit = 0x20;
// Value of the hex digit 'a' (or 'A').
constexpr int kHexLetterValue = 10;

// The characters at [pos, pos + length) of token; shorter or empty where the
// token ends early.
inline QStringView field(QStringView token, qsizetype pos, qsizetype length)
{
    if (pos >= token.size())
        return {};
    return {token.data() + pos, qMin(length, token.size() - pos)};
}

// The value of one hex digit of either case, or -1.
inline int hexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    const char16_t lower = c | kLowerCaseBit; // maps only 'A'-'F' onto 'a'-'f'
    if (lower >= u'a' && lower <= u'f')
        return lower - u'a' + kHexLetterValue;
    return -1;
}

// The value of a field of hex digits (checked before); 0 for an empty field.
inline qint32 hexValue(QStringView digits)
{
    return std::accumulate(digits.begin(), digits.end(), qint32(0), [](qint32 value, QChar ch) {
        return value * kHexBase + hexDigitValue(ch.unicode());
    });
}

bool isInsideImage(qint32 address)
{
    return address >= 0 && address < kFlashImageSize;
}

// A whole end-of-file record that nothing in it refuses: hex digits only after
// its ':', its type field 01, and no more characters than its byte count allows.
bool isEndOfFileRecord(QStringView record)
{
    if (record.size() < kTypePos + kTypeLength || record.size() > HexRecordInterpreter::kMaxRecordChars
        || record.front() != kRecordMark)
        return false;
    const QStringView digits = record.sliced(1);
    if (!std::all_of(digits.begin(), digits.end(), [](QChar ch) { return hexDigitValue(ch.unicode()) >= 0; }))
        return false;
    const qint32 byteCount = hexValue(field(record, kByteCountPos, kByteCountLength));
    return record.size() <= kDataPos + kByteFieldLength * byteCount + kChecksumLength
           && hexValue(field(record, kTypePos, kTypeLength)) == kRecordTypeEndOfFile;
}

} // namespace

HexRecordInterpreter::HexRecordInterpreter()
    : m_image(std::make_unique<FlashImage>()),
      m_upperAddress(kInitialUpperAddress)
{
    m_image->fill(kErasedByte);
}

HexRecordInterpreter::~HexRecordInterpreter() = default;

void HexRecordInterpreter::refuse(HexRefusal refusal, int line)
{
    m_state = refusal == HexRefusal::RecordCutOff ? State::CutOff : State::Refused;
    m_refusal = refusal;
    m_refusalLine = line;
}

void HexRecordInterpreter::interpret(QStringView token, int line, bool markCutOff)
{
    if (m_state != State::Interpreting || token.isEmpty())
        return;
    m_lastLine = line;
    // A Ctrl-Z after the end-of-file record ends the text, whatever comes after it
    // (older tools pad their files with it).
    const qsizetype endMark = token.indexOf(kDosEndOfFileMark);
    if (endMark == 0 && m_sawEndOfFile) {
        m_state = State::Ended;
        return;
    }
    if (endMark > 0 && !m_sawEndOfFile && isEndOfFileRecord(token.first(endMark))) {
        interpretRecord(token.first(endMark), line);
        m_state = State::Ended;
        return;
    }
    if (token.front() != kRecordMark) {
        // Whatever precedes a record on its line (a NUL byte, a comment glued to it)
        // would hide that record: the file is not what it seems.
        if (markCutOff || token.contains(kRecordMark))
            refuse(HexRefusal::TextBeforeRecord, line);
        return;
    }
    if (token.size() == 1)
        return; // a lone ':'
    if (m_sawEndOfFile) {
        // A second file glued to the first: the image would be a mix of both.
        refuse(HexRefusal::RecordAfterEnd, line);
        return;
    }
    interpretRecord(token, line);
}

// One token that starts with ':' and holds more than it, before the end-of-file
// record or as that record.
void HexRecordInterpreter::interpretRecord(QStringView token, int line)
{
    if (token.size() > kMaxRecordChars) {
        refuse(HexRefusal::RecordTooLong, line);
        return;
    }
    if (!checkRecordCharacters(token, line))
        return;

    const qint32 byteCount = hexValue(field(token, kByteCountPos, kByteCountLength));
    if (token.size() > kDataPos + kByteFieldLength * byteCount + kChecksumLength) {
        refuse(HexRefusal::RecordTooLong, line);
        return;
    }
    countChecksum(token, byteCount);
    const qint32 address = hexValue(field(token, kAddressPos, kAddressLength));

    const QStringView typeField = field(token, kTypePos, kTypeLength);
    if (!typeField.isEmpty()) {
        const qint32 type = hexValue(typeField);
        if (type == kRecordTypeExtendedLinearAddress) {
            const QStringView upper = field(token, kUpperAddressPos, kUpperAddressLength);
            if (!upper.isEmpty())
                m_upperAddress = hexValue(upper);
            return;
        }
        if (type == kRecordTypeExtendedSegmentAddress) {
            // A segment would move the data that follows to another address.
            if (hexValue(field(token, kSegmentPos, kSegmentLength)) != kStoredSegment)
                refuse(HexRefusal::SegmentNotZero, line);
            return;
        }
        if (type == kRecordTypeEndOfFile) {
            m_sawEndOfFile = true;
            return;
        }
        if (type != kRecordTypeData)
            return; // start addresses, unknown types
    }
    interpretData(token, address, byteCount);
}

// Every character after the record mark must be a hex digit. False when the
// record refused the file.
bool HexRecordInterpreter::checkRecordCharacters(QStringView token, int line)
{
    for (qsizetype i = 1; i < token.size(); ++i) {
        const QChar ch = token.at(i);
        if (hexDigitValue(ch.unicode()) >= 0)
            continue;
        refuse(ch == kRecordMark ? HexRefusal::TwoRecordsOnOneLine : HexRefusal::BadCharacter, line);
        return false;
    }
    return true;
}

// A record of whole byte fields whose bytes, checksum included, add up to 0; a
// record without its full checksum counts as wrong.
void HexRecordInterpreter::countChecksum(QStringView token, qint32 byteCount)
{
    const qsizetype fullLength = kDataPos + kByteFieldLength * byteCount + kChecksumLength;
    bool sound = token.size() == fullLength;
    if (sound) {
        int sum = 0;
        for (qsizetype pos = kByteCountPos; pos < fullLength; pos += kByteFieldLength)
            sum += hexValue(field(token, pos, kByteFieldLength));
        sound = sum % kChecksumModulus == 0;
    }
    if (sound)
        return;
    ++m_badChecksums;
    if (m_badChecksumLines.size() < HexLoadFindings::kListedChecksumLines)
        m_badChecksumLines.append(m_lastLine);
}

void HexRecordInterpreter::interpretData(QStringView token, qint32 address, qint32 byteCount)
{
    // Every data record must hold as many byte fields as it announces (the
    // checksum position may serve as the last one), inside the stored window
    // or not: a shorter one is what a file cut off in the middle looks like.
    const qsizetype dataChars = qMax<qsizetype>(token.size() - kDataPos, 0);
    if (dataChars < kByteFieldLength * byteCount) {
        refuse(HexRefusal::RecordCutOff, m_lastLine);
        return;
    }
    if (m_upperAddress != kStoredUpperAddress)
        return;

    FlashImage& working = *m_image;
    const qint32 endAddress = address + byteCount; // one past the record's last byte
    for (qint32 byteAddress = address; byteAddress < endAddress; ++byteAddress) {
        if (!isInsideImage(byteAddress)) {
            refuse(HexRefusal::OutsideImage, m_lastLine);
            return;
        }
        const qsizetype k = byteAddress - address;
        working[byteAddress] = hexValue(field(token, kDataPos + kByteFieldLength * k, kByteFieldLength));
        m_imageEnd = qMax(m_imageEnd, byteAddress);
        if (byteAddress > kImageEndLimit && m_firstLineBeyondLimit == HexLoadFindings::kNoLine)
            m_firstLineBeyondLimit = m_lastLine;
    }
}
