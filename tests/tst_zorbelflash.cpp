// zorbelflash against simulated instruments: its exit statuses, its JSON lines, writing
// several instruments at once, and stopping on SIGINT or SIGTERM. The tool runs in this
// process (the code main() runs, with a short request time-out) except for the signal
// test, which starts the real program.

#include "devicelock.h"
#include "exitstatus.h"
#include "flashtool.h"
#include "hexfile.h"
#include "simulatedinstrument.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {

constexpr int kShortTimeoutMs = 1000; // request time-out of the in-process runs; ample for a loaded machine
constexpr int kFirmwareBytes = 8192; // 128 blocks
constexpr int kBlocks = kFirmwareBytes / 64;
constexpr int kPollMs = 10;

// The path a device lock cannot open for read and write, whoever runs the test: a
// read-only sysfs file refuses even root, a file without permissions everyone else.
QString permissionDeniedPath(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("no-permission"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.close();
    QFile::setPermissions(path, QFileDevice::Permissions());
    DeviceLock lock;
    if (lock.acquire(path) == DeviceLock::Result::PermissionDenied)
        return path;
    const QString sysfs = QStringLiteral("/sys/kernel/notes");
    return lock.acquire(sysfs) == DeviceLock::Result::PermissionDenied ? sysfs : QString();
}

SimulatedInstrument::Config configFor(const QString &kind)
{
    SimulatedInstrument::Config config;
    if (kind == QLatin1String("v105"))
        config.version = 105;
    else if (kind == QLatin1String("silent"))
        config.replyLength = 0;
    else if (kind == QLatin1String("v99"))
        config.version = 99;
    else if (kind == QLatin1String("stall"))
        config.stallAfterBlocks = 5;
    else if (kind == QLatin1String("stall3"))
        config.stallAfterBlocks = 3;
    else if (kind == QLatin1String("hangup"))
        config.hangUpAfterBlocks = 5;
    else if (kind == QLatin1String("noise"))
        config.noiseBytes = 2000;
    else if (kind == QLatin1String("paced"))
        config.baudRate = 19200;
    return config;
}

// The block data of the first `blocks` blocks: the firmware, erased bytes after its end.
QByteArray blockData(const QByteArray &firmware, int blocks)
{
    QByteArray data = firmware.left(blocks * 64);
    data.append(QByteArray(blocks * 64 - data.size(), char(0xFF)));
    return data;
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QList<QJsonObject> jsonLines(const QByteArray &text)
{
    QList<QJsonObject> objects;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {}; // anything but JSON objects on standard output is a failure
        objects.append(document.object());
    }
    return objects;
}

struct Run
{
    ExitStatus status = ExitStatus::Success;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestZorbelflash : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void exitStatus_data();
    void exitStatus();
    void checkDescribesTheBlockData();
    void listSaysWhatAnswered();
    void jsonFields_data();
    void jsonFields();
    void allWritesEveryInstrumentAlike();
    void allWritesAtTheSameTime();
    void signalStopsTheProgram_data();
    void signalStopsTheProgram();
    void readerGoingAwayDoesNotStopTheWrite();

private:
    bool addInstruments(const QStringList &kinds);
    void mapPorts(const QStringList &extra = {});
    QStringList expand(const QStringList &arguments) const;
    // Runs the tool in this process; `interruptAfter` >= 0 interrupts it once every
    // instrument has that many blocks.
    Run runTool(const QStringList &arguments, int interruptAfter = -1, int timeoutMs = kShortTimeoutMs);

    std::unique_ptr<QTemporaryDir> dir;
    QByteArray firmware;
    QString hexPath;
    std::vector<std::unique_ptr<SimulatedInstrument>> instruments;
};

void TestZorbelflash::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    firmware = HexFile::firmware(kFirmwareBytes, 7);
    hexPath = dir->filePath(QStringLiteral("firmware.hex"));
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFile::hexText(firmware));
    hex.close();
    QFile bad(dir->filePath(QStringLiteral("unsigned.hex")));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write(HexFile::hexText(QByteArray(256, '\x11'))); // no signature at 32..35
}

void TestZorbelflash::cleanup()
{
    instruments.clear();
    qputenv("ZORBEL_PORTS", "");
}

bool TestZorbelflash::addInstruments(const QStringList &kinds)
{
    for (const QString &kind : kinds) {
        instruments.push_back(std::make_unique<SimulatedInstrument>(configFor(kind)));
        if (!instruments.back()->isValid())
            return false;
    }
    return true;
}

