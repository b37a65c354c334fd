// zorbelflash against simulated instruments: its exit statuses, and what list says.
// The tool runs in this process (the code main() runs, with a short request time-out).
// Every option and exit status is named in --help, the manual page and the completion.

#include "commandline.h"
#include "flashtoolfixture.h"

namespace {

constexpr int kHighestExitCode = 255;

// Whether `code` is an ExitStatus; the compiler names here a status added to it and
// not to this list.
bool isExitStatus(int code)
{
    switch (static_cast<ExitStatus>(code)) {
    case ExitStatus::Success:
    case ExitStatus::UsageError:
    case ExitStatus::FileNotSuitable:
    case ExitStatus::NoInstrument:
    case ExitStatus::NoAnswer:
    case ExitStatus::ConnectionLost:
    case ExitStatus::PortUnavailable:
    case ExitStatus::RecordLost:
    case ExitStatus::NotConfirmed:
    case ExitStatus::Interrupted:
        return true;
    }
    return false;
}

QString sourceText(const QString &path)
{
    QFile file(QStringLiteral(ZORBEL_SOURCE_DIR "/") + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestZorbelflash : public QObject, private FlashToolFixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void exitStatus_data();
    void exitStatus();
    void listSaysWhatAnswered();
    void everyOptionAndStatusIsDocumented_data();
    void everyOptionAndStatusIsDocumented();
};

void TestZorbelflash::init()
{
    setUpFixture();
}

void TestZorbelflash::cleanup()
{
    tearDownFixture();
}

void TestZorbelflash::exitStatus_data()
{
    QTest::addColumn<QStringList>("kinds");   // simulated instruments on COM1, COM2, ...
    QTest::addColumn<QString>("blocker");     // "busy": COM1 held by someone else; "denied": COM1 may not be opened
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("interruptAfter");
    QTest::addColumn<int>("status");
    const QStringList none;
    const QStringList ok{QStringLiteral("ok")};

    QTest::newRow("0: written") << ok << QString() << QStringList{"write", "FILE"} << -1 << 0;
    QTest::newRow("0: found on the 5th port in one round")
        << QStringList{"silent", "silent", "silent", "silent", "ok"} << QString()
        << QStringList{"write", "FILE", "--wait", "0"} << -1 << 0;
    QTest::newRow("0: check, suitable") << none << QString() << QStringList{"check", "FILE"} << -1 << 0;
    QTest::newRow("0: list") << ok << QString() << QStringList{"list"} << -1 << 0;
    QTest::newRow("0: help") << none << QString() << QStringList{"--help"} << -1 << 0;
    QTest::newRow("1: no command") << none << QString() << QStringList{} << -1 << 1;
    QTest::newRow("1: unknown command") << none << QString() << QStringList{"erase"} << -1 << 1;
    QTest::newRow("1: unknown option") << ok << QString() << QStringList{"write", "FILE", "--fast"} << -1 << 1;
    QTest::newRow("1: --port and --all") << ok << QString() << QStringList{"write", "FILE", "--port", "COM1", "--all"} << -1 << 1;
    QTest::newRow("1: bad --wait") << ok << QString() << QStringList{"write", "FILE", "--wait", "soon"} << -1 << 1;
    QTest::newRow("1: write without file") << ok << QString() << QStringList{"write"} << -1 << 1;
    QTest::newRow("1: log cannot be opened") << ok << QString() << QStringList{"write", "FILE", "--log", "UNWRITABLE_LOG"} << -1 << 1;
    QTest::newRow("1: log is a FIFO") << ok << QString() << QStringList{"write", "FILE", "--log", "FIFO"} << -1 << 1;
    QTest::newRow("1: log is a device") << ok << QString() << QStringList{"write", "FILE", "--log", "/dev/null"} << -1 << 1;
    QTest::newRow("1: log is a folder") << ok << QString() << QStringList{"write", "FILE", "--log", "FOLDER"} << -1 << 1;
    QTest::newRow("1: --count without --all") << ok << QString() << QStringList{"write", "FILE", "--count", "1"} << -1 << 1;
    QTest::newRow("1: --count 0") << ok << QString() << QStringList{"write", "FILE", "--all", "--count", "0"} << -1 << 1;
    QTest::newRow("2: check, not suitable") << none << QString() << QStringList{"check", "UNSIGNED"} << -1 << 2;
    QTest::newRow("2: check, unreadable") << none << QString() << QStringList{"check", "MISSING"} << -1 << 2;
    QTest::newRow("2: write, not suitable") << ok << QString() << QStringList{"write", "UNSIGNED"} << -1 << 2;
    QTest::newRow("3: no ports") << none << QString() << QStringList{"write", "FILE", "--wait", "0"} << -1 << 3;
    QTest::newRow("3: silent device") << QStringList{"silent"} << QString() << QStringList{"write", "FILE", "--wait", "0.5"} << -1 << 3;
    QTest::newRow("3: version 0.99") << QStringList{"v99"} << QString() << QStringList{"write", "FILE", "--port", "COM1", "--wait", "0"} << -1 << 3;
    QTest::newRow("4: instrument stops asking") << QStringList{"stall"} << QString() << QStringList{"write", "FILE"} << -1 << 4;
    QTest::newRow("5: connection lost") << QStringList{"hangup"} << QString() << QStringList{"write", "FILE"} << -1 << 5;
    QTest::newRow("5: line noise") << QStringList{"noise"} << QString() << QStringList{"write", "FILE"} << -1 << 5;
    QTest::newRow("5: --all, first failure in COM order")
        << QStringList{"ok", "hangup", "stall"} << QString() << QStringList{"write", "FILE", "--all"} << -1 << 5;
    QTest::newRow("8: came back as another version")
        << QStringList{"to124"} << QString() << QStringList{"write", "FILE", "--expect-version", "1.25"} << -1 << 8;
    QTest::newRow("4: a failure comes before 8")
        << QStringList{"to124", "stall"} << QString() << QStringList{"write", "FILE", "--all", "--expect-version", "1.25"}
        << -1 << 4;
    QTest::newRow("1: bad --expect-version") << ok << QString() << QStringList{"write", "FILE", "--expect-version", "2"} << -1 << 1;
    QTest::newRow("1: --watch without --expect-version") << ok << QString() << QStringList{"write", "FILE", "--watch"} << -1 << 1;
    QTest::newRow("6: --port busy") << ok << QStringLiteral("busy") << QStringList{"write", "FILE", "--port", "COM1", "--wait", "0"} << -1 << 6;
    QTest::newRow("6: --port permission denied") << none << QStringLiteral("denied") << QStringList{"write", "FILE", "--port", "COM1"} << -1 << 6;
    QTest::newRow("130: interrupted") << QStringList{"paced"} << QString() << QStringList{"write", "FILE"} << 3 << 130;
    QTest::newRow("0: signal after the end mark") << ok << QString() << QStringList{"write", "FILE"} << kAfterTheEnd << 0;
}

void TestZorbelflash::exitStatus()
{
    QFETCH(QStringList, kinds);
    QFETCH(QString, blocker);
    QFETCH(QStringList, arguments);
    QFETCH(int, interruptAfter);
    QFETCH(int, status);

    QVERIFY(addInstruments(kinds));
    DeviceLock heldElsewhere;
    if (blocker == QLatin1String("busy")) {
        QCOMPARE(heldElsewhere.acquire(instruments.front()->devicePath()), DeviceLock::Result::Locked);
        mapPorts();
    } else if (blocker == QLatin1String("denied")) {
        const QString path = permissionDeniedPath(*dir);
        if (path.isEmpty())
            QSKIP("no path here that refuses to be opened");
        mapPorts({QStringLiteral("COM1=") + path});
    } else {
        mapPorts();
    }

    const Run run = runTool(arguments, interruptAfter);
    QVERIFY2(exitCode(run.status) == status, run.err.constData());
    // Progress counts blocks sent, never bytes that came back.
    int mostSent = 0;
    for (const auto &instrument : instruments)
        mostSent = std::max(mostSent, static_cast<int>(instrument->blockAddresses().size()));
    static const QRegularExpression progress(QStringLiteral("\\((\\d+)/\\d+ blocks\\)"));
    for (auto it = progress.globalMatch(QString::fromUtf8(run.out)); it.hasNext();)
        QVERIFY2(it.next().captured(1).toInt() <= mostSent + 1, run.out.constData());
    const bool refused = status == exitCode(ExitStatus::FileNotSuitable) || status == exitCode(ExitStatus::UsageError);
    if (refused && !instruments.empty())
        QCOMPARE(instruments.front()->versionQueries(), 0); // judged before any port
    if (status == exitCode(ExitStatus::UsageError))
        QVERIFY(!run.err.isEmpty()); // says what is wrong
    if (arguments.contains(QStringLiteral("--all")) && status != exitCode(ExitStatus::UsageError)) {
        // One instrument's failure does not stop the others.
        for (std::size_t i = 0; i < instruments.size(); ++i) {
            if (kinds.at(int(i)) == QLatin1String("ok"))
                QVERIFY(instruments[i]->waitForTransferEnd(10000));
        }
    }
}

void TestZorbelflash::listSaysWhatAnswered()
{
    QVERIFY(addInstruments({"v105", "silent", "ok"}));
    DeviceLock heldElsewhere;
    QCOMPARE(heldElsewhere.acquire(instruments[2]->devicePath()), DeviceLock::Result::Locked);
    QStringList extra{QStringLiteral("COM9=") + dir->filePath(QStringLiteral("absent"))};
    const QString denied = permissionDeniedPath(*dir);
    if (!denied.isEmpty())
        extra.append(QStringLiteral("COM4=") + denied);
    mapPorts(extra);

    const Run run = runTool({"list"});
    QCOMPARE(run.status, ExitStatus::Success);
    QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.simplified();
    QStringList expected{"COM1 " + instruments[0]->devicePath() + " Zorbelmeter FW V1.05",
                         "COM2 " + instruments[1]->devicePath() + " no answer",
                         "COM3 " + instruments[2]->devicePath() + " busy (held by another program)"};
    if (!denied.isEmpty())
        expected.append("COM4 " + denied + " permission denied (on Linux, is the user in the dialout group?)");
    QCOMPARE(lines, expected); // COM9 has no device: not listed
}

void TestZorbelflash::everyOptionAndStatusIsDocumented_data()
{
    QTest::addColumn<QString>("option"); // "--port", "-h"; empty for an exit status
    QTest::addColumn<int>("status");
    for (const QString &name : CommandLine::optionNames()) {
        const QString option = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        QTest::addRow("%s", qPrintable(option)) << option << -1;
    }
    for (int code = 0; code <= kHighestExitCode; ++code) {
        if (isExitStatus(code))
            QTest::addRow("exit status %d", code) << QString() << code;
    }
}

void TestZorbelflash::everyOptionAndStatusIsDocumented()
{
    QFETCH(QString, option);
    QFETCH(int, status);
    const QString help = CommandLine::helpText();
    // The manual page writes each dash of an option as "\-".
    const QString manual = sourceText(QStringLiteral("docs/man/zorbelflash.1")).replace(QStringLiteral("\\-"), QStringLiteral("-"));
    const QString completion = sourceText(QStringLiteral("cli/zorbelflash.bash-completion"));
    QVERIFY(!manual.isEmpty() && !completion.isEmpty());

    if (option.isEmpty()) {
        const QString code = QString::number(status);
        const QRegularExpression helpEntry(QStringLiteral("^  %1 ").arg(code), QRegularExpression::MultilineOption);
        QVERIFY2(help.section(QStringLiteral("\nExit status:\n"), 1).contains(helpEntry), "not in --help");
        const QString manualSection = manual.section(QStringLiteral(".SH EXIT STATUS"), 1).section(QStringLiteral("\n.SH "), 0, 0);
        QVERIFY2(manualSection.contains(QStringLiteral("\n.TP\n.B %1\n").arg(code)), "not in the manual page");
        return;
    }
    const QRegularExpression named(QStringLiteral("(?<![\\w-])%1(?![\\w-])").arg(QRegularExpression::escape(option)));
    QVERIFY2(help.contains(named), "not in --help");
    QVERIFY2(manual.contains(named), "not in the manual page");
    if (option.startsWith(QLatin1String("--"))) { // the completion offers the long forms
        static const QRegularExpression wordList(QStringLiteral("compgen -W '([^']*)'"));
        QStringList offered;
        for (auto it = wordList.globalMatch(completion); it.hasNext();)
            offered << it.next().captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY2(offered.contains(option), "not offered by the bash completion");
    }
}

QTEST_GUILESS_MAIN(TestZorbelflash)
#include "tst_zorbelflash.moc"
