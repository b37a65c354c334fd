#include "flashimage.h"
#include "hexloader.h"

#include <QBuffer>
#include <QFile>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Bytes = QList<QPair<int, int>>; // address, expected entry

const QByteArray kSignature("\x00\xEF\x7E\xF0", 4);

QByteArray hexDigits(int value, int digits)
{
    return QByteArray::number(value, 16).rightJustified(digits, '0').toUpper();
}

QByteArray record(int type, int address, const QByteArray& data)
{
    int sum = int(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (const char c : data)
        sum += quint8(c);
    return ':' + hexDigits(int(data.size()), 2) + hexDigits(address, 4) + hexDigits(type, 2)
        + data.toHex().toUpper() + hexDigits(-sum & 0xFF, 2);
}

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

const QByteArray kSignatureFile = lines({upper(0), block(0, 0x1FFF, 0x11)});

} // namespace

char* toString(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::Suitable: return qstrdup("Suitable");
    case HexLoadResult::Unsuitable: return qstrdup("Unsuitable");
    case HexLoadResult::Refused: return qstrdup("Refused");
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
    void unreadableFile_data();
    void unreadableFile();
    void closedDeviceIsUnreadable();

private:
    HexLoadResult load(const QByteArray& text);

    QTemporaryDir m_dir;
    std::unique_ptr<FlashImage> m_image;
    int m_imageEnd = kImageEndUnset;
    int m_fileCount = 0;
};

void TestHexLoader::init()
{
    QVERIFY(m_dir.isValid());
    m_image = std::make_unique<FlashImage>();
    m_image->fill(kErasedByte);
    m_imageEnd = kImageEndUnset;
}

HexLoadResult TestHexLoader::load(const QByteArray& text)
{
    QFile file(m_dir.filePath(QStringLiteral("f%1.hex").arg(++m_fileCount)));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write test file");
    file.close();
    return HexLoader::loadFile(file.fileName(), *m_image, m_imageEnd);
}

