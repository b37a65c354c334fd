// zorbelflash judging a HEX file: what check prints, where a refused file is at fault,
// and records with a wrong checksum (a warning, or with --strict a refusal). The tool
// runs in this process.

#include "flashtoolfixture.h"

class TestZorbelflashFile : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }
    void checkDescribesTheBlockData();
    void fileFaultsAreNamed_data();
    void fileFaultsAreNamed();
};

void TestZorbelflashFile::checkDescribesTheBlockData()
{
    const Run run = runTool({"check", "FILE"});
    QCOMPARE(run.status, ExitStatus::Success);
    const QByteArray expected = hexPath.toUtf8() + ": suitable\nend address: 8191 (0x1FFF)\nblocks: 128 of 64 bytes\n"
                                + "sha256: " + sha256Hex(blockData(firmware, kBlocks)) + "\n";
    QCOMPARE(run.out, expected);
}

void TestZorbelflashFile::fileFaultsAreNamed_data()
{
    // The file's lines: 1 the address record, 2 to 513 the data records, 514 the end.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // on standard output for check, else on standard error

    const QStringList check{"check", "FILE"};
    const QStringList write{"write", "FILE", "--wait", "0"};
    QTest::newRow("two records on one line") << "two" << check << 2 << "FILE: not suitable: line 21: two records glued together\n";
    QTest::newRow("record cut off") << "cut" << check << 2 << "FILE: not suitable: line 240: record cut off\n";
    QTest::newRow("no end-of-file record") << "noeof" << check << 2 << "FILE: not suitable: no end-of-file record\n";
    QTest::newRow("the file twice") << "twice" << check << 2
                                    << "FILE: not suitable: line 515: a record after the end-of-file record\n";
    QTest::newRow("wrong checksums: a warning")
        << "checksums" << check << 0
        << "zorbelflash: warning: FILE: 2 records with a wrong checksum (lines 3, 7); taken as the window takes it";
    QTest::newRow("wrong checksums, --strict")
        << "checksums" << check + QStringList{"--strict"} << 2
        << "FILE: not suitable: 2 records with a wrong checksum (lines 3, 7) (--strict)\n";
    QTest::newRow("write, wrong checksums: written")
        << "checksums" << write << 0 << "zorbelflash: warning: FILE: 2 records with a wrong checksum";
    QTest::newRow("write, wrong checksums, --strict: nothing sent")
        << "checksums" << write + QStringList{"--strict"} << 2
        << "zorbelflash: FILE: not suitable: 2 records with a wrong checksum (lines 3, 7) (--strict); nothing written\n";
    QTest::newRow("list --strict") << QString() << QStringList{"list", "--strict"} << 1 << "list takes no options";
}

void TestZorbelflashFile::fileFaultsAreNamed()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);

    QList<QByteArray> lines = HexFile::hexText(firmware).split('\n');
    lines.removeLast(); // after the last line end
    for (QByteArray &line : lines)
        line.chop(1); // the CR
    QCOMPARE(lines.size(), 514);
    if (fault == QLatin1String("two")) {
        lines[20] += lines.takeAt(21);
    } else if (fault == QLatin1String("cut")) {
        lines[239].truncate(20);
    } else if (fault == QLatin1String("twice")) {
        lines += lines;
    } else if (fault == QLatin1String("noeof")) {
        lines.removeLast();
    } else if (fault == QLatin1String("checksums")) {
        for (const int index : {2, 6})
            lines[index].back() = lines[index].back() == '0' ? '1' : '0';
    }
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hex.write(lines.join("\r\n") + "\r\n");
    hex.close();
    QVERIFY(addInstruments({"ok"}));
    mapPorts();

    const Run run = runTool(arguments);
    QVERIFY2(exitCode(run.status) == status, run.err.constData());
    const QByteArray text = arguments.first() == QLatin1String("check") && status == 2 ? run.out : run.err;
    QVERIFY2(text.contains(said.replace(QLatin1String("FILE"), hexPath).toUtf8()), text.constData());
    // Only a file that is taken reaches the instrument.
    QCOMPARE(instruments.front()->endReceived(), arguments.first() == QLatin1String("write") && status == 0);
    if (status != 0)
        QCOMPARE(instruments.front()->versionQueries(), 0);
}

QTEST_GUILESS_MAIN(TestZorbelflashFile)
#include "tst_zorbelflash_file.moc"
