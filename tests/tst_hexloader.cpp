#include "flashimage.h"
#include "hexfile.h"
#include "hexloader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = QList<QPair<int, int>>; // address, expected entry

const QByteArray kSignature("\x00\xEF\x7E\xF0", 4);

using HexFile::record;

QByteArray dataRecord(int address, const QByteArray& data) { return record(0x00, address, data); }
QByteArray upper(int value)
{
    const char bigEndian[] = {char(value >> 8), char(value & 0xFF)};
    return record(0x04, 0, QByteArray(bigEndian, 2));
}
QByteArray endOfFile() { return record(0x01, 0, {}); }

// Data records of 16 bytes covering [first, last], every byte `value` except
// the signature addresses, which get `signature`.
QByteArray block(int first, int last, quint8 value, const QByteArray& signature = kSignature)
{
    QByteArrayList records;
    for (int address = first; address <= last; address += 16) {
        QByteArray data;
        for (int a = address; a <= qMin(address + 15, last); ++a) {
            const bool isSig = a >= kSignatureAddress && a < kSignatureAddress + int(kSignatureLength);
            data += isSig ? signature[a - kSignatureAddress] : char(value);
        }
        records += dataRecord(address, data);
    }
    return records.join('\n');
}

QByteArray lines(const QByteArrayList& parts) { return parts.join('\n') + '\n'; }
// The records, then the end-of-file record.
QByteArray hexFile(const QByteArrayList& parts) { return lines(parts + QByteArrayList{endOfFile()}); }

// block() with its records in descending address order.
QByteArray descending(int first, int last, quint8 value)
{
    QByteArrayList records = block(first, last, value).split('\n');
    std::reverse(records.begin(), records.end());
    return records.join('\n');
}

QByteArray withBrokenChecksums(const QByteArray& text)
{
    QByteArrayList out;
    for (QByteArray line : text.split('\n')) {
        if (line.size() > 2)
            line.back() = line.back() == '0' ? '1' : '0';
        out += line;
    }
    return out.join('\n');
}

const QByteArray kSignatureFile = hexFile({upper(0), block(0, 0x1FFF, 0x11)});

} // namespace

char* toString(HexRefusal refusal)
{
    return qstrdup(QByteArray::number(int(refusal)).constData());
}

char* toString(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::Suitable: return qstrdup("Suitable");
    case HexLoadResult::Unsuitable: return qstrdup("Unsuitable");
    case HexLoadResult::Refused: return qstrdup("Refused");
    case HexLoadResult::Malformed: return qstrdup("Malformed");
    case HexLoadResult::CutOff: return qstrdup("CutOff");
    case HexLoadResult::NoData: return qstrdup("NoData");
    case HexLoadResult::TooLarge: return qstrdup("TooLarge");
    case HexLoadResult::Unreadable: return qstrdup("Unreadable");
    }
    return qstrdup("?");
}

class TestHexLoader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void records_data();
    void records();
    void tokens_data();
    void tokens();
    void refusals_data();
    void refusals();
    void takenFileFindings_data();
    void takenFileFindings();
    void pickedFile_data();
    void pickedFile();
    void closedDeviceIsUnreadable();
    void verdict_data();
    void verdict();
    void cleanup();

private:
    QString writeFile(const QByteArray& text);
    HexLoadResult load(const QByteArray& text);
    QString pathFor(const QString& kind, const QByteArray& text);

    QTemporaryDir m_dir;
    LoadedImage m_loaded;
    int m_fileCount = 0;
    int m_terminal = -1; // master side of a pseudo-terminal made by pathFor()
};

void TestHexLoader::init()
{
    QVERIFY(m_dir.isValid());
    m_loaded = LoadedImage();
}

void TestHexLoader::cleanup()
{
    if (m_terminal >= 0)
        ::close(m_terminal);
    m_terminal = -1;
}

