// zorbelflash --journal against a journald of the test's own, started in a private
// mount namespace (tests/journal-namespace.sh): the journal entry of a record carries
// every field of the JSON record with the same value; without a journal, --journal
// refuses before anything is sent. Needs root (CI runs as root); skipped otherwise.

#include "hexfile.h"
#include "simulatedinstrument.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

constexpr int kSkipStatus = 77;
constexpr int kRunLimitMs = 120000;

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// A JSON value as its line has it.
QString textOf(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void entryEqualsRecord();
};

void TestJournal::entryEqualsRecord()
{
    if (::geteuid() != 0)
        QSKIP("a journal of the test's own needs root (a private mount namespace)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString hexPath = dir.filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(HexFile::firmware(1024, 9)));
    hex.close();
    SimulatedInstrument::Config config;
    config.versionAfterWrite = 124;
    SimulatedInstrument instrument(config);
    QVERIFY(instrument.isValid());

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORBEL_PORTS"), instrument.portMapEntry(QStringLiteral("COM1")));
    run.setProcessEnvironment(env);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
               QStringLiteral(JOURNAL_SCRIPT), dir.path(), QStringLiteral(ZORBELFLASH_PATH), QStringLiteral("write"),
               hexPath, QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--expect-version"),
               QStringLiteral("1.24"), QStringLiteral("--json"), QStringLiteral("--journal")});
    QVERIFY(run.waitForFinished(kRunLimitMs));
    const QString why = QString::fromUtf8(run.readAllStandardError()).trimmed();
    if (run.exitCode() == kSkipStatus || why.contains(QLatin1String("unshare failed")))
        QSKIP(qPrintable(QStringLiteral("no journal of the test's own in a private mount namespace here: ") + why));
    QVERIFY2(run.exitCode() == 0, qPrintable(why));

    QCOMPARE(fileText(dir.filePath(QStringLiteral("refused.rc"))), QByteArray("1"));
    QVERIFY(fileText(dir.filePath(QStringLiteral("refused.err"))).contains("no systemd journal is reachable"));
    QCOMPARE(fileText(dir.filePath(QStringLiteral("run.rc"))), QByteArray("0"));
    QCOMPARE(instrument.transfersStarted(), 1); // the refused run sent nothing

    const QJsonObject record = QJsonDocument::fromJson(fileText(dir.filePath(QStringLiteral("record.json")))).object();
    QCOMPARE(record.value(QStringLiteral("outcome")).toString(), QStringLiteral("written"));
    const QList<QByteArray> lines = fileText(dir.filePath(QStringLiteral("journal.json"))).split('\n');
    QCOMPARE(lines.size(), 1);
    const QJsonObject entry = QJsonDocument::fromJson(lines.first()).object();
    for (auto it = record.constBegin(); it != record.constEnd(); ++it) {
        const QString name = QStringLiteral("ZORBEL_") + it.key().toUpper();
        if (it.value().isNull())
            QVERIFY2(!entry.contains(name), qPrintable(name));
        else
            QCOMPARE(entry.value(name).toString(), textOf(it.value()));
    }
    QCOMPARE(entry.value(QStringLiteral("PRIORITY")).toString(), QStringLiteral("6"));
    QCOMPARE(entry.value(QStringLiteral("MESSAGE_ID")).toString().size(), 32);
    QVERIFY(entry.value(QStringLiteral("MESSAGE")).toString().startsWith(QStringLiteral("COM1: written")));
}

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
