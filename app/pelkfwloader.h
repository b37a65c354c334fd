#pragma once

#include "flashimage.h"
#include "instrumentprotocol.h"
#include "ui_qwfwloader.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

class Modem;
class QCloseEvent;
class QColor;
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

    static constexpr int kPortCount = 50;
    static constexpr int kFirstScanDelayMs = 200;
    static constexpr int kRxBufferSize = 8004;
    static constexpr int kLineSpeedBaud = InstrumentProtocol::kLineSpeedBaud;
    static constexpr int kDefaultFontPixels = 12;
    static constexpr int kSmallestFontPixels = 8;

protected:
    // Refuses to close while a flash transfer runs.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void fopentty();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();

private:
    friend class LoaderProbe; // the tests: reads the state, sets up image, widgets and time-out

    void flushTty();
    void probeStep();
    void replyStep();
    void rejectPort();
    void advancePortIndex();
    static void colourLabel(QLabel *label, const QColor &colour);

    Ui::QwFWloader ui;
    FlashImage flashImage;
    int imageEnd = kImageEndUnset;
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
};