QString TestHexLoader::writeFile(const QByteArray& text)
{
    QFile file(m_dir.filePath(QStringLiteral("f%1.hex").arg(++m_fileCount)));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write test file");
    return file.fileName();
}

HexLoadResult TestHexLoader::load(const QByteArray& text)
{
    return HexLoader::loadFile(writeFile(text), m_loaded);
}

// A path of the given kind, named like a HEX file where the kind allows:
// "file" a regular file holding text; "sparse" a file of text's decimal number of
// zero bytes, made without writing them; "fifo" a named pipe; "link" a symbolic
// link to the path in text; "terminal" the far side of a pseudo-terminal that
// nobody writes to; "folder"; "missing"; "path" the path in text as it is.
QString TestHexLoader::pathFor(const QString& kind, const QByteArray& text)
{
    const QString path = m_dir.filePath(QStringLiteral("p%1.hex").arg(++m_fileCount));
    if (kind == QLatin1String("file"))
        return writeFile(text);
    if (kind == QLatin1String("sparse")) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.resize(text.toLongLong()) ? path : QString();
    }
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) == 0 ? path : QString();
    if (kind == QLatin1String("link"))
        return QFile::link(QString::fromLatin1(text), path) ? path : QString();
    if (kind == QLatin1String("terminal")) {
        m_terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_terminal < 0 || ::grantpt(m_terminal) != 0 || ::unlockpt(m_terminal) != 0)
            return {};
        return QString::fromLocal8Bit(::ptsname(m_terminal));
    }
    if (kind == QLatin1String("folder"))
        return QDir().mkdir(path) ? path : QString();
    if (kind == QLatin1String("missing"))
        return path;
    return QString::fromLatin1(text);
}

