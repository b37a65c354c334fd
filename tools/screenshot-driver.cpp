// screenshot-driver: runs the loader's window and steps it through its stages the way
// a user would (wait for the instrument, open a HEX file in the file dialog, write the
// flash), saving a PNG of each stage asked for. Used by tools/screenshots.sh to take
// the pictures in docs/screenshots; it is a separate program, not part of the loader.
//
//   screenshot-driver --hex FILE --shot found=found.png --shot written=written.png ...
//
// Stages, in the order they come: searching (the second port probed), found, dialog
// (the file dialog with FILE filled in), loaded, writing (half of the blocks sent),
// written, aborted. The driver goes as far as the last stage asked for; written and
// aborted are two different endings and cannot both be asked for. Exit status 0 when
// every stage asked for was reached and saved, 1 otherwise, 2 for a usage error.

#include "pelkfwloader.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QIcon>
#include <QLabel>
#include <QMap>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <utility>

namespace {

constexpr int kPollIntervalMs = 10;
constexpr int kDefaultTimeoutS = 90;
constexpr int kMsPerSecond = 1000;
// Longest wait for the file dialog to list its folder before the picture is taken.
constexpr int kDialogListingWaitMs = 3000;
// The searching picture shows this probe (1 = COM1), so it reads as a scan under way.
constexpr int kSearchingProbe = 2;
constexpr int kUsageError = 2;
constexpr int kFailed = 1;
const char *const kIconFile = "images/zorbelfwloader.ico";

enum class Stage { Searching, Found, Dialog, Loaded, Writing, Written, Aborted };

const QMap<QString, Stage> &stageNames()
{
    static const QMap<QString, Stage> names = {
        {QStringLiteral("searching"), Stage::Searching}, {QStringLiteral("found"), Stage::Found},
        {QStringLiteral("dialog"), Stage::Dialog},       {QStringLiteral("loaded"), Stage::Loaded},
        {QStringLiteral("writing"), Stage::Writing},     {QStringLiteral("written"), Stage::Written},
        {QStringLiteral("aborted"), Stage::Aborted},
    };
    return names;
}

QString nameOf(Stage stage)
{
    return stageNames().key(stage);
}

void report(const QString &text)
{
    std::fprintf(stderr, "screenshot-driver: %s\n", qPrintable(text));
    std::fflush(stderr);
}

// Watches the window, presses its buttons and takes the pictures.
class Driver
{
public:
    Driver(PELKfwloader &window, QString hexPath, const QMap<Stage, QString> &shots, int timeoutS)
        : window(window)
        , hexPath(std::move(hexPath))
        , shots(shots)
        , lastStage(shots.lastKey())
        , hexButton(window.findChild<QPushButton *>(QStringLiteral("pushButton")))
        , writeButton(window.findChild<QPushButton *>(QStringLiteral("pushButton_2")))
        , exitButton(window.findChild<QPushButton *>(QStringLiteral("pushButton_3")))
        , fileLabel(window.findChild<QLabel *>(QStringLiteral("label")))
        , progressLabel(window.findChild<QLabel *>(QStringLiteral("label_2")))
    {
        QObject::connect(window.statusBar(), &QStatusBar::messageChanged, &window,
                         [this](const QString &message) { onStatus(message); });
        QObject::connect(&pollTimer, &QTimer::timeout, &window, [this] { poll(); });
        QObject::connect(&deadline, &QTimer::timeout, &window, [this] {
            finish(false, QStringLiteral("timed out waiting for: %1").arg(waitingFor));
        });
        deadline.setSingleShot(true);
        deadline.start(timeoutS * kMsPerSecond);
        pollTimer.start(kPollIntervalMs);
    }

    bool isComplete() const { return ok; }

private:
    enum class Step { AwaitFound, AwaitDialog, AwaitLoaded, AwaitWriteEnd, Done };

    bool wants(Stage stage) const { return shots.contains(stage); }
    bool goesBeyond(Stage stage) const { return lastStage > stage; }

