// zorbelflash's records: the fields of the JSON line, on standard output and in the
// log. The tool runs in this process.

#include "flashtoolfixture.h"

#include <QSysInfo>

class TestZorbelflashRecords : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }
    void jsonFields_data();
    void jsonFields();
};

void TestZorbelflashRecords::jsonFields_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("byIdLink"); // the adapter has a link in the by-id folder
    QTest::addColumn<QString>("firmwareBefore");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QStringList>("confirm"); // options that wait for the instrument after its write
    QTest::addColumn<QString>("firmwareAfter"); // null: the field is not there
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("status");
    const QStringList expect124{"--expect-version", "1.24", "--restart-wait", "2"};
    QTest::newRow("written") << "v105" << true << "1.05" << kBlocks << QStringList() << QString() << "written" << 0;
    QTest::newRow("aborted") << "stall" << false << "1.23" << 5 << QStringList() << QString() << "no-answer" << 4;
    QTest::newRow("confirmed") << "to124" << false << "1.23" << kBlocks << expect124 << "1.24" << "written" << 0;
    QTest::newRow("back as another version") << "to124" << false << "1.23" << kBlocks
                                             << QStringList{"--expect-version", "V1.25"} << "1.24" << "wrong-version"
                                             << 8;
    QTest::newRow("never back") << "gone" << false << "1.23" << kBlocks << expect124 << "" << "no-restart" << 8;
}

void TestZorbelflashRecords::jsonFields()
{
    QFETCH(QString, kind);
    QFETCH(bool, byIdLink);
    QFETCH(QString, firmwareBefore);
    QFETCH(int, blocks);
    QFETCH(QStringList, confirm);
    QFETCH(QString, firmwareAfter);
    QFETCH(QString, outcome);
    QFETCH(int, status);
    QVERIFY(addInstruments({kind}));
    mapPorts();
    // The by-id folder holds a link to another device beside the adapter's.
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("by-id")));
    const QString link = dir->filePath(QStringLiteral("by-id/usb-Zorbel_Adapter_A1234-if00-port0"));
    QVERIFY(QFile::link(dir->filePath(QStringLiteral("no-such-tty")), dir->filePath(QStringLiteral("by-id/usb-Other-if00"))));
    if (byIdLink)
        QVERIFY(QFile::link(instruments.front()->devicePath(), link));

    const QDateTime started = QDateTime::currentDateTimeUtc();
    const Run run = runTool(QStringList{"write", "FILE", "--port", "COM1", "--json", "--log", "LOG"} + confirm);
    QCOMPARE(exitCode(run.status), status);
    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 1);
    const QJsonObject object = objects.first();
    QStringList keys{"blocks", "by_id", "device", "file", "firmware_before", "host", "outcome", "port",
                     "seconds", "sha256", "time", "tool_version"};
    if (!firmwareAfter.isNull())
        keys.insert(keys.indexOf("firmware_before"), QStringLiteral("firmware_after"));
    QCOMPARE(object.keys(), keys);
    QCOMPARE(object.value("firmware_after").toString(), firmwareAfter);
    const QDateTime time = QDateTime::fromString(object.value("time").toString(), Qt::ISODateWithMs);
    QVERIFY2(time.timeSpec() == Qt::UTC && time >= started.addSecs(-1), qPrintable(object.value("time").toString()));
    QCOMPARE(object.value("host").toString(), QSysInfo::machineHostName());
    QCOMPARE(object.value("port").toString(), QStringLiteral("COM1"));
    QCOMPARE(object.value("device").toString(), instruments.front()->devicePath());
    QCOMPARE(object.value("by_id").toString(), byIdLink ? link : QString());
    QCOMPARE(object.value("firmware_before").toString(), firmwareBefore);
    QCOMPARE(object.value("file").toString(), QFileInfo(hexPath).absoluteFilePath());
    QCOMPARE(object.value("blocks").toInt(), blocks);
    QCOMPARE(object.value("sha256").toString().toLatin1(), sha256Hex(blockData(firmware, blocks)));
    QVERIFY(object.value("seconds").toDouble() > 0);
    QCOMPARE(object.value("outcome").toString(), outcome);
    QCOMPARE(instruments.front()->blockAddresses().size(), blocks); // what was reported went out

    QFile log(dir->filePath(QStringLiteral("flash.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), run.out); // the log holds the same line
}

QTEST_GUILESS_MAIN(TestZorbelflashRecords)
#include "tst_zorbelflash_records.moc"
