// zorbelflash: the loader's command-line front end for service benches and production
// lines. See zorbelflash --help and man zorbelflash.

#include "flashtool.h"
#include "terminationsignals.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <csignal>
#endif
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

#ifdef Q_OS_UNIX
    // A reader that goes away (zorbelflash ... | head -1) must not end a write midway:
    // output to it just fails.
    ::signal(SIGPIPE, SIG_IGN);
#endif
    FlashTool tool(output);
    // SIGINT, SIGTERM and SIGHUP stop every transfer; the records are still written.
    const TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &tool, &FlashTool::interrupt);
    return exitCode(tool.run(QCoreApplication::arguments()));
}
