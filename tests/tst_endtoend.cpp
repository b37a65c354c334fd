// The whole job in the real window: discovery finds the instrument on COM3, a HEX file
// goes in through the file dialog, "Write Flash" sends it, and the instrument's flash
// holds the file's bytes.

#include "dialogdriver.h"
#include "hexfile.h"
#include "loaderprobe.h"
#include "settingssandbox.h"
#include "simulatedinstrument.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeJob_data();
    void wholeJob();

private:
    QTemporaryDir home;
};

void TestEndToEnd::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    qputenv("HOME", home.path().toUtf8());
}

void TestEndToEnd::wholeJob_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("baud");
    QTest::newRow("8 KiB, unpaced") << 8192 << 0;
    QTest::newRow("full image, unpaced") << 64512 << 0;
    QTest::newRow("2 KiB at 19200 bit/s") << 2048 << 19200;
}

void TestEndToEnd::wholeJob()
{
    QFETCH(int, length);
    QFETCH(int, baud);

    const SettingsSandbox sandbox;
    SimulatedInstrument::Config config;
    config.version = 123;
    config.baudRate = baud;
    SimulatedInstrument instrument(config);
    QVERIFY2(instrument.isValid(), qPrintable(instrument.errorString()));
    qputenv("ZORBEL_PORTS", instrument.portMapEntry(QStringLiteral("COM3")).toUtf8());

    const QByteArray firmware = HexFile::firmware(length, 42);
    const QString hexPath = home.filePath(QStringLiteral("firmware.hex"));
    {
        QFile file(hexPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexFile::hexText(firmware));
    }

    PELKfwloader window;
    window.show();
    LoaderProbe probe(window);

    // Discovery passes COM1 and COM2 (not mapped) and finds the instrument on COM3.
    QTRY_VERIFY_WITH_TIMEOUT(probe.ui().pushButton->isEnabled(), 20000);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("HW gefunden an: COM3"));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("Zorbelmeter, FW: V1.23"));

    {
        DialogDriver driver(hexPath);
        QTest::mouseClick(probe.ui().pushButton, Qt::LeftButton);
        QVERIFY(driver.seen().shown);
    }
    QCOMPARE(probe.ui().label->text(), QString::asprintf("HEX-Datei OK!! Laenge: %i Byte", length - 1));
    QVERIFY(probe.ui().pushButton_2->isEnabled());

    QTest::mouseClick(probe.ui().pushButton_2, Qt::LeftButton);
    QVERIFY(instrument.waitForTransferEnd(60000));

    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Flash neu beschrieben!"));
    QCOMPARE(probe.ui().label_3->text(), QStringLiteral("FW: neu, Exit Programm"));
    const int blocks = (length - 1) / 64 + 1;
    QCOMPARE(probe.ui().label_2->text(), QString::asprintf("Block: %i / %i", blocks, blocks));
    QCOMPARE(instrument.blockAddresses().size(), blocks);
    // Every block written holds the file's bytes, and erased flash beyond the file.
    const QByteArray flash = instrument.flash().left(blocks * 64);
    QCOMPARE(flash.left(length), firmware);
    QCOMPARE(flash.mid(length), QByteArray(blocks * 64 - length, char(0xFF)));

    qputenv("ZORBEL_PORTS", "");
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
