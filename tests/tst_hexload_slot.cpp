// "HEX-Datei" in the window: the real file dialog, the verdict and the buttons.

#include "dialogdriver.h"
#include "hexfile.h"
#include "hexloader.h"
#include "loaderprobe.h"
#include "settingssandbox.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QColor textColour(const QLabel *label)
{
    return label->palette().color(QPalette::Active, QPalette::WindowText);
}

} // namespace

class TestHexLoadSlot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dialogAsShown();
    void verdicts_data();
    void verdicts();
    void cancelChangesOnlyTheLabel();
    void loadAfterGoodOne_data();
    void loadAfterGoodOne();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    // Presses "HEX-Datei" and answers the dialog with path ("" cancels).
    DialogDriver::Seen load(const QString &path,
                            DialogDriver::AfterChoice after = DialogDriver::AfterChoice::Keep);

    QTemporaryDir home;
    std::unique_ptr<SettingsSandbox> sandbox;
    std::unique_ptr<PELKfwloader> window;
};

void TestHexLoadSlot::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    qputenv("HOME", home.path().toUtf8());
    qputenv("ZORBEL_PORTS", "");
}

void TestHexLoadSlot::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
    window = std::make_unique<PELKfwloader>();
    window->show();
    // The button is enabled by discovery; here it is enabled by hand.
    LoaderProbe(*window).ui().pushButton->setEnabled(true);
}

void TestHexLoadSlot::cleanup()
{
    window.reset();
}

QString TestHexLoadSlot::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = home.filePath(name);
    QFile::remove(path); // an earlier test may have left a pipe in its place
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(content);
    return path;
}

DialogDriver::Seen TestHexLoadSlot::load(const QString &path, DialogDriver::AfterChoice after)
{
    DialogDriver driver(path, after);
    QTest::mouseClick(LoaderProbe(*window).ui().pushButton, Qt::LeftButton);
    return driver.seen();
}

void TestHexLoadSlot::dialogAsShown()
{
    const DialogDriver::Seen seen = load(QString());
    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, QStringLiteral("HEX-Datei Laden"));
    QCOMPARE(QDir(seen.directory).canonicalPath(), QDir(home.path()).canonicalPath());
    QCOMPARE(seen.filters, QStringList{QStringLiteral("HEX-Datei (*.hex)")});
    QCOMPARE(seen.preset, QStringLiteral("*.hex"));
}

void TestHexLoadSlot::verdicts_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("green");
    QTest::addColumn<bool>("writeEnabled");

    QTest::newRow("good 8 KiB") << HexFile::hexText(HexFile::firmware(8192))
                                << "HEX-Datei OK!! Laenge: 8191 Byte" << true << true;
    QTest::newRow("good at the limit") << HexFile::hexText(HexFile::firmware(64512))
                                       << "HEX-Datei OK!! Laenge: 64511 Byte" << true << true;
    QTest::newRow("one byte too long") << HexFile::hexText(HexFile::firmware(64513))
                                       << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("no signature") << HexFile::hexText(QByteArray(256, '\x11'))
                                  << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("past the image") << HexFile::hexText(HexFile::firmware(65100))
                                    << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("empty file") << QByteArray() << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("two records on one line")
        << QByteArray(HexFile::hexText(HexFile::firmware(256))).replace("\r\n:10001000", ":10001000")
        << "HEX-Datei nicht geeignet!!" << false << false;
}

void TestHexLoadSlot::verdicts()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, text);
    QFETCH(bool, green);
    QFETCH(bool, writeEnabled);

    const QString path = writeFile(QStringLiteral("firmware.hex"), content);
    QVERIFY(!path.isEmpty());
    QVERIFY(load(path).shown);

    LoaderProbe probe(*window);
    QCOMPARE(probe.ui().label->text(), text);
    QCOMPARE(textColour(probe.ui().label), green ? QColor(Qt::darkGreen) : QColor(Qt::red));
    QCOMPARE(probe.ui().pushButton_2->isEnabled(), writeEnabled);
    // The loader speaks only through its label.
    QVERIFY(probe.ui().label_2->text().isEmpty());
    QVERIFY(probe.ui().label_3->text().isEmpty());
    QVERIFY(!window->statusBar()->currentMessage().contains(QStringLiteral("HEX")));
}