void TestHexLoader::records_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<int>("imageEnd");
    QTest::addColumn<Bytes>("bytes");
    using R = HexLoadResult;
    const QByteArray small = lines({upper(0), block(0, 0x3F, 0x11)});

    QTest::newRow("type 04 of 0, data 0x0000-0x1FFF")
        << QByteArray() << kSignatureFile << R::Suitable << 8191
        << Bytes{{0, 0x11}, {32, 0x00}, {33, 0xEF}, {34, 0x7E}, {35, 0xF0}, {0x1FFF, 0x11}, {0x2000, 0xFF}};
    QTest::newRow("no type-04 record stores nothing")
        << QByteArray() << lines({block(0, 0x1FFF, 0x11), endOfFile()}) << R::Unsuitable << -1
        << Bytes{{0, 0xFF}, {32, 0xFF}};
    QTest::newRow("data before the first type-04 record dropped")
        << QByteArray() << lines({dataRecord(0x40, "\xAA"), upper(0), block(0, 0x3F, 0x11)})
        << R::Suitable << 0x3F << Bytes{{0x40, 0xFF}};
    QTest::newRow("nonzero type-04 window skipped until 0 again")
        << QByteArray()
        << lines({upper(0), block(0, 0x3F, 0x11), upper(1), dataRecord(0x100, "\x22"), dataRecord(0xFFF0, QByteArray(16, 1)),
                  ":02000004ZZZZ00", dataRecord(0x101, "\x22"), upper(0), dataRecord(0x200, "\x33")})
        << R::Suitable << 0x200 << Bytes{{0x100, 0xFF}, {0x101, 0xFF}, {0x200, 0x33}};
    QTest::newRow("end-of-file record mid-file ignored")
        << QByteArray() << lines({upper(0), block(0, 0x3F, 0x11), endOfFile(), dataRecord(0x80, "\x44")})
        << R::Suitable << 0x80 << Bytes{{0x80, 0x44}};
    QTest::newRow("types 02 03 05 and unknown ignored, window kept")
        << QByteArray()
        << lines({upper(0), block(0, 0x3F, 0x11), record(0x02, 0, "\x10\x00"), record(0x03, 0x20, "\x01\x02\x03\x04"),
                  record(0x05, 0x20, "\x01\x02\x03\x04"), record(0x06, 0x40, "\x55"), record(0xFF, 0x41, "\x55"),
                  dataRecord(0x80, "\x44")})
        << R::Suitable << 0x80 << Bytes{{32, 0x00}, {35, 0xF0}, {0x40, 0xFF}, {0x41, 0xFF}, {0x80, 0x44}};
    QTest::newRow("type that does not convert counts as data")
        << QByteArray() << lines({upper(0), block(0, 0x3F, 0x11), ":010080ZZ4400"}) << R::Suitable << 0x80
        << Bytes{{0x80, 0x44}};
    QTest::newRow("wrong checksums stored")
        << QByteArray() << withBrokenChecksums(kSignatureFile) << R::Suitable << 8191 << Bytes{{0x1FFF, 0x11}};
    QTest::newRow("end 64511 passes")
        << QByteArray() << lines({upper(0), block(0, 64511, 0x11)}) << R::Suitable << 64511 << Bytes{{64511, 0x11}};
    QTest::newRow("end 64512 fails")
        << QByteArray() << lines({upper(0), block(0, 64512, 0x11)}) << R::Unsuitable << 64512 << Bytes{{64512, 0x11}};
    QTest::newRow("last image address 64999 stored")
        << QByteArray() << lines({upper(0), block(0, 0x3F, 0x11), dataRecord(64999, "\x5A")}) << R::Unsuitable << 64999
        << Bytes{{64999, 0x5A}};
    QTest::newRow("end follows the last record, not the highest")
        << QByteArray() << lines({upper(0), block(0, 0x1FFF, 0x11), block(0xF0, 0xFF, 0x22)}) << R::Suitable << 255
        << Bytes{{0xFF, 0x22}, {0x1FFF, 0x11}};
    QTest::newRow("bare colon is an empty record at 0")
        << QByteArray() << lines({upper(0), block(0, 0x3F, 0x11), ":"}) << R::Suitable << -1 << Bytes{};
    QTest::newRow("byte count 0") << QByteArray() << lines({small, dataRecord(0x100, {})}) << R::Suitable << 0xFF
                                  << Bytes{{0x100, 0xFF}};
    QTest::newRow("negative byte count stores nothing")
        << QByteArray() << lines({small, ":-1010000AABB00"}) << R::Suitable << 0xFF << Bytes{{0x100, 0xFF}};
    QTest::newRow("negative address without bytes accepted")
        << QByteArray() << lines({small, ":00-00100"}) << R::Suitable << -2 << Bytes{};
    QTest::newRow("byte field not converting repeats the previous one")
        << QByteArray() << lines({small, ":03004000AAZZBB00", ":01004300ZZ00"}) << R::Suitable << 0x43
        << Bytes{{0x40, 0xAA}, {0x41, 0xAA}, {0x42, 0xBB}, {0x43, 0xBB}};
    QTest::newRow("first byte field not converting gives 0")
        << QByteArray() << lines({upper(0), ":02004000ZZ1100", block(0, 0x3F, 0x11)}) << R::Suitable << 0x3F
        << Bytes{{0x40, 0x00}, {0x41, 0x11}};
    QTest::newRow("count beyond the data reads checksum and past the end")
        << QByteArray() << lines({small, ":03004000ABCD"}) << R::Suitable << 0x42
        << Bytes{{0x40, 0xAB}, {0x41, 0xCD}, {0x42, 0xCD}};
    QTest::newRow("count and address not converting are 0")
        << QByteArray() << lines({upper(0), ":ZZZZZZ0055", ":01ZZZZ0055"}) << R::Unsuitable << 0 << Bytes{{0, 0x55}};
    QTest::newRow("sign and 0x prefix converted") << QByteArray() << lines({small, ":01+0400077", ":010x410078"})
                                                  << R::Suitable << 0x41 << Bytes{{0x40, 0x77}, {0x41, 0x78}};
    QTest::newRow("lower-case digits") << QByteArray() << small.toLower() << R::Suitable << 0x3F << Bytes{{33, 0xEF}};
    QTest::newRow("shorter file after a longer one")
        << kSignatureFile << lines({upper(0), block(0, 0xFF, 0x22)}) << R::Suitable << 255
        << Bytes{{0, 0x22}, {0xFF, 0x22}, {0x100, 0x11}, {0x1FFF, 0x11}};
    QTest::newRow("file without stored data keeps the earlier image")
        << kSignatureFile << lines({block(0, 0x3F, 0x22)}) << R::Suitable << 8191 << Bytes{{0, 0x11}};
    for (int i = 0; i < int(kSignatureLength); ++i) {
        QByteArray signature = kSignature;
        signature[i] = char(signature[i] ^ 0x01);
        QTest::addRow("signature byte %d wrong", i)
            << QByteArray() << lines({upper(0), block(0, 0x3F, 0x11, signature)}) << R::Unsuitable << 0x3F
            << Bytes{{kSignatureAddress + i, quint8(signature[i])}};
    }
}