void TestHexLoader::records_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<Bytes>("bytes");
    using R = HexLoadResult;
    const QByteArray small = lines({upper(0), block(0, 0x3F, 0x11)});

    QTest::newRow("type 04 of 0, data 0x0000-0x1FFF")
        << kSignatureFile << R::Suitable << 8191
        << Bytes{{0, 0x11}, {32, 0x00}, {33, 0xEF}, {34, 0x7E}, {35, 0xF0}, {0x1FFF, 0x11}, {0x2000, 0xFF}};
    QTest::newRow("no type-04 record: upper address 0000")
        << hexFile({block(0, 0x1FFF, 0x11)}) << R::Suitable << 8191 << Bytes{{0, 0x11}, {32, 0x00}};
    QTest::newRow("data before the first type-04 record stored")
        << hexFile({dataRecord(0x40, "\xAA"), upper(0), block(0, 0x3F, 0x11)})
        << R::Suitable << 0x40 << Bytes{{0x40, 0xAA}};
    QTest::newRow("nonzero type-04 window skipped until 0 again")
        << hexFile({upper(0), block(0, 0x3F, 0x11), upper(1), dataRecord(0x100, "\x22"), dataRecord(0xFFF0, QByteArray(16, 1)),
                    ":02000004", dataRecord(0x101, "\x22"), upper(0), dataRecord(0x200, "\x33")})
        << R::Suitable << 0x200 << Bytes{{0x100, 0xFF}, {0x101, 0xFF}, {0x200, 0x33}};
    // After the end-of-file record: a Ctrl-Z ends the text; words and a lone ':' do no harm.
    QTest::newRow("Ctrl-Z glued to the end-of-file record")
        << lines({small + endOfFile() + "\x1A" + dataRecord(0x80, "\x44"), ":zz"}) << R::Suitable << 0x3F
        << Bytes{{0x80, 0xFF}};
    QTest::newRow("Ctrl-Z padding on a line of its own")
        << hexFile({small}) + "\x1A\x1A\x1A\r\n" + dataRecord(0x80, "\x44") << R::Suitable << 0x3F << Bytes{{0x80, 0xFF}};
    QTest::newRow("words, blank lines and a lone ':' after the end")
        << hexFile({small}) + "\n\n; end\n:\n" << R::Suitable << 0x3F << Bytes{{0x3F, 0x11}};
    QTest::newRow("types 02 of 0000, 03, 05 and unknown ignored, window kept")
        << hexFile({upper(0), block(0, 0x3F, 0x11), record(0x02, 0, QByteArray(2, 0)), record(0x03, 0x20, "\x01\x02\x03\x04"),
                    record(0x05, 0x20, "\x01\x02\x03\x04"), record(0x06, 0x40, "\x55"), record(0xFF, 0x41, "\x55"),
                    dataRecord(0x80, "\x44")})
        << R::Suitable << 0x80 << Bytes{{32, 0x00}, {35, 0xF0}, {0x40, 0xFF}, {0x41, 0xFF}, {0x80, 0x44}};
    QTest::newRow("wrong checksums stored")
        << withBrokenChecksums(kSignatureFile) << R::Suitable << 8191 << Bytes{{0x1FFF, 0x11}};
    QTest::newRow("end 64511 passes")
        << hexFile({upper(0), block(0, 64511, 0x11)}) << R::Suitable << 64511 << Bytes{{64511, 0x11}};
    QTest::newRow("end 64512 fails")
        << hexFile({upper(0), block(0, 64512, 0x11)}) << R::Unsuitable << 64512 << Bytes{{64512, 0x11}};
    QTest::newRow("last image address 64999 stored")
        << hexFile({upper(0), block(0, 0x3F, 0x11), dataRecord(64999, "\x5A")}) << R::Unsuitable << 64999
        << Bytes{{64999, 0x5A}};
    QTest::newRow("end is the highest address stored, not the last record's")
        << hexFile({upper(0), block(0, 0x1FFF, 0x11), block(0xF0, 0xFF, 0x22)}) << R::Suitable << 8191
        << Bytes{{0xFF, 0x22}, {0x1FFF, 0x11}};
    QTest::newRow("bare colon stores nothing")
        << hexFile({upper(0), block(0, 0x3F, 0x11), ":"}) << R::Suitable << 0x3F << Bytes{{0, 0x11}};
    QTest::newRow("byte count 0") << hexFile({small, dataRecord(0x100, {})}) << R::Suitable << 0x3F
                                  << Bytes{{0x100, 0xFF}};
    QTest::newRow("count reaching into the checksum reads it as data")
        << hexFile({small, ":02004000ABCD"}) << R::Suitable << 0x41
        << Bytes{{0x40, 0xAB}, {0x41, 0xCD}, {0x42, 0xFF}};
    QTest::newRow("lower-case digits") << hexFile({small}).toLower() << R::Suitable << 0x3F
                                       << Bytes{{33, 0xEF}};
    for (int i = 0; i < int(kSignatureLength); ++i) {
        QByteArray signature = kSignature;
        signature[i] = char(signature[i] ^ 0x01);
        QTest::addRow("signature byte %d wrong", i)
            << hexFile({upper(0), block(0, 0x3F, 0x11, signature)}) << R::Unsuitable << 0x3F
            << Bytes{{kSignatureAddress + i, quint8(signature[i])}};
    }
}

void TestHexLoader::records()
{
    QFETCH(QByteArray, text);
    QFETCH(HexLoadResult, result);
    QFETCH(int, imageEnd);
    QFETCH(Bytes, bytes);

    QCOMPARE(load(text), result);
    QCOMPARE(m_loaded.end(), imageEnd);
    for (const auto& [address, value] : bytes)
        QCOMPARE(m_loaded.bytes()[address], value);
}

