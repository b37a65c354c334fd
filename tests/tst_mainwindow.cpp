// The window as it stands after construction, its font setting and its exit.

#include "loaderprobe.h"
#include "loaderprocess.h"
#include "settingssandbox.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QImageWriter>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The real program with its settings under configHome, COM1 a device that is not there
// (its open is logged once the event loop runs) and the given log rules.
void startLoader(QProcess &loader, const QString &configHome, const QString &logRules)
{
    QProcessEnvironment env = loaderEnvironment("COM1=" + configHome + "/no-such-device", configHome);
    env.insert("XDG_RUNTIME_DIR", configHome); // a private folder: the toolkit has no cause to warn
    env.insert("HOME", configHome);
    env.insert("QT_LOGGING_RULES", logRules);
    loader.setProcessEnvironment(env);
    loader.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
}

// Whether the process has its handler for sig in place (/proc/PID/status, SigCgt).
bool catches(qint64 pid, int sig)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1U;
    }
    return false;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void formAfterConstruction();
    void widgets_data();
    void widgets();
    void initialState();
    void windowResizeKeepsControlsInPlace();
    void fontFromSettings_data();
    void fontFromSettings();
    void exitAndFrameCloseSaveSettings_data();
    void exitAndFrameCloseSaveSettings();
    void settingsFileLeftAlone_data();
    void settingsFileLeftAlone();
    void settingsPipeDoesNotBlock();
    void silencedLogStaysSilent();
    void iconFollowsWorkingDirectory_data();
    void iconFollowsWorkingDirectory();
    void programStartsWithoutIconFile();

private:
    std::unique_ptr<SettingsSandbox> sandbox;
};

void TestMainWindow::init()
{
    sandbox = std::make_unique<SettingsSandbox>();
}

void TestMainWindow::formAfterConstruction()
{
    PELKfwloader window;
    QCOMPARE(window.objectName(), QStringLiteral("QwFWloader"));
    QCOMPARE(window.size(), QSize(391, 186));
    QCOMPARE(window.windowTitle(), QStringLiteral("ZORBELfwloader V1.00"));
    QCOMPARE(window.metaObject()->className(), "PELKfwloader");

    LoaderProbe probe(window);
    QCOMPARE(window.centralWidget(), probe.ui().centralWidget);
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QCOMPARE(window.menuBar(), probe.ui().menuBar);
    QCOMPARE(window.menuBar()->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(window.menuBar()->geometry(), QRect(0, 0, 391, 20));
    QVERIFY(window.menuBar()->actions().isEmpty());
    QCOMPARE(window.statusBar(), probe.ui().statusBar);
    QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusBar"));
    QVERIFY(window.statusBar()->currentMessage().isEmpty());

    // The four slots, in their order, and nothing else of the class's own.
    const QMetaObject *meta = window.metaObject();
    QStringList own;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        own << QString::fromLatin1(meta->method(i).methodSignature());
    QCOMPARE(own, QStringList({"on_pushButton_clicked()", "fopentty()",
                               "on_pushButton_2_clicked()", "on_pushButton_3_clicked()"}));
}

void TestMainWindow::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("pushButton") << "pushButton" << "QPushButton" << QRect(290, 10, 85, 27) << "HEX-Datei" << false;
    QTest::newRow("pushButton_2") << "pushButton_2" << "QPushButton" << QRect(290, 50, 85, 27) << "Write Flash" << false;
    QTest::newRow("pushButton_3") << "pushButton_3" << "QPushButton" << QRect(290, 90, 85, 27) << "Exit" << true;
    QTest::newRow("label") << "label" << "QLabel" << QRect(30, 15, 241, 17) << "" << true;
    QTest::newRow("label_2") << "label_2" << "QLabel" << QRect(30, 56, 241, 17) << "" << true;
    QTest::newRow("label_3") << "label_3" << "QLabel" << QRect(30, 95, 241, 17) << "" << true;
}

void TestMainWindow::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    PELKfwloader window;
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());
    QCOMPARE(widget->parentWidget(), window.centralWidget());
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->isEnabled(), enabled);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), text);
    else
        QCOMPARE(qobject_cast<QLabel *>(widget)->text(), text);
}

