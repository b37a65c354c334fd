// zorbelflash: the loader's command-line front end for service benches and production
// lines. See zorbelflash --help and man zorbelflash.

#include "flashtool.h"
#include "outputqueue.h"
#include "terminationsignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#endif
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
// A standard stream the caller closed is held by /dev/null, opened for reading only:
// otherwise the next file opened (the event loop's, the log, a serial port) would take
// its number and receive what is meant for standard output. Writing to it fails, so a
// record that cannot be kept is noticed.
void holdClosedStandardStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}
#endif

// Qt's own messages (its warnings, the logs QT_LOGGING_RULES turns on) join the queue of
// standard error: written straight to it, they would wait on a stopped terminal. A fatal
// one ends the program at once, so it is written as Qt writes it.
OutputQueue *g_messages = nullptr;
QtMessageHandler g_qtHandler = nullptr;

void queueMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (g_messages == nullptr || type == QtFatalMsg || QThread::currentThread() != g_messages->thread()) {
        g_qtHandler(type, context, text);
        return;
    }
    g_messages->write((qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toUtf8());
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    holdClosedStandardStreams();
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorbelflash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZORBEL_VERSION));
    // The serial layer's and the signal catcher's logs are for troubleshooting: the
    // program says in its own words what a signal did. QT_LOGGING_RULES turns them back on
    // (e.g. "zorbel.serial.info=true").
    QLoggingCategory::setFilterRules(QStringLiteral(
        "zorbel.serial.info=false\nzorbel.serial.debug=false\nzorbel.signals.info=false"));

    // Neither stream is ever waited on: see OutputQueue.
    OutputQueue out(STDOUT_FILENO);
    OutputQueue err(STDERR_FILENO);
    g_messages = &err;
    g_qtHandler = qInstallMessageHandler(queueMessage);
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
    const ExitStatus status = tool.run(QCoreApplication::arguments());
    qInstallMessageHandler(g_qtHandler);
    g_messages = nullptr;
    return exitCode(status);
}
