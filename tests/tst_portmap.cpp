// The COM name map: ZORBEL_PORTS parsing and the order of enumerated devices.

#include "logcapture.h"
#include "portmap.h"

#include <QtTest>

using DeviceMap = QMap<int, QString>;

class TstPortMap : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qputenv(PortMap::kEnvironmentVariable, QByteArray()); }

    void parse_data();
    void parse();
    void comNumber_data();
    void comNumber();
    void orderDevices_data();
    void orderDevices();
    void environmentDefinesTheMap_data();
    void environmentDefinesTheMap();
};

void TstPortMap::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<DeviceMap>("devices");
    QTest::addColumn<QStringList>("rejected");

    QTest::newRow("empty") << QString() << DeviceMap{} << QStringList{};
    QTest::newRow("one pair") << "COM1=/dev/ttyUSB0" << DeviceMap{{1, "/dev/ttyUSB0"}} << QStringList{};
    QTest::newRow("example") << "COM1=/dev/ttyUSB0,COM7=/tmp/ttyV0"
                             << DeviceMap{{1, "/dev/ttyUSB0"}, {7, "/tmp/ttyV0"}} << QStringList{};
    QTest::newRow("two-digit numbers") << "COM10=/dev/a,COM50=/dev/b" << DeviceMap{{10, "/dev/a"}, {50, "/dev/b"}}
                                       << QStringList{};
    QTest::newRow("blanks around") << " COM2 = /dev/ttyS1 , COM3=/dev/ttyS2 "
                                   << DeviceMap{{2, "/dev/ttyS1"}, {3, "/dev/ttyS2"}} << QStringList{};
    QTest::newRow("empty entries") << ",COM2=/dev/x,,COM4=/dev/y," << DeviceMap{{2, "/dev/x"}, {4, "/dev/y"}}
                                   << QStringList{};
    QTest::newRow("lower case name") << "com3=/dev/x" << DeviceMap{{3, "/dev/x"}} << QStringList{};
    QTest::newRow("'=' in the path") << "COM1=/tmp/a=b" << DeviceMap{{1, "/tmp/a=b"}} << QStringList{};
    QTest::newRow("no '='") << "COM1/dev/x,COM2=/dev/y" << DeviceMap{{2, "/dev/y"}} << QStringList{"COM1/dev/x"};
    QTest::newRow("no path") << "COM1=,COM2=/dev/y" << DeviceMap{{2, "/dev/y"}} << QStringList{"COM1="};
    QTest::newRow("no name") << "=/dev/x" << DeviceMap{} << QStringList{"=/dev/x"};
    QTest::newRow("COM0") << "COM0=/dev/x" << DeviceMap{} << QStringList{"COM0=/dev/x"};
    QTest::newRow("leading zero") << "COM01=/dev/x" << DeviceMap{} << QStringList{"COM01=/dev/x"};
    QTest::newRow("negative") << "COM-1=/dev/x" << DeviceMap{} << QStringList{"COM-1=/dev/x"};
    QTest::newRow("not COM") << "LPT1=/dev/lp0,COMX=/dev/x" << DeviceMap{}
                             << QStringList{"LPT1=/dev/lp0", "COMX=/dev/x"};
    QTest::newRow("number too large") << "COM99999999999=/dev/x" << DeviceMap{}
                                      << QStringList{"COM99999999999=/dev/x"};
    QTest::newRow("beyond COM50") << "COM50=/dev/a,COM51=/dev/b,com100=/dev/c" << DeviceMap{{50, "/dev/a"}}
                                  << QStringList{"COM51=/dev/b", "com100=/dev/c"};
    QTest::newRow("second pair for a name") << "COM1=/dev/a,COM1=/dev/b" << DeviceMap{{1, "/dev/a"}}
                                            << QStringList{"COM1=/dev/b"};
    QTest::newRow("same device twice") << "COM1=/dev/a,COM2=/dev/a" << DeviceMap{{1, "/dev/a"}, {2, "/dev/a"}}
                                       << QStringList{};
}

void TstPortMap::parse()
{
    QFETCH(QString, text);
    QFETCH(DeviceMap, devices);
    QFETCH(QStringList, rejected);
    const PortMap::ParseResult result = PortMap::parse(text);
    QCOMPARE(result.devices, devices);
    QCOMPARE(result.rejected, rejected);
    QCOMPARE(result.reasons.size(), rejected.size());
}

void TstPortMap::comNumber_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("number");
    QTest::newRow("COM1") << "COM1" << 1;
    QTest::newRow("COM50") << "COM50" << 50;
    QTest::newRow("com7") << "com7" << 7;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("COM") << "COM" << 0;
    QTest::newRow("COM0") << "COM0" << 0;
    QTest::newRow("COM007") << "COM007" << 0;
    QTest::newRow("blank inside") << "COM 1" << 0;
    QTest::newRow("trailing text") << "COM1x" << 0;
    QTest::newRow("device path") << "/dev/ttyS0" << 0;
}

