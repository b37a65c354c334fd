// Fuzzes the Intel HEX loader with arbitrary bytes as a file's content.
//
// Every input is loaded twice: from a file into a fresh image (every entry
// 255, no end address yet), and from a memory buffer into an image that an
// earlier suitable file has filled.
// Checked on every load:
// - no entry outside the 65000-entry image is written (guard entries on both
//   sides of the image stay as they were);
// - the verdict is exactly the one a straightforward reading of the records
//   gives (the reference below, which splits the text with QTextStream itself):
//   a ':' inside a token, a record with a character other than a hex digit after
//   its ':', a record longer than its byte count says and a type-02 record with a
//   segment other than 0 make the file malformed, and so does a record after the
//   end-of-file record; a data byte outside the image refuses the file, so does a
//   data record with fewer byte fields than its count or a file without an
//   end-of-file record; a file that stores no byte is refused as well; data before
//   the first type-04 record is stored; a Ctrl-Z glued to the end-of-file record,
//   or at the start of a word after it, ends the text;
// - an accepted file reports as many records with a wrong or missing checksum as
//   the reference counts (a lone ':' is no record);
// - an accepted file gives the same image and end whatever the image held
//   before: a fresh image with the file's bytes, and the highest address
//   stored as the end;
// - a refused file leaves the image and its end exactly as they were;
// - "suitable" is reported exactly when the signature is in place and the end
//   address is at most 64511;
// - a path that is not a regular file (missing, folder, named pipe, link to a
//   device) is unreadable, is not read and changes nothing (checked once, at
//   start).

#include "flashimage.h"
#include "fuzzcheck.h"
#include "hexloader.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <sys/stat.h>