void TestHexLoader::tokens_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArrayList records{upper(0), block(0, 0x3F, 0x11), dataRecord(0x40, "\x44"), endOfFile()};
    const QByteArray lf = records.join('\n');
    constexpr int kReadChunk = 64 * 1024; // bytes the loader reads at a time

    QTest::newRow("LF") << lf;
    QTest::newRow("CR LF") << QByteArray(lf).replace('\n', "\r\n");
    QTest::newRow("CR only") << QByteArray(lf).replace('\n', '\r');
    QTest::newRow("blanks and tabs, several per line") << "  " + QByteArray(lf).replace('\n', " \t ") + " \n\n";
    QTest::newRow("non-record tokens skipped") << "; comment 1234\n" + lf + "\nx 0080 66";
    QTest::newRow("UTF-8 byte order mark") << "\xEF\xBB\xBF" + lf;
    const QString wide = QString::fromLatin1(lf);
    QTest::newRow("UTF-16LE with byte order mark")
        << QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(wide.utf16()), wide.size() * 2);
    // Only a token's first characters are kept; the rest is read past.
    QTest::newRow("megabyte tokens") << QByteArray(1 << 20, 'x') + '\n' + lf + '\n' + QByteArray(1 << 20, 'F');
    // Tokens and multi-byte separators split between two reads.
    QTest::newRow("record across a read") << QByteArray(kReadChunk - 5, ' ') + lf;
    QTest::newRow("no-break space across a read") << QByteArray(kReadChunk - 1, ' ') + "\xC2\xA0" + lf;
}

void TestHexLoader::tokens()
{
    QFETCH(QByteArray, text);
    QCOMPARE(load(text), HexLoadResult::Suitable);
    QCOMPARE(m_loaded.end(), 0x40);
    QCOMPARE(m_loaded.bytes()[0x40], 0x44);
    QCOMPARE(m_loaded.bytes()[0x80], 0xFF);
}

// Every rule that refuses a file, with the line it blames: loaded over a good file,
// a refused one leaves that file's image and end as they were.
void TestHexLoader::refusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<HexRefusal>("refusal");
    QTest::addColumn<int>("line");
    using R = HexLoadResult;
    using F = HexRefusal;
    // Lines 1 to 5; the record under test follows on line 6, then the end-of-file record.
    const QByteArray good = lines({upper(0), block(0, 0x3F, 0x11)});
    const auto withLine6 = [&good](const QByteArray& record) { return good + record + '\n' + endOfFile() + '\n'; };
    const QByteArray data = dataRecord(0x40, "\x44");

    QTest::newRow("two records on one line") << withLine6(data + dataRecord(0x41, "\x45")) << R::Malformed
                                             << F::TwoRecordsOnOneLine << 6;
    QTest::newRow("NUL byte before a record") << withLine6('\0' + data) << R::Malformed << F::TextBeforeRecord << 6;
    QTest::newRow("':' after a megabyte of text")
        << withLine6(QByteArray(1 << 20, 'x') + data) << R::Malformed << F::TextBeforeRecord << 6;
    QTest::newRow("data pair G7") << withLine6(":01004000G778") << R::Malformed << F::BadCharacter << 6;
    QTest::newRow("signed field") << withLine6(":01+0400077") << R::Malformed << F::BadCharacter << 6;
    QTest::newRow("0x prefix") << withLine6(":010x410078") << R::Malformed << F::BadCharacter << 6;
    QTest::newRow("control character") << withLine6(data + '\x01') << R::Malformed << F::BadCharacter << 6;
    QTest::newRow("characters after the checksum") << withLine6(data + "00") << R::Malformed << F::RecordTooLong << 6;
    QTest::newRow("255 bytes and one digit more")
        << withLine6(dataRecord(0x100, QByteArray(255, 0x22)) + '0') << R::Malformed << F::RecordTooLong << 6;
    QTest::newRow("megabyte record") << withLine6(data + QByteArray(1 << 20, 'F')) << R::Malformed
                                     << F::RecordTooLong << 6;
    QTest::newRow("a second file glued to the first")
        << withLine6(endOfFile() + '\n' + upper(0)) << R::Malformed << F::RecordAfterEnd << 7;
    QTest::newRow("Ctrl-Z before the end-of-file record")
        << withLine6(data + '\x1A') << R::Malformed << F::BadCharacter << 6;
    QTest::newRow("segment 1000") << withLine6(record(0x02, 0, "\x10\x00")) << R::Malformed << F::SegmentNotZero << 6;
    QTest::newRow("byte at 65000") << withLine6(dataRecord(65000, "\x01")) << R::Refused << F::OutsideImage << 6;
    QTest::newRow("record crossing 65000")
        << withLine6(dataRecord(64990, QByteArray(16, 1))) << R::Refused << F::OutsideImage << 6;
    QTest::newRow("data record shorter than its count") << withLine6(":03004000ABCD") << R::CutOff
                                                        << F::RecordCutOff << 6;
    QTest::newRow("no end-of-file record") << good << R::CutOff << F::NoEndOfFileRecord << 5;
    QTest::newRow("no data in the image") << hexFile({upper(1), block(0, 0x3F, 0x11)}) << R::NoData << F::NoData << 0;
    // Lines end at LF, CR LF or a lone CR; blank lines count.
    const QByteArray twoOnOne = withLine6(data + data);
    QTest::newRow("CR LF") << QByteArray(twoOnOne).replace("\n", "\r\n") << R::Malformed << F::TwoRecordsOnOneLine << 6;
    QTest::newRow("lone CR") << QByteArray(twoOnOne).replace('\n', '\r') << R::Malformed << F::TwoRecordsOnOneLine << 6;
    QTest::newRow("blank lines, CR LF and blanks")
        << "\r\n \n\r\r\n" + QByteArray(twoOnOne).replace("\n", "\r\n") << R::Malformed << F::TwoRecordsOnOneLine << 10;
}