// COM1, COM2, ... in the order the instruments were added, then the extra pairs.
void TestZorbelflash::mapPorts(const QStringList &extra)
{
    QStringList pairs;
    for (std::size_t i = 0; i < instruments.size(); ++i)
        pairs.append(instruments[i]->portMapEntry(QStringLiteral("COM%1").arg(i + 1)));
    pairs += extra;
    qputenv("ZORBEL_PORTS", pairs.join(QLatin1Char(',')).toUtf8());
}

QStringList TestZorbelflash::expand(const QStringList &arguments) const
{
    QStringList expanded;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("FILE"))
            expanded.append(hexPath);
        else if (argument == QLatin1String("UNSIGNED"))
            expanded.append(dir->filePath(QStringLiteral("unsigned.hex")));
        else if (argument == QLatin1String("MISSING"))
            expanded.append(dir->filePath(QStringLiteral("missing.hex")));
        else if (argument == QLatin1String("LOG"))
            expanded.append(dir->filePath(QStringLiteral("flash.log")));
        else if (argument == QLatin1String("UNWRITABLE_LOG"))
            expanded.append(dir->filePath(QStringLiteral("no-such-folder/flash.log")));
        else
            expanded.append(argument);
    }
    return expanded;
}

Run TestZorbelflash::runTool(const QStringList &arguments, int interruptAfter, int timeoutMs)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    FlashTool::Output output;
    output.out = &out;
    output.err = &err;
    FlashTool tool(output, timeoutMs);

    QTimer watch;
    if (interruptAfter >= 0) {
        connect(&watch, &QTimer::timeout, &tool, [&] {
            for (const auto &instrument : instruments) {
                if (instrument->blockAddresses().size() < interruptAfter)
                    return;
            }
            watch.stop();
            tool.interrupt();
        });
        watch.start(kPollMs);
    }
    Run run;
    run.status = tool.run(QStringList{QStringLiteral("zorbelflash")} + expand(arguments));
    run.out = out.data();
    run.err = err.data();
    return run;
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
    QTest::newRow("6: --port busy") << ok << QStringLiteral("busy") << QStringList{"write", "FILE", "--port", "COM1", "--wait", "0"} << -1 << 6;
    QTest::newRow("6: --port permission denied") << none << QStringLiteral("denied") << QStringList{"write", "FILE", "--port", "COM1"} << -1 << 6;
    QTest::newRow("130: interrupted") << QStringList{"paced"} << QString() << QStringList{"write", "FILE"} << 3 << 130;
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
    if (status == exitCode(ExitStatus::FileNotSuitable) && !instruments.empty())
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

void TestZorbelflash::checkDescribesTheBlockData()
{
    const Run run = runTool({"check", "FILE"});
    QCOMPARE(run.status, ExitStatus::Success);
    const QByteArray expected = hexPath.toUtf8() + ": suitable\nend address: 8191 (0x1FFF)\nblocks: 128 of 64 bytes\n"
                                + "sha256: " + sha256Hex(blockData(firmware, kBlocks)) + "\n";
    QCOMPARE(run.out, expected);
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
                         "COM3 " + instruments[2]->devicePath() + " busy"};
    if (!denied.isEmpty())
        expected.append("COM4 " + denied + " permission denied (dialout?)");
    QCOMPARE(lines, expected); // COM9 has no device: not listed
}

void TestZorbelflash::jsonFields_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("firmwareBefore");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("status");
    QTest::newRow("written") << "v105" << "1.05" << kBlocks << "written" << 0;
    QTest::newRow("aborted") << "stall" << "1.23" << 5 << "no-answer" << 4;
}

void TestZorbelflash::jsonFields()
{
    QFETCH(QString, kind);
    QFETCH(QString, firmwareBefore);
    QFETCH(int, blocks);
    QFETCH(QString, outcome);
    QFETCH(int, status);
    QVERIFY(addInstruments({kind}));
    mapPorts();

    const Run run = runTool({"write", "FILE", "--port", "COM1", "--json", "--log", "LOG"});
    QCOMPARE(exitCode(run.status), status);
    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 1);
    const QJsonObject object = objects.first();
    QCOMPARE(object.keys(), QStringList({"blocks", "device", "file", "firmware_before", "outcome", "port",
                                          "seconds", "sha256"}));
    QCOMPARE(object.value("port").toString(), QStringLiteral("COM1"));
    QCOMPARE(object.value("device").toString(), instruments.front()->devicePath());
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

