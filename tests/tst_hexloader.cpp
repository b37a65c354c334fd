#include "flashimage.h"
#include "hexfile.h"
#include "hexloader.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
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

char* toString(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::Suitable: return qstrdup("Suitable");
    case HexLoadResult::Unsuitable: return qstrdup("Unsuitable");
    case HexLoadResult::Refused: return qstrdup("Refused");
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
    void refusesBytesOutsideImage_data();
    void refusesBytesOutsideImage();
    void pickedFile_data();
    void pickedFile();
    void closedDeviceIsUnreadable();
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
    QTest::newRow("no type-04 record stores nothing")
        << hexFile({block(0, 0x1FFF, 0x11)}) << R::NoData << -1
        << Bytes{{0, 0xFF}, {32, 0xFF}};
    QTest::newRow("data before the first type-04 record dropped")
        << hexFile({dataRecord(0x40, "\xAA"), upper(0), block(0, 0x3F, 0x11)})
        << R::Suitable << 0x3F << Bytes{{0x40, 0xFF}};
    QTest::newRow("nonzero type-04 window skipped until 0 again")
        << hexFile({upper(0), block(0, 0x3F, 0x11), upper(1), dataRecord(0x100, "\x22"), dataRecord(0xFFF0, QByteArray(16, 1)),
                    ":02000004ZZZZ00", dataRecord(0x101, "\x22"), upper(0), dataRecord(0x200, "\x33")})
        << R::Suitable << 0x200 << Bytes{{0x100, 0xFF}, {0x101, 0xFF}, {0x200, 0x33}};
    QTest::newRow("end-of-file record mid-file ignored")
        << lines({upper(0), block(0, 0x3F, 0x11), endOfFile(), dataRecord(0x80, "\x44")})
        << R::Suitable << 0x80 << Bytes{{0x80, 0x44}};
    QTest::newRow("types 02 03 05 and unknown ignored, window kept")
        << hexFile({upper(0), block(0, 0x3F, 0x11), record(0x02, 0, "\x10\x00"), record(0x03, 0x20, "\x01\x02\x03\x04"),
                    record(0x05, 0x20, "\x01\x02\x03\x04"), record(0x06, 0x40, "\x55"), record(0xFF, 0x41, "\x55"),
                    dataRecord(0x80, "\x44")})
        << R::Suitable << 0x80 << Bytes{{32, 0x00}, {35, 0xF0}, {0x40, 0xFF}, {0x41, 0xFF}, {0x80, 0x44}};
    QTest::newRow("type that does not convert counts as data")
        << hexFile({upper(0), block(0, 0x3F, 0x11), ":010080ZZ4400"}) << R::Suitable << 0x80
        << Bytes{{0x80, 0x44}};
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
    QTest::newRow("negative byte count stores nothing")
        << hexFile({small, ":-1010000AABB00"}) << R::Suitable << 0x3F << Bytes{{0x100, 0xFF}};
    QTest::newRow("negative address without bytes accepted")
        << hexFile({small, ":00-00100"}) << R::Suitable << 0x3F << Bytes{};
    QTest::newRow("byte field not converting repeats the previous one")
        << hexFile({small, ":03004000AAZZBB00", ":01004300ZZ00"}) << R::Suitable << 0x43
        << Bytes{{0x40, 0xAA}, {0x41, 0xAA}, {0x42, 0xBB}, {0x43, 0xBB}};
    QTest::newRow("first byte field not converting gives 0")
        << hexFile({upper(0), ":02004000ZZ1100", block(0, 0x3F, 0x11)}) << R::Suitable << 0x41
        << Bytes{{0x40, 0x00}, {0x41, 0x11}};
    QTest::newRow("count reaching into the checksum reads it as data")
        << hexFile({small, ":02004000ABCD"}) << R::Suitable << 0x41
        << Bytes{{0x40, 0xAB}, {0x41, 0xCD}, {0x42, 0xFF}};
    QTest::newRow("count and address not converting are 0")
        << hexFile({upper(0), ":ZZZZZZ0055", ":01ZZZZ0055"}) << R::Unsuitable << 0 << Bytes{{0, 0x55}};
    QTest::newRow("sign and 0x prefix converted") << hexFile({small, ":01+0400077", ":010x410078"})
                                                  << R::Suitable << 0x41 << Bytes{{0x40, 0x77}, {0x41, 0x78}};
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
    QTest::newRow("non-record tokens skipped") << "; comment 1234\n" + lf + "\nx" + dataRecord(0x80, "\x66");
    QTest::newRow("UTF-8 byte order mark") << "\xEF\xBB\xBF" + lf;
    const QString wide = QString::fromLatin1(lf);
    QTest::newRow("UTF-16LE with byte order mark")
        << QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(wide.utf16()), wide.size() * 2);
    // Only a token's first characters count; the rest is read past.
    QTest::newRow("megabyte tokens") << QByteArray(1 << 20, 'x') + '\n' + records[0] + '\n' + records[1] + '\n'
            + records[2] + QByteArray(1 << 20, 'F') + '\n' + records[3] + '\n' + ':' + QByteArray(1 << 20, 'Z');
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

void TestHexLoader::refusesBytesOutsideImage_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray data = block(0, 0xFF, 0x22);
    QTest::newRow("byte at 65000") << hexFile({upper(0), data, dataRecord(65000, "\x01")});
    QTest::newRow("record crossing 65000") << hexFile({upper(0), data, dataRecord(64990, QByteArray(16, 1))});
    QTest::newRow("record at 0xFFFF") << hexFile({upper(0), dataRecord(0xFFFF, "\x01"), data});
    QTest::newRow("negative address from a sign") << hexFile({upper(0), data, ":02-001000102"});
    QTest::newRow("negative address, type not converting") << hexFile({upper(0), data, ":01-FFFZZ01"});
}

void TestHexLoader::refusesBytesOutsideImage()
{
    QFETCH(QByteArray, text);
    QCOMPARE(load(kSignatureFile), HexLoadResult::Suitable);
    const FlashImage before = m_loaded.bytes();

    QCOMPARE(load(text), HexLoadResult::Refused);
    QCOMPARE(m_loaded.end(), 8191);
    QVERIFY(m_loaded.bytes() == before);
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
    QTest::newRow("file without stored data") << file << hexFile({block(0, 0x3F, 0x22)}) << R::NoData << 0 << Bytes{};
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
    constexpr qint64 kVerdictWithinMs = 1000;

    if (kind == QLatin1String("path") && !QFile::exists(QString::fromLatin1(text)))
        QSKIP("not on this system");
    QCOMPARE(load(hexFile({upper(0), block(0, 0x3FFF, 0x33)})), HexLoadResult::Suitable);
    const FlashImage earlier = m_loaded.bytes();
    const QString path = pathFor(kind, text);
    QVERIFY2(!path.isEmpty(), "cannot make the file");

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HexLoader::loadFile(path, m_loaded), result);
    QVERIFY2(clock.elapsed() < kVerdictWithinMs, qPrintable(QString::number(clock.elapsed())));
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

QTEST_GUILESS_MAIN(TestHexLoader)
#include "tst_hexloader.moc"
