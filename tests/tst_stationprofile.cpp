// A station's profile: what it takes, and the line it names when it refuses.

#include "stationprofile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(StationProfile::Error)

class TestStationProfile : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
};

void TestStationProfile::load_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<StationProfile::Error>("error");
    QTest::addColumn<int>("line");

    const QString base = QStringLiteral("firmware=fw.hex\nexpect-version=1.24\n");
    QTest::newRow("whole") << QStringLiteral("# line 1\n\nfirmware=fw.hex\r\nexpect-version=V1.24\nlog=/tmp/l.jsonl\n"
                                             "restart-wait=2.5\nport2=/dev/ttyUSB1\nlabel2=Slot B\nport1=COM1\n")
                           << StationProfile::Error::None << 0;
    QTest::newRow("no firmware") << "expect-version=1.24\n" << StationProfile::Error::NoFirmware << 0;
    QTest::newRow("no version") << "firmware=fw.hex\n" << StationProfile::Error::NoVersion << 0;
    QTest::newRow("bad version") << "firmware=fw.hex\nexpect-version=1.2\n" << StationProfile::Error::BadValue << 2;
    QTest::newRow("unknown key") << base + "ports=COM1\n" << StationProfile::Error::UnknownKey << 3;
    QTest::newRow("port 49") << base + "port49=COM1\n" << StationProfile::Error::UnknownKey << 3;
    QTest::newRow("repeated key") << base + "firmware=other.hex\n" << StationProfile::Error::RepeatedKey << 3;
    QTest::newRow("not key=value") << base + "port1 /dev/ttyUSB0\n" << StationProfile::Error::NotKeyValue << 3;
    QTest::newRow("bad seconds") << base + "restart-wait=-1\n" << StationProfile::Error::BadValue << 3;
    QTest::newRow("label alone") << base + "label3=Slot C\n" << StationProfile::Error::LabelWithoutPort << 0;
}

void TestStationProfile::load()
{
    QFETCH(QString, text);
    QFETCH(StationProfile::Error, error);
    QFETCH(int, line);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("line1.conf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    file.close();

    const StationProfile profile = StationProfile::load(path);
    QCOMPARE(profile.error(), error);
    QCOMPARE(profile.errorLine(), line);
    if (error != StationProfile::Error::None)
        return;
    QCOMPARE(profile.firmwarePath(), QDir(dir.path()).filePath(QStringLiteral("fw.hex"))); // beside the profile
    QCOMPARE(profile.expectedVersion(), 124);
    QCOMPARE(profile.logPath(), QStringLiteral("/tmp/l.jsonl"));
    QCOMPARE(profile.restartWait(), std::chrono::milliseconds(2500));
    QCOMPARE(profile.ports().size(), 2);
    QCOMPARE(profile.ports().at(0).port, QStringLiteral("COM1")); // in number order
    QCOMPARE(profile.ports().at(1).label, QStringLiteral("Slot B"));
}

QTEST_GUILESS_MAIN(TestStationProfile)
#include "tst_stationprofile.moc"