void TestZorbelflash::allWritesEveryInstrumentAlike()
{
    QVERIFY(addInstruments({"ok", "ok", "ok"}));
    mapPorts();
    const Run run = runTool({"write", "FILE", "--all", "--json"});
    QVERIFY2(run.status == ExitStatus::Success, run.err.constData());

    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 3);
    QStringList ports;
    for (const QJsonObject &object : objects) {
        ports.append(object.value("port").toString());
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("written"));
    }
    ports.sort();
    QCOMPARE(ports, QStringList({"COM1", "COM2", "COM3"}));
    for (const auto &instrument : instruments) {
        QVERIFY(instrument->waitForTransferEnd(10000));
        QVERIFY(instrument->endReceived());
        QCOMPARE(instrument->flash().left(kFirmwareBytes), firmware);
        QCOMPARE(instrument->receivedBytes(), instruments.front()->receivedBytes());
    }
}

// Each instrument stops asking after three blocks: only writes running side by side
// give every one of them its three blocks.
void TestZorbelflash::allWritesAtTheSameTime()
{
    QVERIFY(addInstruments({"stall3", "stall3", "stall3"}));
    mapPorts();
    constexpr int kNeverMs = 600000;
    const Run run = runTool({"write", "FILE", "--all", "--json"}, 3, kNeverMs);
    QCOMPARE(run.status, ExitStatus::Interrupted);
    const QList<QJsonObject> objects = jsonLines(run.out);
    QCOMPARE(objects.size(), 3);
    for (const QJsonObject &object : objects) {
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("interrupted"));
        QCOMPARE(object.value("blocks").toInt(), 3);
    }
    for (const auto &instrument : instruments)
        QVERIFY(!instrument->endReceived());
}

void TestZorbelflash::signalStopsTheProgram_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestZorbelflash::signalStopsTheProgram()
{
    QFETCH(int, signalNumber);
    // A full image at 19200 bit/s takes over half a minute: the signal comes mid-way.
    const QByteArray full = HexFile::firmware(64512, 9);
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hex.write(HexFile::hexText(full));
    hex.close();
    QVERIFY(addInstruments({"paced"}));
    SimulatedInstrument &instrument = *instruments.front();

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instrument.portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath, "--json"});
    QVERIFY(program.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(instrument.blockAddresses().size() >= 5, 20000);
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), signalNumber) == 0);
    QVERIFY(program.waitForFinished(10000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 130);
    const QList<QJsonObject> objects = jsonLines(program.readAllStandardOutput());
    QCOMPARE(objects.size(), 1);
    QCOMPARE(objects.first().value("outcome").toString(), QStringLiteral("interrupted"));
    QVERIFY(program.readAllStandardError().contains("incomplete, write again"));

    // No end marker: what reached the instrument is the query and the beginning of the
    // transfer.
    QByteArray transfer("@v;@w#####;");
    for (int address = 0; address < full.size(); address += 64)
        transfer += char(address & 0xFF) + QByteArray(1, char(address >> 8)) + full.mid(address, 64);
    const QByteArray received = instrument.receivedBytes();
    QVERIFY(!instrument.endReceived());
    QVERIFY(received.size() < transfer.size());
    QCOMPARE(received, transfer.left(received.size()));
}

// zorbelflash ... | head -1: the progress lines meet a closed pipe.
void TestZorbelflash::readerGoingAwayDoesNotStopTheWrite()
{
    QVERIFY(addInstruments({"ok"}));
    int pipeEnds[2] = {-1, -1};
    QVERIFY(::pipe(pipeEnds) == 0);
    ::close(pipeEnds[0]); // the reader is gone before the program writes anything
    const int writeEnd = pipeEnds[1];

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZORBEL_PORTS", instruments.front()->portMapEntry("COM1"));
    program.setProcessEnvironment(env);
    program.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    program.start(QStringLiteral(ZORBELFLASH_PATH), {"write", hexPath});
    const bool started = program.waitForStarted(10000);
    ::close(writeEnd);
    QVERIFY(started);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(instruments.front()->waitForTransferEnd(10000));
    QCOMPARE(instruments.front()->flash().left(kFirmwareBytes), firmware);
}

QTEST_GUILESS_MAIN(TestZorbelflash)
#include "tst_zorbelflash.moc"
