// zorbelflash: the loader's command-line front end for service benches and production
// lines. See zorbelflash --help and man zorbelflash.

#include "flashtool.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorbelflash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZORBEL_VERSION));
    // The serial layer's log is for troubleshooting: QT_LOGGING_RULES turns it back on
    // (e.g. "zorbel.serial.info=true").
    QLoggingCategory::setFilterRules(QStringLiteral("zorbel.serial.info=false\nzorbel.serial.debug=false"));

    QFile out;
    QFile err;
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    FlashTool::Output output;
    output.out = &out;
    output.err = &err;
    output.outIsTerminal = isatty(STDOUT_FILENO) != 0;
    output.errIsTerminal = isatty(STDERR_FILENO) != 0;

    FlashTool tool(output);
    const SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::signalled, &tool, &FlashTool::interrupt);
    return exitCode(tool.run(QCoreApplication::arguments()));
}
