#include "pelkfwloader.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Caught from here on: closing the terminal, Ctrl+C, or a logout that ends its
    // programs with SIGHUP or SIGTERM ends the loader the way Exit does, settings saved,
    // and never in the middle of a flash write. (Losing the display is not among them:
    // the toolkit ends the program at once then.)
    const TerminationSignals terminationSignals;

    // The window holds the whole flash image; it lives on the heap, not on main's stack.
    auto window = std::make_unique<PELKfwloader>();
    QObject::connect(&terminationSignals, &TerminationSignals::received, window.get(),
                     [&window] { window->requestClose(); });

    QApplication::setWindowIcon(PELKfwloader::loaderIcon());
    window->setWindowIcon(PELKfwloader::loaderIcon());

    window->show();
    const int result = QApplication::exec();
    window.reset(); // saves the settings before the application object goes
    return result;
}