    void onStatus(const QString &message)
    {
        if (step == Step::Done)
            return;
        if (message.startsWith(QStringLiteral("Suche HW :"))) {
            ++probes;
            if (probes == kSearchingProbe && wants(Stage::Searching))
                later([this] { shoot(Stage::Searching, &window); });
        } else if (message.startsWith(QStringLiteral("HW gefunden an: ")) && step == Step::AwaitFound) {
            later([this] { onFound(); });
        } else if (message == QStringLiteral("Flash neu beschrieben!") && step == Step::AwaitWriteEnd) {
            later([this] { onWriteEnd(Stage::Written); });
        } else if ((message.startsWith(QStringLiteral("Flash schreiben abgebrochen"))
                    || message == QStringLiteral("Flash schreiben nicht moeglich!"))
                   && step == Step::AwaitWriteEnd) {
            later([this, message] {
                abortText = message;
                onWriteEnd(Stage::Aborted);
            });
        }
    }

    void onFound()
    {
        if (wants(Stage::Searching) && !taken.contains(Stage::Searching)) {
            finish(false, QStringLiteral("the instrument was found before a second port was probed"));
            return;
        }
        shoot(Stage::Found, &window);
        if (!goesBeyond(Stage::Found)) {
            finish(true);
            return;
        }
        step = Step::AwaitDialog;
        waitingFor = QStringLiteral("the file dialog");
        later([this] { hexButton->click(); });
    }

    void poll()
    {
        switch (step) {
        case Step::AwaitDialog:
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
                fillDialog(dialog);
            break;
        case Step::AwaitLoaded:
            checkLoaded();
            break;
        case Step::AwaitWriteEnd:
            checkProgress();
            break;
        case Step::AwaitFound:
        case Step::Done:
            break;
        }
    }

    void fillDialog(QFileDialog *dialog)
    {
        step = Step::AwaitLoaded;
        waitingFor = QStringLiteral("the verdict on %1").arg(hexPath);
        QPointer<QFileDialog> guarded(dialog);
        auto acceptDialog = std::make_shared<bool>(false);
        auto shootAndAccept = [this, guarded, acceptDialog] {
            if (*acceptDialog || guarded.isNull())
                return;
            *acceptDialog = true;
            shoot(Stage::Dialog, guarded.data());
            static_cast<QDialog *>(guarded.data())->accept(); // QFileDialog::accept: opens the file
        };
        // The folder is listed in the background; the picture waits for the listing.
        const QString folder = QFileInfo(hexPath).absolutePath();
        if (auto *model = dialog->findChild<QFileSystemModel *>()) {
            QObject::connect(model, &QFileSystemModel::directoryLoaded, dialog,
                             [shootAndAccept, folder](const QString &loaded) {
                                 if (loaded == folder)
                                     QTimer::singleShot(0, shootAndAccept);
                             });
        }
        dialog->selectFile(hexPath);
        QTimer::singleShot(wants(Stage::Dialog) ? kDialogListingWaitMs : 0, dialog, shootAndAccept);
    }

    void checkLoaded()
    {
        if (QApplication::activeModalWidget() != nullptr)
            return;
        const QString verdict = fileLabel->text();
        if (verdict.isEmpty())
            return;
        if (!verdict.startsWith(QStringLiteral("HEX-Datei OK!!"))) {
            finish(false, QStringLiteral("the file was not accepted: %1").arg(verdict));
            return;
        }
        shoot(Stage::Loaded, &window);
        if (!goesBeyond(Stage::Loaded)) {
            finish(true);
            return;
        }
        step = Step::AwaitWriteEnd;
        waitingFor = QStringLiteral("the end of the flash write");
        later([this] { writeButton->click(); });
    }

    // Runs from inside the transfer, which lets the window process its events.
    void checkProgress()
    {
        if (!wants(Stage::Writing) || taken.contains(Stage::Writing))
            return;
        static const QRegularExpression progress(QStringLiteral("^Block: (\\d+) / (\\d+)$"));
        const QRegularExpressionMatch match = progress.match(progressLabel->text());
        if (match.hasMatch() && 2 * match.captured(1).toInt() >= match.captured(2).toInt())
            shoot(Stage::Writing, &window);
    }

    void onWriteEnd(Stage ending)
    {
        if (wants(Stage::Writing) && !taken.contains(Stage::Writing)) {
            finish(false, QStringLiteral("the transfer ended before half of it was sent"));
            return;
        }
        const Stage expected = lastStage == Stage::Aborted ? Stage::Aborted : Stage::Written;
        if (ending != expected) {
            finish(false, ending == Stage::Written ? QStringLiteral("the flash was written, not aborted")
                                                   : QStringLiteral("the transfer failed: %1").arg(abortText));
            return;
        }
        shoot(ending, &window);
        finish(true);
    }