void TestMainWindow::initialState()
{
    PELKfwloader window;
    LoaderProbe probe(window);

    QCOMPARE(probe.portNames().size(), 50);
    QCOMPARE(probe.portNames().first(), QStringLiteral("COM1"));
    QCOMPARE(probe.portNames().at(9), QStringLiteral("COM10"));
    QCOMPARE(probe.portNames().last(), QStringLiteral("COM50"));
    QCOMPARE(probe.portIndex(), 0);
    QVERIFY(!probe.portOpen());
    QVERIFY(!probe.queryPending());
    QVERIFY(probe.portName().isEmpty());
    QVERIFY(probe.versionText().isEmpty());
    QCOMPARE(probe.firmwareVersion(), 0);
    QCOMPARE(probe.imageEnd(), -1);

    const FlashImage &image = probe.flashImage();
    QCOMPARE(static_cast<int>(image.size()), 65000);
    QVERIFY(std::all_of(image.begin(), image.end(), [](qint32 v) { return v == 255; }));

    // Discovery starts 200 ms after construction, from the timer only.
    QVERIFY(probe.scanTimer()->isActive());
    QCOMPARE(probe.scanTimer()->interval(), 200);
    QVERIFY(!probe.scanTimer()->isSingleShot());
    QCOMPARE(probe.scanTimer()->parent(), &window);
}

void TestMainWindow::windowResizeKeepsControlsInPlace()
{
    PELKfwloader window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto controls = window.centralWidget()->findChildren<QWidget *>();
    QList<QRect> before;
    for (const QWidget *w : controls)
        before << w->geometry();
    window.resize(700, 400);
    QTRY_COMPARE(window.size(), QSize(700, 400));
    for (int i = 0; i < controls.size(); ++i)
        QCOMPARE(controls.at(i)->geometry(), before.at(i));
    window.resize(200, 100);
    QTRY_COMPARE(window.size(), QSize(200, 100));
    for (int i = 0; i < controls.size(); ++i)
        QCOMPARE(controls.at(i)->geometry(), before.at(i));
}

void TestMainWindow::fontFromSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("pixels");

    QTest::newRow("absent") << QVariant() << 12;
    QTest::newRow("7") << QVariant(7) << 12;
    QTest::newRow("8") << QVariant(8) << 8;
    QTest::newRow("12") << QVariant(12) << 12;
    QTest::newRow("15") << QVariant(15) << 15;
    QTest::newRow("16") << QVariant(16) << 16;
    QTest::newRow("17") << QVariant(17) << 16;
    QTest::newRow("40") << QVariant(40) << 16;
    QTest::newRow("text 40") << QVariant(QStringLiteral("40")) << 16;
    QTest::newRow("200") << QVariant(200) << 16;
    QTest::newRow("abc") << QVariant(QStringLiteral("abc")) << 12;
    QTest::newRow("negative") << QVariant(-20) << 12;
    QTest::newRow("zero") << QVariant(0) << 12;
}

void TestMainWindow::fontFromSettings()
{
    QFETCH(QVariant, stored);
    QFETCH(int, pixels);

    SettingsSandbox::setFontSize(stored);
    {
        PELKfwloader window;
        QCOMPARE(window.font().pixelSize(), pixels);
        QCOMPARE(window.font().weight(), QFont::Normal);
        // Set on the window only; the controls inherit it.
        QVERIFY(!window.findChild<QPushButton *>("pushButton")->testAttribute(Qt::WA_SetFont));
        QCOMPARE(window.findChild<QPushButton *>("pushButton")->font().pixelSize(), pixels);
        QCOMPARE(window.findChild<QLabel *>("label_3")->font().pixelSize(), pixels);
        // Every caption of the fixed form is whole: it fits inside its button's frame.
        for (const char *name : {"pushButton", "pushButton_2", "pushButton_3"}) {
            const auto *button = window.findChild<QPushButton *>(name);
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            const QFontMetrics metrics(button->font());
            QVERIFY2(metrics.horizontalAdvance(button->text()) <= room.width(),
                     qPrintable(QStringLiteral("%1: %2 px wide, room for %3")
                                    .arg(button->text())
                                    .arg(metrics.horizontalAdvance(button->text()))
                                    .arg(room.width())));
            QVERIFY2(metrics.height() <= room.height(), qPrintable(button->text()));
        }
        // Nothing is written while the window lives.
        QCOMPARE(SettingsSandbox::fontSize(), stored);
    }
    QCOMPARE(SettingsSandbox::fontSize().toInt(), pixels);
}