void TestHexLoader::refusals()
{
    QFETCH(QByteArray, text);
    QFETCH(HexLoadResult, result);
    QFETCH(HexRefusal, refusal);
    QFETCH(int, line);
    QCOMPARE(load(kSignatureFile), HexLoadResult::Suitable);
    const FlashImage before = m_loaded.bytes();

    HexLoadFindings findings;
    QCOMPARE(HexLoader::loadFile(writeFile(text), m_loaded, &findings), result);
    QCOMPARE(findings.refusal, refusal);
    QCOMPARE(findings.line, line);
    QCOMPARE(m_loaded.end(), 8191);
    QVERIFY(m_loaded.bytes() == before);
}

// Files that are taken: what the findings say of them, checksums included (which never
// refuse a file).
void TestHexLoader::takenFileFindings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexRefusal>("refusal");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("badChecksums");
    QTest::addColumn<QList<int>>("badChecksumLines");
    using F = HexRefusal;
    const QByteArray small = upper(0) + '\n' + block(0, 0x3F, 0x11); // lines 1 to 5
    QByteArray wrong = dataRecord(0x80, "\x44");
    wrong.back() = wrong.back() == '0' ? '1' : '0';

    QTest::newRow("suitable, sound checksums") << kSignatureFile << F::None << 0 << 0 << QList<int>{};
    QTest::newRow("wrong and missing checksums, lone colon no record")
        << hexFile({small, wrong, ":", ":02004000ABCD", ":0000000"}) << F::None << 0 << 3 << QList<int>{6, 8, 9};
    QTest::newRow("the first five lines listed")
        << withBrokenChecksums(kSignatureFile) << F::None << 0 << 514 << QList<int>{1, 2, 3, 4, 5};
    QByteArray signature = kSignature;
    signature[0] = 0x01;
    QTest::newRow("no signature") << hexFile({upper(0), block(0, 0x3F, 0x11, signature)}) << F::NoSignature << 0 << 0
                                  << QList<int>{};
    QTest::newRow("beyond 64511: the first record there")
        << hexFile({small, dataRecord(64600, "\x01"), dataRecord(64512, "\x01")}) << F::PastInstrumentEnd << 6 << 0
        << QList<int>{};
}

