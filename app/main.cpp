#include "pelkfwloader.h"

#include <QApplication>
#include <QIcon>

#include <memory>

namespace {
const char *const kIconFile = "images/zorbelfwloader.ico";
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // The window holds the whole flash image; it lives on the heap, not on main's stack.
    auto window = std::make_unique<PELKfwloader>();

    QApplication::setWindowIcon(QIcon(QString::fromUtf8(kIconFile)));
    window->setWindowIcon(QIcon(QString::fromUtf8(kIconFile)));

    window->show();
    const int result = QApplication::exec();
    window.reset(); // saves the settings before the application object goes
    return result;
}