void TestMainWindow::exitAndFrameCloseSaveSettings_data()
{
    QTest::addColumn<bool>("useExitButton");
    QTest::newRow("Exit button") << true;
    QTest::newRow("window frame") << false;
}

void TestMainWindow::exitAndFrameCloseSaveSettings()
{
    QFETCH(bool, useExitButton);
    SettingsSandbox::setFontSize(14);

    auto window = std::make_unique<PELKfwloader>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    if (useExitButton)
        QTest::mouseClick(window->findChild<QPushButton *>("pushButton_3"), Qt::LeftButton);
    else
        QVERIFY(window->close());
    QTRY_VERIFY(!window->isVisible());
    SettingsSandbox::setFontSize(QVariant()); // only the destructor may write it back
    window.reset();
    QCOMPARE(SettingsSandbox::fontSize().toInt(), 14);
}

// The settings file as the window finds it: kind "file" holds text, "link" is a link
// to such a file, "folder" a folder, "dangling" a link to nothing. Only a regular file
// of at most 64 KiB is read, and it is written only when the size it holds is not the
// one the window leaves with; through a link, only when it holds a size at all.
// (No link to a device here: a fault that wrote through it would, run as root,
// replace the device node.)
void TestMainWindow::settingsFileLeftAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<bool>("warned");
    const QByteArray fourteen("[General]\nfontsize=14\n");
    QTest::newRow("same size") << "file" << fourteen << 14 << false;
    QTest::newRow("same size, through a link") << "link" << fourteen << 14 << false;
    QTest::newRow("over 64 KiB") << "file" << fourteen + QByteArray(64 * 1024, '#') << 12 << true;
    QTest::newRow("folder") << "folder" << QByteArray() << 12 << true;
    QTest::newRow("link to nothing") << "dangling" << QByteArray() << 12 << true;
    QTest::newRow("link to a file without a size") << "link" << QByteArray("root:x:0:0::/root:/bin/sh\n") << 12
                                                   << true;
}

void TestMainWindow::settingsFileLeftAlone()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, text);
    QFETCH(int, pixels);
    QFETCH(bool, warned);
    const QString path = sandbox->filePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    const QString target = sandbox->path() + "/dotfiles-Lumwerk.conf";
    if (kind == "folder") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(target, path));
    } else {
        QFile file(kind == "link" ? target : path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        QVERIFY(file.flush());
        // An hour old: a rewrite, even of the same text, would show.
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        file.close();
        if (kind == "link")
            QVERIFY(QFile::link(target, path));
    }
    // What a look at the path finds, taken now (a QFileInfo would look only when asked).
    const auto look = [&path] {
        const QFileInfo info(path);
        return QVariantList{info.exists(), info.isSymLink(), info.isDir(), info.size(), info.lastModified()};
    };
    const QVariantList before = look();
    if (warned)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Lumwerk.conf .*: left alone"));

    {
        PELKfwloader window;
        QCOMPARE(window.font().pixelSize(), pixels);
    }

    QCOMPARE(look(), before);
    QVERIFY(!QFile::exists(path + ".lock"));
}