namespace {

constexpr int kHexBase = 16;
constexpr qint32 kFirstUpperAddress = 0; // until the first type-04 record
constexpr int kDataType = 0x00;
constexpr int kEndOfFileType = 0x01;
constexpr int kExtendedSegmentAddressType = 0x02;
constexpr int kExtendedLinearAddressType = 0x04;
constexpr int kMaxRecordChars = 11 + 2 * 0xFF;
constexpr QChar kDosEndOfFileMark = u'\x1A';
const QString kInputName = QStringLiteral("input.hex");
const QString kMissingName = QStringLiteral("missing.hex");
const QString kPipeName = QStringLiteral("pipe.hex");
const QString kZeroLinkName = QStringLiteral("zero.hex");

// A filled image: a small suitable firmware (signature in place, end 0x01FF).
const char kFillingFile[] =
        ":020000040000FA\n"
        ":1000000000000000000000000000000000000000F0\n"
        ":1000100000000000000000000000000000000000E0\n"
        ":1000200000EF7EF0123456789ABCDEF01122334491\n"
        ":1001F000A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5AF\n"
        ":00000001FF\n";

// The white-space separated tokens of a file's text.
QStringList tokensOf(const QByteArray &content)
{
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    QTextStream stream(&buffer);
    QStringList tokens;
    QString token;
    for (;;) {
        stream >> token;
        if (token.isEmpty())
            return tokens;
        tokens.append(token);
    }
}

// Whether every character of text is a hex digit.
bool allHexDigits(const QString &text)
{
    for (const QChar c : text) {
        if (!(c.isDigit() && c.unicode() < 0x80) && !QStringLiteral("abcdefABCDEF").contains(c))
            return false;
    }
    return true;
}

// A field's value; an empty field (a record cut short) is 0.
int fieldValue(const QString &token, int pos, int length)
{
    bool ok = false;
    const int value = token.mid(pos, length).toInt(&ok, kHexBase);
    return ok ? value : 0;
}

// Whether a record carries its whole checksum and its bytes add up to 0.
bool checksumSound(const QString &token, int count)
{
    if (token.size() != 11 + 2 * count)
        return false;
    const QByteArray bytes = QByteArray::fromHex(token.mid(1).toLatin1());
    int sum = 0;
    for (const char byte : bytes)
        sum += static_cast<unsigned char>(byte);
    return sum % 256 == 0;
}

// Whether a token is an end-of-file record, whole and well formed.
bool isEndOfFileRecord(const QString &token)
{
    return token.startsWith(u':') && token.size() >= 9 && token.size() <= kMaxRecordChars
            && allHexDigits(token.mid(1)) && token.size() <= 11 + 2 * fieldValue(token, 1, 2)
            && fieldValue(token, 7, 2) == kEndOfFileType;
}

// The records read field by field with the toolkit's own base-16 conversion,
// into a fresh image; badChecksums counts the records with a wrong checksum.
HexLoadResult referenceLoad(const QStringList &tokens, FlashImage &image, int &imageEnd, int &badChecksums)
{
    image.fill(kErasedByte);
    imageEnd = kImageEndUnset;
    badChecksums = 0;
    qint32 upperAddress = kFirstUpperAddress;
    bool endOfFile = false;
    for (const QString &token : tokens) {
        const qsizetype endMark = token.indexOf(kDosEndOfFileMark);
        if (endOfFile && endMark == 0)
            break;
        if (!endOfFile && endMark > 0 && isEndOfFileRecord(token.left(endMark))) {
            if (!checksumSound(token.left(endMark), fieldValue(token, 1, 2)))
                ++badChecksums;
            endOfFile = true;
            break;
        }
        if (!token.startsWith(u':')) {
            if (token.contains(u':'))
                return HexLoadResult::Malformed;
            continue;
        }
        if (token.size() == 1)
            continue;
        if (endOfFile || token.size() > kMaxRecordChars || !allHexDigits(token.mid(1)))
            return HexLoadResult::Malformed;
        const int count = fieldValue(token, 1, 2);
        if (token.size() > 11 + 2 * count)
            return HexLoadResult::Malformed;
        if (!checksumSound(token, count))
            ++badChecksums;
        const int address = fieldValue(token, 3, 4);
        if (token.size() > 7) {
            const int type = fieldValue(token, 7, 2);
            if (type == kExtendedLinearAddressType) {
                if (token.size() > 9)
                    upperAddress = fieldValue(token, 9, 4);
                continue;
            }
            if (type == kExtendedSegmentAddressType) {
                if (fieldValue(token, 9, 4) != 0)
                    return HexLoadResult::Malformed;
                continue;
            }
            if (type == kEndOfFileType) {
                endOfFile = true;
                continue;
            }
            if (type != kDataType)
                continue;
        }
        if (count > 0 && token.size() - 9 < 2 * count)
            return HexLoadResult::CutOff;
        if (upperAddress != 0)
            continue;
        for (int k = 0; k < count; ++k) {
            const int at = address + k;
            if (at >= kFlashImageSize)
                return HexLoadResult::Refused;
            image[static_cast<std::size_t>(at)] = fieldValue(token, 9 + 2 * k, 2);
            imageEnd = qMax(imageEnd, at);
        }
    }
    if (imageEnd == kImageEndUnset)
        return HexLoadResult::NoData;
    if (!endOfFile)
        return HexLoadResult::CutOff;
    const bool suitable = image[32] == 0x00 && image[33] == 0xEF && image[34] == 0x7E
            && image[35] == 0xF0 && imageEnd <= kImageEndLimit;
    return suitable ? HexLoadResult::Suitable : HexLoadResult::Unsuitable;
}

bool signatureInPlace(const FlashImage &image)
{
    return image[32] == 0x00 && image[33] == 0xEF && image[34] == 0x7E && image[35] == 0xF0;
}

const char *nameOf(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::Suitable:
        return "Suitable";
    case HexLoadResult::Unsuitable:
        return "Unsuitable";
    case HexLoadResult::Refused:
        return "Refused";
    case HexLoadResult::Malformed:
        return "Malformed";
    case HexLoadResult::CutOff:
        return "CutOff";
    case HexLoadResult::NoData:
        return "NoData";
    case HexLoadResult::TooLarge:
        return "TooLarge";
    case HexLoadResult::Unreadable:
        return "Unreadable";
    }
    return "?";
}

void checkSameImage(const FlashImage &actual, const FlashImage &expected, const char *what)
{
    if (actual == expected)
        return;
    std::size_t at = 0;
    while (actual[at] == expected[at])
        ++at;
    FUZZ_CHECK(false, "%s: entry %zu is %d, expected %d", what, at, int(actual[at]),
               int(expected[at]));
}

// What the reference reading makes of one input.
struct Expected
{
    HexLoadResult result = HexLoadResult::Unreadable;
    FlashImage image;
    int imageEnd = kImageEndUnset;
    int badChecksums = 0;
};

bool accepted(HexLoadResult result)
{
    return result == HexLoadResult::Suitable || result == HexLoadResult::Unsuitable;
}

