// A Qt generic plugin that plays the user inside the real zorbelfwloader, for the tests
// that start the program itself: loaded through the environment
//
//   QT_PLUGIN_PATH=<build>/tests/plugins  QT_QPA_GENERIC_PLUGINS=zorbelloaderdriver:<file.hex>
//
// it waits for "HEX-Datei", loads the file through the file dialog and presses
// "Write Flash", as a technician would. With "dialog" in place of the file it opens
// the file dialog and leaves it open. The program is not changed for this. Each step
// is reported on standard error ("loader driver: ...").

#include "dialogdriver.h"

#include <QApplication>
#include <QFileDialog>
#include <QGenericPlugin>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

constexpr int kPollMs = 20;

void report(const char *text)
{
    std::fprintf(stderr, "loader driver: %s\n", text);
    std::fflush(stderr);
}

class LoaderDriver : public QObject
{
public:
    explicit LoaderDriver(const QString &hexPath)
        : hexPath(hexPath)
    {
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        connect(&poll, &QTimer::timeout, this, &LoaderDriver::step);
        poll.start(kPollMs);
    }

private:
    enum class Step { AwaitFound, AwaitDialog, AwaitLoaded, Done };

    static QPushButton *button(const char *name)
    {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            if (window->objectName() == QLatin1String("QwFWloader"))
                return window->findChild<QPushButton *>(QLatin1String(name));
        }
        return nullptr;
    }

    // Clicked from the event loop, as a mouse click would be: the slot's own waits
    // (the modal file dialog, the transfer) must not run inside this poll.
    static void press(QPushButton *target)
    {
        QMetaObject::invokeMethod(target, &QPushButton::click, Qt::QueuedConnection);
    }

    void step()
    {
        if (state == Step::AwaitFound) {
            QPushButton *hex = button("pushButton");
            if (hex == nullptr || !hex->isEnabled())
                return;
            if (hexPath == QLatin1String("dialog")) {
                report("instrument found, opening the file dialog");
                state = Step::AwaitDialog;
            } else {
                report("instrument found, loading the file");
                dialog = std::make_unique<DialogDriver>(hexPath);
                state = Step::AwaitLoaded;
            }
            press(hex);
        } else if (state == Step::AwaitDialog) {
            const auto *open = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (open == nullptr || !open->isVisible())
                return;
            report("file dialog open");
            state = Step::Done;
            poll.stop();
        } else if (state == Step::AwaitLoaded) {
            QPushButton *write = button("pushButton_2");
            if (write == nullptr || !write->isEnabled())
                return;
            report("file loaded, writing the flash");
            press(write);
            state = Step::Done;
            poll.stop();
        }
    }

    QString hexPath;
    QTimer poll;
    Step state = Step::AwaitFound;
    std::unique_ptr<DialogDriver> dialog;
};

} // namespace

class LoaderDriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "loaderdriver.json")

public:
    QObject *create(const QString &key, const QString &parameters) override
    {
        Q_UNUSED(key)
        return new LoaderDriver(parameters);
    }
};

#include "loaderdriverplugin.moc"
