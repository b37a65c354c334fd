// Odd input the window meets: files picked that are no firmware (a folder, an empty
// file, megabytes on one line, binary noise) and font sizes stored out of all range.

#include "hexfile.h"
#include "hexloader.h"
#include "pelkfwloader.h"
#include "settingssandbox.h"

#include <QDir>
#include <QFile>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestOddInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oddHexFiles_data();
    void oddHexFiles();
    void oddFontSizes_data();
    void oddFontSizes();

private:
    std::unique_ptr<SettingsSandbox> sandbox;
};

void TestOddInput::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestOddInput::oddHexFiles_data()
{
    // Each file is loaded over a good 256-byte image; only a file with records may change it.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<HexLoadResult>("result");
    QTest::addColumn<int>("imageEnd");
    QTest::newRow("a folder") << "folder" << HexLoadResult::Unreadable << 255;
    QTest::newRow("an empty file") << "empty" << HexLoadResult::NoData << 255;
    QTest::newRow("8 MB on one line") << "long line" << HexLoadResult::NoData << 255;
    QTest::newRow("binary noise") << "noise" << HexLoadResult::Malformed << 255;
    QTest::newRow("7 MB of records on one line, blank-separated") << "records on one line" << HexLoadResult::Suitable << 64511;
}

void TestOddInput::oddHexFiles()
{
    QFETCH(QString, kind);
    QFETCH(HexLoadResult, result);
    QFETCH(int, imageEnd);

    QTemporaryDir dir;
    const QString path = dir.filePath("firmware.hex");
    if (kind == "folder") {
        QVERIFY(QDir(dir.path()).mkdir("firmware.hex"));
    } else {
        QByteArray content;
        if (kind == "long line")
            content = QByteArray(8 * 1024 * 1024, 'A');
        else if (kind == "records on one line")
            content = HexFile::hexText(HexFile::firmware(64512), 40).replace("\r\n", " ");
        else if (kind == "noise")
            content = QByteArray(4 * 1024 * 1024, '\0').replace('\0', ":\xFF\x01");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    LoadedImage image;
    const QString goodPath = dir.filePath("good.hex");
    {
        QFile good(goodPath);
        QVERIFY(good.open(QIODevice::WriteOnly));
        good.write(HexFile::hexText(HexFile::firmware(256)));
    }
    QCOMPARE(HexLoader::loadFile(goodPath, image), HexLoadResult::Suitable);
    const FlashImage before = image.bytes();

    QCOMPARE(HexLoader::loadFile(path, image), result);
    QCOMPARE(image.end(), imageEnd);
    if (imageEnd == 255)
        QVERIFY(image.bytes() == before);
}

void TestOddInput::oddFontSizes_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("pixels");
    QTest::newRow("huge") << QVariant(1000000) << 16;
    QTest::newRow("largest int") << QVariant(2147483647) << 16;
    QTest::newRow("beyond int") << QVariant(QStringLiteral("99999999999")) << 12;
    QTest::newRow("beyond int, negative") << QVariant(QStringLiteral("-99999999999")) << 12;
    QTest::newRow("negative") << QVariant(-2147483647) << 12;
    QTest::newRow("fraction") << QVariant(QStringLiteral("9.5")) << 12;
}

void TestOddInput::oddFontSizes()
{
    QFETCH(QVariant, stored);
    QFETCH(int, pixels);
    SettingsSandbox::setFontSize(stored);
    {
        PELKfwloader window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.font().pixelSize(), pixels);
        // The window still works: discovery runs its first step.
        QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().startsWith("Suche HW :"), 10000);
    }
    QCOMPARE(SettingsSandbox::fontSize().toInt(), pixels);
}

QTEST_MAIN(TestOddInput)
#include "tst_oddinput.moc"
