#pragma once

#include "flashimage.h"
#include "fontsizesetting.h"
#include "instrumentprotocol.h"
#include "portmap.h"
#include "ui_qwfwloader.h"

#include <QMainWindow>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

class Modem;
class QCloseEvent;
class QColor;
class QIcon;
class QLabel;
class QTimer;

// The loader's one window. It finds the instrument (timer-driven scan of COM1..COM50),
// loads a HEX file into the flash image and writes that image to the instrument.
class PELKfwloader : public QMainWindow
{
    Q_OBJECT

public:
    PELKfwloader();
    ~PELKfwloader() override;

    PELKfwloader(const PELKfwloader &) = delete;
    PELKfwloader &operator=(const PELKfwloader &) = delete;

    static constexpr int kPortCount = PortMap::kHighestComNumber;
    static constexpr int kFirstScanDelayMs = 200;
    static constexpr int kRxBufferSize = 8004;
    static constexpr int kLineSpeedBaud = InstrumentProtocol::kLineSpeedBaud;
    static constexpr int kDefaultFontPixels = 12;
    static constexpr int kSmallestFontPixels = 8;
    // Larger stored sizes are used (and written back) as this one: beyond it the fixed
    // buttons cannot show their captions whole.
    static constexpr int kLargestFontPixels = 16;

    // The window's icon: images/zorbelfwloader.ico in the working directory, else the
    // compiled-in copy.
    static QIcon loaderIcon();

    // Closes the window as Exit does. During a flash write the close waits until the
    // write has ended (it is bounded); asking again meanwhile changes nothing.
    void requestClose();

protected:
    // A close during a flash transfer (the window frame, Alt-F4, a signal) waits until
    // the transfer has ended, then the window closes.
    void closeEvent(QCloseEvent *event) override;
    // The native window goes when the window closes, and also when the window system
    // takes it away without a close (destroyed, no close event). Either way the loader
    // ends as Exit ends it, once a flash write under way has ended: a window without
    // its native window can neither be seen nor closed.
    bool event(QEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void fopentty();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();

private:
    friend class LoaderProbe; // the tests: reads the state, sets up image, widgets and time-out

    void flushTty();
    void closeIfRequested();
    void probeStep();
    void showPortProblem(const QString &problem);
    void replyStep();
    void noteQueryTaken(bool taken);
    void rejectPort();
    void advancePortIndex();
    static void colourLabel(QLabel *label, const QColor &colour);

    Ui::QwFWloader ui;
    FlashImage flashImage;
    int imageEnd = kImageEndUnset;
    std::unique_ptr<PortMap> portMap; // COM names to devices, taken afresh at each pass; outlives modem
    std::unique_ptr<Modem> modem;
    QString portName;
    bool portOpen = false;
    QTimer *scanTimer = nullptr;
    QStringList portNames;
    int portIndex = 0;
    bool queryPending = false;
    QString versionText;
    int firmwareVersion = 0;
    int fontSize = kDefaultFontPixels;
    std::array<char, kRxBufferSize> rxBuffer{};
    bool transferRunning = false;
    // How long a transfer waits for each request and for the driver to take the answer.
    int requestTimeoutMs = InstrumentProtocol::kRequestTimeoutMs;
    bool closeRequested = false; // during a flash write: close once it has ended
    bool m_windowLost = false;   // the native window is gone: end the loader
    int problemPortIndex = -1;   // the port whose problem label_3 shows, or -1
    QSet<QString> queryNotTakenPorts; // logged as not taking the query, until one does
    FontSizeSetting m_fontSetting;
};