// Checks one load that started from (start, startEnd) against the reference.
// The entries are a heap block of exactly the image's size: AddressSanitizer reports
// any write outside it.
void checkLoad(HexLoadResult result, const HexLoadFindings &findings, const LoadedImage &loaded,
               const FlashImage &start, int startEnd, const Expected &expected, const char *what)
{
    FUZZ_CHECK(result == expected.result, "%s: the file was %s, expected %s", what,
               nameOf(result), nameOf(expected.result));
    if (!accepted(result)) {
        checkSameImage(loaded.bytes(), start, what);
        FUZZ_CHECK(loaded.end() == startEnd, "%s: %s file moved the end from %d to %d", what,
                   nameOf(result), startEnd, loaded.end());
        return;
    }
    FUZZ_CHECK(findings.badChecksums == expected.badChecksums, "%s: %d wrong checksums, expected %d", what,
               findings.badChecksums, expected.badChecksums);
    checkSameImage(loaded.bytes(), expected.image, what);
    FUZZ_CHECK(loaded.end() == expected.imageEnd, "%s: end %d, expected %d", what,
               loaded.end(), expected.imageEnd);
    const bool suitable = signatureInPlace(loaded.bytes()) && loaded.end() <= kImageEndLimit;
    FUZZ_CHECK((result == HexLoadResult::Suitable) == suitable,
               "%s: reported %s with signature %s and end %d", what, nameOf(result),
               signatureInPlace(loaded.bytes()) ? "in place" : "missing", loaded.end());
}

struct Fixture
{
    FlashImage fresh;
    LoadedImage filled;
    LoadedImage loaded;
    Expected expected;
    QString inputPath;
};

Fixture &fixture()
{
    static const std::unique_ptr<Fixture> instance = [] {
        auto f = std::make_unique<Fixture>();
        const QDir dir(fuzz::scratchDir().path());
        f->inputPath = dir.filePath(kInputName);
        f->fresh.fill(kErasedByte);

        QByteArray filling(kFillingFile);
        QBuffer buffer(&filling);
        buffer.open(QIODevice::ReadOnly);
        const HexLoadResult result = HexLoader::loadDevice(buffer, f->filled);
        FUZZ_CHECK(result == HexLoadResult::Suitable, "the filling file was %s", nameOf(result));

        // Paths that are not regular files change nothing; a pipe or a device
        // would keep a read waiting or going for ever.
        const QString pipe = dir.filePath(kPipeName);
        FUZZ_CHECK(::mkfifo(QFile::encodeName(pipe).constData(), S_IRUSR | S_IWUSR) == 0,
                   "cannot make %s", qPrintable(pipe));
        const QString zeroLink = dir.filePath(kZeroLinkName);
        FUZZ_CHECK(QFile::link(QStringLiteral("/dev/zero"), zeroLink), "cannot make %s",
                   qPrintable(zeroLink));
        for (const QString &path : {dir.filePath(kMissingName), dir.path(), pipe, zeroLink}) {
            f->loaded = f->filled;
            const HexLoadResult unreadable = HexLoader::loadFile(path, f->loaded);
            FUZZ_CHECK(unreadable == HexLoadResult::Unreadable, "%s was %s", qPrintable(path),
                       nameOf(unreadable));
            checkSameImage(f->loaded.bytes(), f->filled.bytes(), "unreadable file");
            FUZZ_CHECK(f->loaded.end() == f->filled.end(), "unreadable file moved the end");
        }
        return f;
    }();
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fixture &f = fixture();
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    f.expected.result = referenceLoad(tokensOf(content), f.expected.image, f.expected.imageEnd,
                                      f.expected.badChecksums);

    // From a file, into a fresh image.
    {
        QFile file(f.inputPath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly), "cannot write %s", qPrintable(f.inputPath));
        FUZZ_CHECK(file.write(content) == content.size(), "short write");
    }
    f.loaded = LoadedImage(f.fresh, kImageEndUnset);
    HexLoadFindings findings;
    HexLoadResult result = HexLoader::loadFile(f.inputPath, f.loaded, &findings);
    checkLoad(result, findings, f.loaded, f.fresh, kImageEndUnset, f.expected, "fresh image");

    // From memory, into a filled image.
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    f.loaded = f.filled;
    result = HexLoader::loadDevice(buffer, f.loaded, &findings);
    checkLoad(result, findings, f.loaded, f.filled.bytes(), f.filled.end(), f.expected, "filled image");
    return 0;
}