void TestHexLoader::takenFileFindings()
{
    QFETCH(QByteArray, text);
    QFETCH(HexRefusal, refusal);
    QFETCH(int, line);
    QFETCH(int, badChecksums);
    QFETCH(QList<int>, badChecksumLines);

    HexLoadFindings findings;
    const HexLoadResult result = HexLoader::loadFile(writeFile(text), m_loaded, &findings);
    QCOMPARE(result, refusal == HexRefusal::None ? HexLoadResult::Suitable : HexLoadResult::Unsuitable);
    QCOMPARE(findings.refusal, refusal);
    QCOMPARE(findings.line, line);
    QCOMPARE(findings.badChecksums, badChecksums);
    QCOMPARE(findings.badChecksumLines, badChecksumLines);
}

// What the technician picked, loaded after a good file: each load judges only
// the picked file, a refused or unreadable one leaves the earlier image as it
// was, and no pick keeps the loader busy.
void TestHexLoader::pickedFile_data()
{
    QTest::addColumn<QString>("kind"); // see pathFor()
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<int>("imageEnd"); // of an accepted file
    QTest::addColumn<Bytes>("bytes");  // of an accepted file
    using R = HexLoadResult;
    const QString file = QStringLiteral("file");
    const QByteArray small = lines({upper(0), block(0, 0x3F, 0x11)});
    const QByteArray overLimit = QByteArray::number(HexLoader::kMaxFileBytes + 1);

    QTest::newRow("records in descending order, 0..11999")
        << file << hexFile({upper(0), descending(0, 11999, 0x22)}) << R::Suitable << 11999
        << Bytes{{0, 0x22}, {32, 0x00}, {35, 0xF0}, {11999, 0x22}, {12000, 0xFF}};
    QTest::newRow("records in descending order, 0..64575")
        << file << hexFile({upper(0), descending(0, 64575, 0x22)}) << R::Unsuitable << 64575 << Bytes{{64575, 0x22}};
    QTest::newRow("lone colon after the end record")
        << file << hexFile({small}) + ":\n" << R::Suitable << 0x3F << Bytes{{0x3F, 0x11}, {0x40, 0xFF}};
    QTest::newRow("shorter file after a longer one")
        << file << hexFile({upper(0), block(0, 0xFF, 0x22)}) << R::Suitable << 255
        << Bytes{{0, 0x22}, {0xFF, 0x22}, {0x100, 0xFF}, {0x3FFF, 0xFF}};
    QTest::newRow("empty file") << file << QByteArray() << R::NoData << 0 << Bytes{};
    QTest::newRow("file without stored data") << file << hexFile({upper(1), block(0, 0x3F, 0x22)}) << R::NoData << 0 << Bytes{};
    QTest::newRow("cut off at a line, no end-of-file record")
        << file << lines({upper(0), block(0, 0x2EFF, 0x22)}) << R::CutOff << 0 << Bytes{};
    QTest::newRow("cut off inside a record")
        << file << lines({upper(0), block(0, 0x12AF, 0x22), ":1012B0008102"}) << R::CutOff << 0 << Bytes{};
    QTest::newRow("record shorter than its count, end record present")
        << file << hexFile({small, ":03004000ABCD", dataRecord(0x80, "\x01")}) << R::CutOff << 0 << Bytes{};
    QTest::newRow("short record outside the stored window")
        << file << hexFile({small, upper(1), ":10000000AB", upper(0)}) << R::CutOff << 0 << Bytes{};
    QTest::newRow("odd number of data characters")
        << file << hexFile({small, ":02004000ABC"}) << R::CutOff << 0 << Bytes{};
    QTest::newRow("300 MB without line breaks") << QStringLiteral("sparse") << QByteArray("300000000") << R::TooLarge << 0 << Bytes{};
    QTest::newRow("one byte over 64 MiB") << QStringLiteral("sparse") << overLimit << R::TooLarge << 0 << Bytes{};
    QTest::newRow("/dev/zero behind a .hex link") << QStringLiteral("link") << QByteArray("/dev/zero") << R::Unreadable << 0 << Bytes{};
    QTest::newRow("/dev/urandom") << QStringLiteral("path") << QByteArray("/dev/urandom") << R::Unreadable << 0 << Bytes{};
    QTest::newRow("named pipe") << QStringLiteral("fifo") << QByteArray() << R::Unreadable << 0 << Bytes{};
    QTest::newRow("terminal device") << QStringLiteral("terminal") << QByteArray() << R::Unreadable << 0 << Bytes{};
    QTest::newRow("folder") << QStringLiteral("folder") << QByteArray() << R::Unreadable << 0 << Bytes{};
    QTest::newRow("missing file") << QStringLiteral("missing") << QByteArray() << R::Unreadable << 0 << Bytes{};
    QTest::newRow("opens but read fails") << QStringLiteral("path") << QByteArray("/proc/self/mem") << R::Unreadable << 0 << Bytes{};
}