// A named pipe in place of the settings file would keep any reader waiting for a
// writer: the program must come up, run and close on SIGTERM all the same.
void TestMainWindow::settingsPipeDoesNotBlock()
{
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkdir("RUD"));
    const QString pipe = home.path() + "/RUD/Lumwerk.conf";
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), S_IRUSR | S_IWUSR) == 0);
    QProcess loader;
    loader.setProcessChannelMode(QProcess::MergedChannels);
    startLoader(loader, home.path(), "*.debug=true");
    QVERIFY(loader.waitForStarted(10000));
    // The scan runs only once the window is up and the event loop turns.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll()).contains("open COM1"), 10000);
    QCOMPARE(::kill(pid_t(loader.processId()), SIGTERM), 0);
    const bool ended = loader.waitForFinished(10000);
    if (!ended)
        loader.kill();
    output += loader.readAll();
    QVERIFY2(ended, output.right(2000).constData());
    QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
    QCOMPARE(loader.exitCode(), 0);
    QCOMPARE(output.count("zorbel.settings"), 1);
    struct stat status {};
    QVERIFY(::lstat(QFile::encodeName(pipe).constData(), &status) == 0 && S_ISFIFO(status.st_mode));
}

// The rule the README gives for a silent window silences it, signals included.
void TestMainWindow::silencedLogStaysSilent()
{
    QTemporaryDir home;
    QProcess loader;
    startLoader(loader, home.path(), "zorbel.*=false;default.debug=false");
    QVERIFY(loader.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(catches(loader.processId(), SIGTERM), 10000);
    QCOMPARE(::kill(pid_t(loader.processId()), SIGTERM), 0);
    QVERIFY(loader.waitForFinished(10000));
    QCOMPARE(loader.exitCode(), 0);
    // The headless platform's own note, which a desktop platform does not print.
    const QByteArray platformNote("This plugin does not support propagateSizeHints()\n");
    QCOMPARE(loader.readAllStandardError().replace(platformNote, QByteArray()), QByteArray());
    QCOMPARE(loader.readAllStandardOutput(), QByteArray());
}

void TestMainWindow::iconFollowsWorkingDirectory_data()
{
    // The compiled-in icon is 128 x 128; a file in the working directory of another
    // size shows which of the two the window took.
    QTest::addColumn<int>("fileSize"); // 0: no images/zorbelfwloader.ico there
    QTest::addColumn<QSize>("iconSize");
    QTest::newRow("file in the working directory") << 48 << QSize(48, 48);
    QTest::newRow("no file: the compiled-in icon") << 0 << QSize(128, 128);
}

void TestMainWindow::iconFollowsWorkingDirectory()
{
    QFETCH(int, fileSize);
    QFETCH(QSize, iconSize);

    const QString oldDir = QDir::currentPath();
    QTemporaryDir workDir;
    if (fileSize > 0) {
        QVERIFY(QDir(workDir.path()).mkdir("images"));
        QImage image(fileSize, fileSize, QImage::Format_ARGB32);
        image.fill(Qt::darkGreen);
        QImageWriter writer(workDir.path() + "/images/zorbelfwloader.ico", "ico");
        QVERIFY2(writer.write(image), qPrintable(writer.errorString()));
    }
    QVERIFY(QDir::setCurrent(workDir.path()));
    {
        PELKfwloader window;
        QCOMPARE(window.windowIcon().availableSizes(), QList<QSize>{iconSize});
        QCOMPARE(PELKfwloader::loaderIcon().availableSizes(), QList<QSize>{iconSize});
    }
    QVERIFY(QDir::setCurrent(oldDir));
}

void TestMainWindow::programStartsWithoutIconFile()
{
    QTemporaryDir workDir;
    QProcess loader;
    loader.setWorkingDirectory(workDir.path());
    // A device that is not there: its open is logged once the event loop runs.
    QProcessEnvironment env = loaderEnvironment("COM1=" + workDir.path() + "/no-such-device", workDir.path());
    env.insert("HOME", workDir.path());
    loader.setProcessEnvironment(env);
    loader.setProcessChannelMode(QProcess::MergedChannels);
    loader.start(QStringLiteral(ZORBELFWLOADER_PATH), {});
    QVERIFY(loader.waitForStarted(10000));
    // Once the event loop runs, the scan tries COM1 and says so: proof of a live program.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += loader.readAll()).contains("COM1"), 20000);
    QCOMPARE(loader.state(), QProcess::Running);
    loader.kill();
    QVERIFY(loader.waitForFinished(10000));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
