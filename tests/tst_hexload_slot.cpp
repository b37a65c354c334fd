// "HEX-Datei" in the window: the real file dialog, the verdict and the buttons.

#include "dialogdriver.h"
#include "hexfixture.h"
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
    void failedLoadAfterGoodOneDisablesWriting_data();
    void failedLoadAfterGoodOneDisablesWriting();

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

    QTest::newRow("good 8 KiB") << HexFixture::hexText(HexFixture::firmware(8192))
                                << "HEX-Datei OK!! Laenge: 8191 Byte" << true << true;
    QTest::newRow("good at the limit") << HexFixture::hexText(HexFixture::firmware(64512))
                                       << "HEX-Datei OK!! Laenge: 64511 Byte" << true << true;
    QTest::newRow("one byte too long") << HexFixture::hexText(HexFixture::firmware(64513))
                                       << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("no signature") << HexFixture::hexText(QByteArray(256, '\x11'))
                                  << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("past the image") << HexFixture::hexText(HexFixture::firmware(65100))
                                    << "HEX-Datei nicht geeignet!!" << false << false;
    QTest::newRow("empty file") << QByteArray() << "HEX-Datei nicht geeignet!!" << false << false;
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
    const QString path = writeFile(QStringLiteral("good.hex"), HexFixture::hexText(HexFixture::firmware(1000)));
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

void TestHexLoadSlot::failedLoadAfterGoodOneDisablesWriting_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("text");
    QTest::newRow("unsuitable") << "unsuitable.hex" << "HEX-Datei nicht geeignet!!";
    QTest::newRow("outside the image") << "outside.hex" << "HEX-Datei nicht geeignet!!";
    QTest::newRow("file gone after the choice") << "vanishing.hex" << "HEX-Datei nicht lesbar!";
}

void TestHexLoadSlot::failedLoadAfterGoodOneDisablesWriting()
{
    QFETCH(QString, second);
    QFETCH(QString, text);

    writeFile(QStringLiteral("unsuitable.hex"), HexFixture::hexText(QByteArray(64, '\x22')));
    QByteArray outside = HexFixture::hexText(HexFixture::firmware(64));
    outside += HexFixture::record(0x00, 0xFDE8, QByteArray(1, '\x33')); // address 65000
    writeFile(QStringLiteral("outside.hex"), outside);
    writeFile(QStringLiteral("vanishing.hex"), HexFixture::hexText(HexFixture::firmware(64)));

    QVERIFY(load(writeFile(QStringLiteral("good.hex"), HexFixture::hexText(HexFixture::firmware(4096)))).shown);
    LoaderProbe probe(*window);
    QVERIFY(probe.ui().pushButton_2->isEnabled());
    const FlashImage goodImage = probe.flashImage();

    const bool vanishing = second == QLatin1String("vanishing.hex");
    QVERIFY(load(home.filePath(second), vanishing ? DialogDriver::AfterChoice::RemoveFile
                                                  : DialogDriver::AfterChoice::Keep).shown);
    QCOMPARE(probe.ui().label->text(), text);
    QCOMPARE(textColour(probe.ui().label), QColor(Qt::red));
    QVERIFY(!probe.ui().pushButton_2->isEnabled());
    if (second != QLatin1String("unsuitable.hex")) {
        // Refused or unread: the image and its end are exactly as before.
        QCOMPARE(probe.imageEnd(), 4095);
        QVERIFY(probe.flashImage() == goodImage);
    }
}

QTEST_MAIN(TestHexLoadSlot)
#include "tst_hexload_slot.moc"