void TestHexLoader::pickedFile()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, text);
    QFETCH(HexLoadResult, result);
    QFETCH(int, imageEnd);
    QFETCH(Bytes, bytes);

    if (kind == QLatin1String("path") && !QFile::exists(QString::fromLatin1(text)))
        QSKIP("not on this system");
    QCOMPARE(load(hexFile({upper(0), block(0, 0x3FFF, 0x33)})), HexLoadResult::Suitable);
    const FlashImage earlier = m_loaded.bytes();
    const QString path = pathFor(kind, text);
    QVERIFY2(!path.isEmpty(), "cannot make the file");

    // A loader that waited on the pipe without a writer or on the terminal, or read
    // /dev/zero to its end, would not return: returning is the check.
    QCOMPARE(HexLoader::loadFile(path, m_loaded), result);
    if (result == HexLoadResult::Suitable || result == HexLoadResult::Unsuitable) {
        QCOMPARE(m_loaded.end(), imageEnd);
        for (const auto& [address, value] : bytes)
            QCOMPARE(m_loaded.bytes()[address], value);
    } else {
        QCOMPARE(m_loaded.end(), 0x3FFF);
        QVERIFY(m_loaded.bytes() == earlier);
    }
}

void TestHexLoader::closedDeviceIsUnreadable()
{
    QByteArray text = kSignatureFile;
    QBuffer buffer(&text);
    QCOMPARE(HexLoader::loadDevice(buffer, m_loaded), HexLoadResult::Unreadable);
    QCOMPARE(m_loaded.end(), kImageEndUnset);
    QCOMPARE(m_loaded.bytes()[0], kErasedByte);

    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(HexLoader::loadDevice(buffer, m_loaded), HexLoadResult::Suitable);
    QCOMPARE(m_loaded.end(), 8191);
}

void TestHexLoader::verdict_data()
{
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<HexVerdict>("verdict");
    QTest::newRow("Suitable") << HexLoadResult::Suitable << HexVerdict::Suitable;
    for (const HexLoadResult result : {HexLoadResult::Unsuitable, HexLoadResult::Refused, HexLoadResult::Malformed,
                                       HexLoadResult::CutOff, HexLoadResult::NoData, HexLoadResult::TooLarge})
        QTest::newRow(std::unique_ptr<char[]>(toString(result)).get()) << result << HexVerdict::NotSuitable;
    QTest::newRow("Unreadable") << HexLoadResult::Unreadable << HexVerdict::Unreadable;
}

void TestHexLoader::verdict()
{
    QFETCH(HexLoadResult, result);
    QFETCH(HexVerdict, verdict);
    QCOMPARE(int(HexLoader::verdictOf(result)), int(verdict));
}

QTEST_GUILESS_MAIN(TestHexLoader)
#include "tst_hexloader.moc"