void TestHexLoadSlot::cancelChangesOnlyTheLabel()
{
    const QString path = writeFile(QStringLiteral("good.hex"), HexFile::hexText(HexFile::firmware(1000)));
    QVERIFY(load(path).shown);
    LoaderProbe probe(*window);
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    const FlashImage before = probe.flashImage();

    QVERIFY(load(QString()).shown);

    QCOMPARE(probe.ui().label->text(), QStringLiteral("HEX-Datei Laden, Abbruch!"));
    QCOMPARE(textColour(probe.ui().label), QColor(Qt::red));
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    QCOMPARE(probe.imageEnd(), 999);
    QVERIFY(probe.flashImage() == before);
}

// Every verdict on a second file after a good one: only a good file changes the
// window's image, and then whole; any other verdict locks "Write Flash".
void TestHexLoadSlot::loadAfterGoodOne_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("text");
    const QString unsuitable = QStringLiteral("HEX-Datei nicht geeignet!!");
    const QString unreadable = QStringLiteral("HEX-Datei nicht lesbar!");
    QTest::newRow("shorter good file") << "shorter.hex" << "HEX-Datei OK!! Laenge: 255 Byte";
    QTest::newRow("unsuitable") << "unsuitable.hex" << unsuitable;
    QTest::newRow("outside the image") << "outside.hex" << unsuitable;
    QTest::newRow("cut off") << "cutoff.hex" << unsuitable;
    QTest::newRow("no data") << "empty.hex" << unsuitable;
    QTest::newRow("larger than 64 MiB") << "huge.hex" << unsuitable;
    QTest::newRow("pipe in place of the chosen file") << "pipe.hex" << unreadable;
    QTest::newRow("file gone after the choice") << "vanishing.hex" << unreadable;
}

void TestHexLoadSlot::loadAfterGoodOne()
{
    QFETCH(QString, second);
    QFETCH(QString, text);

    const QByteArray shorter = HexFile::firmware(256, 2);
    writeFile(QStringLiteral("shorter.hex"), HexFile::hexText(shorter));
    writeFile(QStringLiteral("unsuitable.hex"), HexFile::hexText(QByteArray(64, '\x22')));
    QByteArray outside = HexFile::hexText(HexFile::firmware(64));
    outside.insert(outside.lastIndexOf(':'), HexFile::record(0x00, 0xFDE8, QByteArray(1, '\x33')) + "\r\n"); // address 65000
    writeFile(QStringLiteral("outside.hex"), outside);
    QByteArray cutOff = HexFile::hexText(HexFile::firmware(64));
    writeFile(QStringLiteral("cutoff.hex"), cutOff.left(cutOff.lastIndexOf(':')));
    writeFile(QStringLiteral("empty.hex"), {});
    QFile huge(writeFile(QStringLiteral("huge.hex"), {}));
    QVERIFY(huge.resize(HexLoader::kMaxFileBytes + 1));
    writeFile(QStringLiteral("pipe.hex"), HexFile::hexText(HexFile::firmware(64)));
    writeFile(QStringLiteral("vanishing.hex"), HexFile::hexText(HexFile::firmware(64)));

    QVERIFY(load(writeFile(QStringLiteral("good.hex"), HexFile::hexText(HexFile::firmware(4096)))).shown);
    LoaderProbe probe(*window);
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    const FlashImage goodImage = probe.flashImage();

    // The dialog offers regular files only: a pipe comes in after the choice.
    DialogDriver::AfterChoice after = DialogDriver::AfterChoice::Keep;
    if (second == QLatin1String("vanishing.hex"))
        after = DialogDriver::AfterChoice::RemoveFile;
    else if (second == QLatin1String("pipe.hex"))
        after = DialogDriver::AfterChoice::ReplaceWithPipe;
    QVERIFY(load(home.filePath(second), after).shown);
    QCOMPARE(probe.ui().label->text(), text);
    const bool good = second == QLatin1String("shorter.hex");
    QCOMPARE(textColour(probe.ui().label), good ? QColor(Qt::darkGreen) : QColor(Qt::red));
    QCOMPARE(probe.ui().pushButton_2->isEnabled(), good);
    if (good) {
        // Nothing of the longer file is left behind the shorter one.
        FlashImage expected;
        expected.fill(kErasedByte);
        for (int address = 0; address < shorter.size(); ++address)
            expected[address] = quint8(shorter[address]);
        QCOMPARE(probe.imageEnd(), 255);
        QVERIFY(probe.flashImage() == expected);
    } else {
        QCOMPARE(probe.imageEnd(), 4095);
        QVERIFY(probe.flashImage() == goodImage);
    }
}

QTEST_MAIN(TestHexLoadSlot)
#include "tst_hexload_slot.moc"
