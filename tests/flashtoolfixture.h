#pragma once

// Shared set-up of the zorbelflash tests: simulated instruments on COM1, COM2, ... (through
// ZORBEL_PORTS), a HEX file of 128 blocks, and the tool run in this process as main()
// runs it, with a short request time-out.

#include "devicelock.h"
#include "exitstatus.h"
#include "flashtool.h"
#include "hexfile.h"
#include "simulatedinstrument.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <sys/stat.h>
#include <memory>
#include <vector>

namespace FlashToolTest {

constexpr int kShortTimeoutMs = 1000; // request time-out of the in-process runs; ample for a loaded machine
constexpr int kFirmwareBytes = 8192; // 128 blocks
constexpr int kBlocks = kFirmwareBytes / 64;
constexpr int kPollMs = 10;
constexpr int kAfterTheEnd = -2; // runTool(): interrupt once every end mark is in

// The path a device lock cannot open for read and write, whoever runs the test: a
// read-only sysfs file refuses even root, a file without permissions everyone else.
inline QString permissionDeniedPath(const QTemporaryDir &dir)
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

inline SimulatedInstrument::Config configFor(const QString &kind)
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
    else if (kind == QLatin1String("to124")) { // restarts after its write with V1.24
        config.restartMs = 300;
        config.versionAfterWrite = 124;
    } else if (kind == QLatin1String("gone")) { // does not come back after its write
        config.restartMs = 60000;
    }
    return config;
}

// The block data of the first `blocks` blocks: the firmware, erased bytes after its end.
inline QByteArray blockData(const QByteArray &firmware, int blocks)
{
    QByteArray data = firmware.left(blocks * 64);
    data.append(QByteArray(blocks * 64 - data.size(), char(0xFF)));
    return data;
}

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

inline QList<QJsonObject> jsonLines(const QByteArray &text)
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

} // namespace FlashToolTest

using namespace FlashToolTest;

class FlashToolFixture
{
protected:
    // For init() and cleanup() of the test class.
    void setUpFixture()
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

    void tearDownFixture()
    {
        instruments.clear();
        qputenv("ZORBEL_PORTS", "");
    }

    bool addInstruments(const QStringList &kinds)
    {
        for (const QString &kind : kinds) {
            instruments.push_back(std::make_unique<SimulatedInstrument>(configFor(kind)));
            if (!instruments.back()->isValid())
                return false;
        }
        return true;
    }

    // COM1, COM2, ... in the order the instruments were added, then the extra pairs.
    void mapPorts(const QStringList &extra = {})
    {
        QStringList pairs;
        for (std::size_t i = 0; i < instruments.size(); ++i)
            pairs.append(instruments[i]->portMapEntry(QStringLiteral("COM%1").arg(i + 1)));
        pairs += extra;
        qputenv("ZORBEL_PORTS", pairs.join(QLatin1Char(',')).toUtf8());
    }

    QStringList expand(const QStringList &arguments) const
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
            else if (argument == QLatin1String("FOLDER"))
                expanded.append(dir->path());
            else if (argument == QLatin1String("FIFO"))
                expanded.append(fifoPath());
            else
                expanded.append(argument);
        }
        return expanded;
    }

    // A FIFO nobody reads.
    QString fifoPath() const
    {
        const QString path = dir->filePath(QStringLiteral("fifo"));
        if (!QFileInfo::exists(path))
            ::mkfifo(QFile::encodeName(path).constData(), 0600);
        return path;
    }

    // Runs the tool in this process; `interruptAfter` >= 0 interrupts it once every
    // instrument has that many blocks, kAfterTheEnd once every one has had its end mark.
    Run runTool(const QStringList &arguments, int interruptAfter = -1, int timeoutMs = kShortTimeoutMs,
                const std::function<void(FlashTool &)> &configure = {})
    {
        QBuffer out;
        QBuffer err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        FlashTool::Output output;
        output.out = &out;
        output.err = &err;
        FlashTool tool(output, timeoutMs);
        tool.setByIdFolder(dir->filePath(QStringLiteral("by-id")));
        if (configure)
            configure(tool);

        QTimer watch;
        if (interruptAfter >= 0 || interruptAfter == kAfterTheEnd) {
            QObject::connect(&watch, &QTimer::timeout, &tool, [&] {
                for (const auto &instrument : instruments) {
                    const bool reached = interruptAfter == kAfterTheEnd
                                             ? instrument->endReceived()
                                             : instrument->blockAddresses().size() >= interruptAfter;
                    if (!reached)
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

    std::unique_ptr<QTemporaryDir> dir;
    QByteArray firmware;
    QString hexPath;
    std::vector<std::unique_ptr<SimulatedInstrument>> instruments;
};
