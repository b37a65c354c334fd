// zorbelstation: the production station on a screen, one tile per port. See
// zorbelstation --help and man zorbelstation.

#include "standardstreams.h"
#include "stationboard.h"
#include "stationstart.h"
#include "stationwindow.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {

constexpr int kUsageError = 1;
constexpr int kFileNotSuitable = 2;

void sayOnStandardError(const QString &text)
{
    std::fputs(qPrintable(QStringLiteral("zorbelstation: %1\n").arg(text.trimmed())), stderr);
    std::fflush(stderr);
}

// Started from a menu there is no terminal to read standard error on: the reason the
// station does not start is also shown in a message box, where a person can see one.
void sayWhyNotStarted(const QString &text)
{
    sayOnStandardError(text);
    const QString platform = QGuiApplication::platformName();
    if (StandardStreams::isTerminal(StandardStreams::kError) || platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QMessageBox::critical(nullptr, QStringLiteral("zorbelstation"),
                          QStringLiteral("The station does not start:\n\n%1").arg(text.trimmed()));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zorbelstation"));
    QApplication::setApplicationVersion(QStringLiteral(ZORBEL_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/zorbelfwloader.png")));
    // The window goes when the station has ended, not when it is closed.
    QApplication::setQuitOnLastWindowClosed(false);
    // The serial layer's log is for troubleshooting (QT_LOGGING_RULES turns it on).
    QLoggingCategory::setFilterRules(QStringLiteral("zorbel.serial.info=false\nzorbel.serial.debug=false"));
    // Caught before any port is asked: a signal ends the station the way closing does.
    const TerminationSignals terminationSignals;

    StationStart start = StationStart::fromArguments(QApplication::arguments());
    switch (start.status()) {
    case StationStart::Status::Help:
        std::fputs(qPrintable(start.text()), stdout);
        return 0;
    case StationStart::Status::UsageError:
        sayWhyNotStarted(start.text());
        return kUsageError;
    case StationStart::Status::FileNotSuitable:
        sayWhyNotStarted(start.text());
        return kFileNotSuitable;
    case StationStart::Status::Ready:
        break;
    }
    std::unique_ptr<StationBoard::Setup> setup = start.takeSetup();
    for (const QString &notice : std::as_const(setup->notices))
        sayOnStandardError(notice);

    auto board = std::make_unique<StationBoard>(std::move(*setup));
    // What the line is to know (a record not kept, the log moved) goes to standard error too.
    QObject::connect(board.get(), &StationBoard::noticesChanged, board.get(),
                     [board = board.get()] { sayOnStandardError(board->notices().constLast()); });
    StationWindow window(std::move(board));
    QObject::connect(&terminationSignals, &TerminationSignals::received, &window, &StationWindow::requestEnd);
    QObject::connect(&window, &StationWindow::ended, &app, &QApplication::quit);
    window.showMaximized();
    window.start();
    return QApplication::exec();
}
