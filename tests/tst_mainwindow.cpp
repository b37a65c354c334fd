// The window as it stands after construction, its font setting and its exit.

#include "loaderprobe.h"
#include "settingssandbox.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QImageWriter>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // A device that is not there: its open is logged once the event loop runs.
    env.insert("ZORBEL_PORTS", "COM1=" + workDir.path() + "/no-such-device");
    env.insert("XDG_CONFIG_HOME", workDir.path());
    env.insert("HOME", workDir.path());
    env.insert("QT_LOGGING_RULES", "*.debug=true");
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
