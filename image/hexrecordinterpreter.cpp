#include "hexrecordinterpreter.h"

#include <QString> // defines QStringView::toInt
#include <QStringView>

namespace {

// Character positions and lengths within one record token.
constexpr QChar kRecordMark = u':';
constexpr qsizetype kByteCountPos = 1;
constexpr qsizetype kByteCountLength = 2;      // characters
constexpr qsizetype kAddressPos = 3;
constexpr qsizetype kAddressLength = 4;        // characters
constexpr qsizetype kTypePos = 7;
constexpr qsizetype kTypeLength = 2;           // characters
constexpr qsizetype kUpperAddressPos = 9;
constexpr qsizetype kUpperAddressLength = 4;   // characters
constexpr qsizetype kDataPos = 9;
constexpr qsizetype kByteFieldLength = 2;      // characters per data byte

constexpr int kRecordTypeData = 0x00;
constexpr int kRecordTypeEndOfFile = 0x01;
constexpr int kRecordTypeExtendedLinearAddress = 0x04;
constexpr qint32 kMaxByteCount = 0xFF;          // two hex digits

static_assert(HexRecordInterpreter::kSignificantChars == kDataPos + kByteFieldLength * kMaxByteCount,
              "a token's significant prefix must hold the last byte field of the longest record");

// Data is kept only while the extended linear address is 0; a load starts
// outside that window, so data before the first type-04 record is dropped.
constexpr qint32 kInitialUpperAddress = 0xFFFF;
constexpr qint32 kStoredUpperAddress = 0;
constexpr qint32 kInitialByteValue = 0;

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

// Base-16 conversion with the rules of QString::toInt(&ok, 16): plain hex
// digits are converted here for speed; anything else (a sign, a "0x" prefix,
// stray characters) is left to the toolkit, so the accepted forms stay exactly
// the toolkit's. Fields are at most four characters long, so the int and long
// conversions give the same results. value is left alone when the field does
// not convert.
inline bool convertHex(QStringView text, qint32& value)
{
    if (text.isEmpty())
        return false;
    qint32 result = 0;
    for (const QChar ch : text) {
        const int digit = hexDigitValue(ch.unicode());
        if (digit < 0) {
            bool ok = false;
            const int converted = text.toInt(&ok, kHexBase);
            if (ok)
                value = converted;
            return ok;
        }
        result = result * kHexBase + digit;
    }
    value = result;
    return true;
}

bool isInsideImage(qint32 address)
{
    return address >= 0 && address < kFlashImageSize;
}

} // namespace

HexRecordInterpreter::HexRecordInterpreter()
    : m_image(std::make_unique<FlashImage>()),
      m_upperAddress(kInitialUpperAddress),
      m_lastByteValue(kInitialByteValue)
{
    m_image->fill(kErasedByte);
}

HexRecordInterpreter::~HexRecordInterpreter() = default;

void HexRecordInterpreter::interpret(QStringView token)
{
    if (m_state != State::Interpreting)
        return;
    if (token.isEmpty() || token.front() != kRecordMark)
        return;

    // Byte count and record address stay 0 where they do not convert.
    qint32 byteCount = 0;
    convertHex(field(token, kByteCountPos, kByteCountLength), byteCount);
    qint32 address = 0;
    convertHex(field(token, kAddressPos, kAddressLength), address);

    qint32 type = 0;
    if (convertHex(field(token, kTypePos, kTypeLength), type)) {
        if (type == kRecordTypeExtendedLinearAddress) {
            qint32 upper = 0;
            if (convertHex(field(token, kUpperAddressPos, kUpperAddressLength), upper))
                m_upperAddress = upper;
            return;
        }
        if (type == kRecordTypeEndOfFile) {
            // Noted only: the records after it are still interpreted.
            m_sawEndOfFile = true;
            return;
        }
        if (type != kRecordTypeData)
            return; // segment and start addresses, unknown types
    }
    // A type that does not convert is taken as data.
    interpretData(token, address, byteCount);
}

void HexRecordInterpreter::interpretData(QStringView token, qint32 address, qint32 byteCount)
{
    // Every data record must hold as many byte fields as it announces (the
    // checksum position may serve as the last one), inside the stored window
    // or not: a shorter one is what a file cut off in the middle looks like.
    const qsizetype dataChars = qMax<qsizetype>(token.size() - kDataPos, 0);
    if (dataChars < kByteFieldLength * qMax(byteCount, 0)) {
        m_state = State::CutOff;
        return;
    }
    if (m_upperAddress != kStoredUpperAddress)
        return;

    FlashImage& working = *m_image;
    const qint32 endAddress = address + byteCount; // one past the record's last byte
    for (qint32 byteAddress = address; byteAddress < endAddress; ++byteAddress) {
        // A byte field that does not convert repeats the last value.
        const qsizetype k = byteAddress - address;
        convertHex(field(token, kDataPos + kByteFieldLength * k, kByteFieldLength), m_lastByteValue);
        if (!isInsideImage(byteAddress)) {
            m_state = State::Refused;
            return;
        }
        working[byteAddress] = m_lastByteValue;
        m_imageEnd = qMax(m_imageEnd, byteAddress);
    }
}