    void shoot(Stage stage, QWidget *widget)
    {
        if (!wants(stage) || taken.contains(stage))
            return;
        const QString path = shots.value(stage);
        if (!widget->grab().save(path, "PNG")) {
            finish(false, QStringLiteral("cannot write %1").arg(path));
            return;
        }
        taken.insert(stage, path);
        report(QStringLiteral("%1: %2").arg(nameOf(stage), path));
    }

    void finish(bool success, const QString &why = QString())
    {
        if (step == Step::Done)
            return;
        step = Step::Done;
        pollTimer.stop();
        deadline.stop();
        ok = success && taken.size() == shots.size();
        if (!why.isEmpty())
            report(why);
        else if (!ok)
            report(QStringLiteral("not every picture asked for was taken"));
        // Leave the way a user does: with Exit. Should the window refuse to close
        // (a transfer still running), the event loop is ended anyway.
        later([this] {
            exitButton->click();
            QCoreApplication::exit(ok ? 0 : kFailed);
        });
    }

    template <typename F>
    void later(F &&f)
    {
        QTimer::singleShot(0, &window, std::forward<F>(f));
    }

    PELKfwloader &window;
    const QString hexPath;
    const QMap<Stage, QString> shots;
    const Stage lastStage;
    QPushButton *hexButton;
    QPushButton *writeButton;
    QPushButton *exitButton;
    QLabel *fileLabel;
    QLabel *progressLabel;
    QTimer pollTimer;
    QTimer deadline;
    Step step = Step::AwaitFound;
    QString waitingFor = QStringLiteral("the instrument (\"HW gefunden an: \")");
    QString abortText;
    int probes = 0;
    QMap<Stage, QString> taken;
    bool ok = false;
};

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own file dialog, the same on every desktop, so that it can be filled in.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("screenshot-driver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Steps the loader's window through its stages and saves a PNG of each stage asked for.\n"
        "Stages: searching, found, dialog, loaded, writing, written, aborted."));
    parser.addHelpOption();
    const QCommandLineOption hexOption(QStringLiteral("hex"), QStringLiteral("HEX file to open in the file dialog."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption shotOption(QStringLiteral("shot"), QStringLiteral("Save stage STAGE to FILE.png."),
                                        QStringLiteral("STAGE=FILE"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Give up after S seconds (default %1).").arg(kDefaultTimeoutS),
                                           QStringLiteral("S"), QString::number(kDefaultTimeoutS));
    parser.addOptions({hexOption, shotOption, timeoutOption});
    parser.process(app);

    QMap<Stage, QString> shots;
    QStringList errors;
    for (const QString &entry : parser.values(shotOption)) {
        const qsizetype separator = entry.indexOf(u'=');
        const QString name = entry.left(separator);
        if (separator <= 0 || separator + 1 >= entry.size() || !stageNames().contains(name))
            errors << QStringLiteral("--shot takes STAGE=FILE with a known stage: %1").arg(entry);
        else
            shots.insert(stageNames().value(name), entry.mid(separator + 1));
    }
    if (shots.isEmpty())
        errors << QStringLiteral("no --shot given");
    if (shots.contains(Stage::Written) && shots.contains(Stage::Aborted))
        errors << QStringLiteral("written and aborted are two different runs");
    const QString hexPath = QFileInfo(parser.value(hexOption)).absoluteFilePath();
    if (!shots.isEmpty() && shots.lastKey() > Stage::Found && !QFileInfo(parser.value(hexOption)).isFile())
        errors << QStringLiteral("--hex must name an existing file for the stages after found");
    bool timeoutOk = false;
    const int timeoutS = parser.value(timeoutOption).toInt(&timeoutOk);
    if (!timeoutOk || timeoutS <= 0)
        errors << QStringLiteral("--timeout takes a number of seconds");
    if (!errors.isEmpty()) {
        for (const QString &error : errors)
            report(error);
        return kUsageError;
    }

    // As the loader's own entry does: the window lives on the heap and is gone (and
    // its settings saved) before the application object.
    auto window = std::make_unique<PELKfwloader>();
    QApplication::setWindowIcon(QIcon(QString::fromUtf8(kIconFile)));
    window->setWindowIcon(QIcon(QString::fromUtf8(kIconFile)));
    Driver driver(*window, hexPath, shots, timeoutS);
    window->show();
    const int loopResult = QApplication::exec();
    const bool complete = driver.isComplete();
    window.reset();
    return complete && loopResult == 0 ? 0 : kFailed;
}
