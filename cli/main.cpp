// zorbelflash: the loader's command-line front end for service benches and production
// lines. See zorbelflash --help and man zorbelflash.

#include "flashtool.h"
#include "outputqueue.h"
#include "standardstreams.h"
#include "terminationsignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>

namespace {

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
    // A standard stream the caller closed is held before any file can take its number.
    StandardStreams::holdClosed();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorbelflash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZORBEL_VERSION));
    // The serial layer's and the signal catcher's logs are for troubleshooting: the
    // program says in its own words what a signal did. QT_LOGGING_RULES turns them back on
    // (e.g. "zorbel.serial.info=true").
    QLoggingCategory::setFilterRules(QStringLiteral(
        "zorbel.serial.info=false\nzorbel.serial.debug=false\nzorbel.signals.info=false"));

    // Neither stream is ever waited on: see OutputQueue.
    OutputQueue out(StandardStreams::kOutput);
    OutputQueue err(StandardStreams::kError);
    g_messages = &err;
    g_qtHandler = qInstallMessageHandler(queueMessage);
    FlashTool::Output output;
    output.out = &out;
    output.err = &err;
    output.outIsTerminal = StandardStreams::isTerminal(StandardStreams::kOutput);
    output.errIsTerminal = StandardStreams::isTerminal(StandardStreams::kError);

    // A reader that goes away (zorbelflash ... | head -1) must not end a write midway:
    // output to it just fails.
    StandardStreams::ignoreBrokenPipe();
    FlashTool tool(output);
    // SIGINT, SIGTERM and SIGHUP stop every transfer; the records are still written.
    const TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &tool, &FlashTool::interrupt);
    const ExitStatus status = tool.run(QCoreApplication::arguments());
    qInstallMessageHandler(g_qtHandler);
    g_messages = nullptr;
    return exitCode(status);
}
