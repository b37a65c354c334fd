// zorbelflash's records: the fields of the JSON line, on standard output and in the
// log. The tool runs in this process.

#include "flashtoolfixture.h"
#include "logfile.h"

#include <csignal>
#include <sys/resource.h>

class TestZorbelflashRecords : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }
    void jsonFields_data();
    void jsonFields();
    void logKeepsWholeLines_data();
    void logKeepsWholeLines();
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

void TestZorbelflashRecords::logKeepsWholeLines_data()
{
    QTest::addColumn<QString>("event"); // between the first record and the second
    QTest::newRow("disk full") << "full";
    QTest::newRow("file deleted") << "deleted";
    QTest::newRow("file replaced") << "replaced";
}

// Whatever happens to the log between two records, each record kept is a whole line of
// the file at the path.
void TestZorbelflashRecords::logKeepsWholeLines()
{
    QFETCH(QString, event);
    const QString path = dir->filePath(QStringLiteral("flash.log"));
    const LogFile::Opened opened = LogFile::open(path);
    QVERIFY(opened.file);
    LogFile &log = *opened.file;
    const QSignalSpy reopened(&log, &LogFile::reopened);
    const QByteArray first = "{\"record\":1}\n";
    const QByteArray second = "{\"record\":2,\"padding\":\"" + QByteArray(200, 'x') + "\"}\n";
    QString reason;
    QVERIFY(log.append(first, &reason));
    QByteArray expected = first;
    if (event == QLatin1String("full")) {
        // The disk takes 10 bytes of the second record.
        rlimit saved = {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit limit = saved;
        limit.rlim_cur = first.size() + 10;
        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        const bool limited = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        const bool kept = log.append(second, &reason);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, previousHandler);
        QVERIFY(limited && !kept);
        QCOMPARE(reason, qt_error_string(EFBIG));
    } else {
        if (event == QLatin1String("deleted")) {
            QVERIFY(QFile::remove(path));
            expected.clear();
        } else {
            QVERIFY(QFile::rename(path, path + QStringLiteral(".old")));
            QFile other(path);
            QVERIFY(other.open(QIODevice::WriteOnly));
            other.write("{\"other\":1}\n");
            expected = "{\"other\":1}\n";
        }
        QVERIFY2(log.append(second, &reason), qPrintable(reason));
        expected += second;
    }
    QVERIFY2(log.append(first, &reason), qPrintable(reason));
    expected += first;
    QCOMPARE(reopened.count(), event == QLatin1String("full") ? 0 : 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

QTEST_GUILESS_MAIN(TestZorbelflashRecords)
#include "tst_zorbelflash_records.moc"