void TstPortMap::comNumber()
{
    QFETCH(QString, name);
    QFETCH(int, number);
    QCOMPARE(PortMap::comNumber(name), number);
}

void TstPortMap::orderDevices_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("ordered");
    QTest::newRow("none") << QStringList{} << QStringList{};
    QTest::newRow("USB before built-in") << QStringList{"ttyS0", "ttyUSB0", "ttyS1"}
                                         << QStringList{"ttyUSB0", "ttyS0", "ttyS1"};
    QTest::newRow("natural number order") << QStringList{"ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyS10", "ttyS9"}
                                          << QStringList{"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyS9", "ttyS10"};
    QTest::newRow("ACM counts as USB") << QStringList{"ttyS0", "ttyACM1", "ttyAMA0", "ttyACM0"}
                                       << QStringList{"ttyACM0", "ttyACM1", "ttyAMA0", "ttyS0"};
    QTest::newRow("macOS") << QStringList{"cu.Bluetooth-Incoming-Port", "cu.usbserial-1420", "cu.usbmodem1411",
                                          "cu.usbserial-310"}
                           << QStringList{"cu.usbmodem1411", "cu.usbserial-310", "cu.usbserial-1420",
                                          "cu.Bluetooth-Incoming-Port"};
    QTest::newRow("macOS dial-in twins dropped")
        << QStringList{"tty.usbserial-1", "cu.usbserial-1", "tty.lonely"}
        << QStringList{"cu.usbserial-1", "tty.lonely"};
    QTest::newRow("duplicates dropped") << QStringList{"ttyUSB0", "ttyUSB0", "ttyS0"}
                                        << QStringList{"ttyUSB0", "ttyS0"};
    QTest::newRow("numbers inside names") << QStringList{"ttyXR10a", "ttyXR2b", "ttyXR2a"}
                                          << QStringList{"ttyXR2a", "ttyXR2b", "ttyXR10a"};
    QTest::newRow("long digit runs") << QStringList{"ttyS123456789012345678901", "ttyS99999999999999999999"}
                                     << QStringList{"ttyS99999999999999999999", "ttyS123456789012345678901"};
}

void TstPortMap::orderDevices()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, ordered);
    QCOMPARE(PortMap::orderDevices(names), ordered);
}

void TstPortMap::environmentDefinesTheMap_data()
{
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("com");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("reported"); // warned about once, however often the map is taken
    QTest::newRow("listed") << "COM1=/dev/ttyUSB0,COM7=/tmp/ttyV0" << "COM7" << "/tmp/ttyV0" << QStringList{};
    QTest::newRow("COM10 listed") << "COM10=/dev/ttyUSB3" << "COM10" << "/dev/ttyUSB3" << QStringList{};
    QTest::newRow("not listed") << "COM1=/dev/ttyUSB0" << "COM2" << "" << QStringList{};
    QTest::newRow("set but empty") << "" << "COM1" << "" << QStringList{};
    QTest::newRow("malformed pair skipped") << "COM1,COM2=/dev/b" << "COM1" << "" << QStringList{"COM1"};
    QTest::newRow("empty name") << "COM1=/dev/a" << "" << "" << QStringList{};
    QTest::newRow("COM51 skipped") << "COM51=/dev/a,COM2=/dev/b" << "COM51" << "" << QStringList{"COM51=/dev/a"};
}

void TstPortMap::environmentDefinesTheMap()
{
#ifdef Q_OS_WIN
    QSKIP("On Windows a COM name is the device name");
#endif
    QFETCH(QString, environment);
    QFETCH(QString, com);
    QFETCH(QString, device);
    QFETCH(QStringList, reported);
    qputenv(PortMap::kEnvironmentVariable, environment.toUtf8());
    PortMap map;
    PortMap another;
    const LogCapture log;
    map.refresh();
    map.refresh(); // the next pass of the scan
    another.refresh(); // each port and each round of a station takes a map of its own
    QVERIFY(map.fromEnvironment());
    QCOMPARE(map.devicePath(com), device);
    const QStringList warnings = log.texts("zorbel.serial", QtWarningMsg);
    QCOMPARE(warnings.size(), reported.size());
    for (int i = 0; i < reported.size(); ++i)
        QVERIFY2(warnings.at(i).contains(reported.at(i)), qPrintable(warnings.at(i)));

    // The map is what refresh() took, not what the environment says later.
    qputenv(PortMap::kEnvironmentVariable, QByteArrayLiteral("COM1=/dev/other,COM2=/dev/other2"));
    QCOMPARE(map.devicePath(com), device);
}

QTEST_GUILESS_MAIN(TstPortMap)
#include "tst_portmap.moc"