void TestHexLoader::records()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, text);
    QFETCH(HexLoadResult, result);
    QFETCH(int, imageEnd);
    QFETCH(Bytes, bytes);

    if (!before.isEmpty())
        QCOMPARE(load(before), HexLoadResult::Suitable);
    QCOMPARE(load(text), result);
    QCOMPARE(m_imageEnd, imageEnd);
    for (const auto& [address, value] : bytes)
        QCOMPARE((*m_image)[address], value);
}

void TestHexLoader::tokens_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArrayList records{upper(0), block(0, 0x3F, 0x11), dataRecord(0x40, "\x44")};
    const QByteArray lf = records.join('\n');

    QTest::newRow("LF") << lf;
    QTest::newRow("CR LF") << QByteArray(lf).replace('\n', "\r\n");
    QTest::newRow("CR only") << QByteArray(lf).replace('\n', '\r');
    QTest::newRow("blanks and tabs, several per line") << "  " + QByteArray(lf).replace('\n', " \t ") + " \n\n";
    QTest::newRow("non-record tokens skipped") << "; comment 1234\n" + lf + "\nx" + dataRecord(0x80, "\x66");
    QTest::newRow("UTF-8 byte order mark") << "\xEF\xBB\xBF" + lf;
    const QString wide = QString::fromLatin1(lf);
    QTest::newRow("UTF-16LE with byte order mark")
        << QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(wide.utf16()), wide.size() * 2);
}

void TestHexLoader::tokens()
{
    QFETCH(QByteArray, text);
    QCOMPARE(load(text), HexLoadResult::Suitable);
    QCOMPARE(m_imageEnd, 0x40);
    QCOMPARE((*m_image)[0x40], 0x44);
    QCOMPARE((*m_image)[0x80], 0xFF);
}

void TestHexLoader::refusesBytesOutsideImage_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray data = block(0, 0xFF, 0x22);
    QTest::newRow("byte at 65000") << lines({upper(0), data, dataRecord(65000, "\x01")});
    QTest::newRow("record crossing 65000") << lines({upper(0), data, dataRecord(64990, QByteArray(16, 1))});
    QTest::newRow("record at 0xFFFF") << lines({upper(0), dataRecord(0xFFFF, "\x01"), data});
    QTest::newRow("negative address from a sign") << lines({upper(0), data, ":02-001000102"});
    QTest::newRow("negative address, type not converting") << lines({upper(0), data, ":01-FFFZZ01"});
}

void TestHexLoader::refusesBytesOutsideImage()
{
    QFETCH(QByteArray, text);
    QCOMPARE(load(kSignatureFile), HexLoadResult::Suitable);
    const FlashImage before = *m_image;

    QCOMPARE(load(text), HexLoadResult::Refused);
    QCOMPARE(m_imageEnd, 8191);
    QVERIFY(*m_image == before);
}

void TestHexLoader::unreadableFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("missing.hex"));
    QTest::newRow("directory") << m_dir.path();
    QTest::newRow("opens but read fails") << QStringLiteral("/proc/self/mem");
}

void TestHexLoader::unreadableFile()
{
    QFETCH(QString, path);
    if (path.startsWith(QLatin1String("/proc")) && !QFile::exists(path))
        QSKIP("no /proc on this system");
    QCOMPARE(load(kSignatureFile), HexLoadResult::Suitable);
    const FlashImage before = *m_image;

    QCOMPARE(HexLoader::loadFile(path, *m_image, m_imageEnd), HexLoadResult::Unreadable);
    QCOMPARE(m_imageEnd, 8191);
    QVERIFY(*m_image == before);
}

void TestHexLoader::closedDeviceIsUnreadable()
{
    QByteArray text = kSignatureFile;
    QBuffer buffer(&text);
    QCOMPARE(HexLoader::loadDevice(buffer, *m_image, m_imageEnd), HexLoadResult::Unreadable);
    QCOMPARE(m_imageEnd, kImageEndUnset);
    QCOMPARE((*m_image)[0], kErasedByte);

    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(HexLoader::loadDevice(buffer, *m_image, m_imageEnd), HexLoadResult::Suitable);
    QCOMPARE(m_imageEnd, 8191);
}

QTEST_GUILESS_MAIN(TestHexLoader)
#include "tst_hexloader.moc"
