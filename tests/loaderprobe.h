#pragma once

#include "pelkfwloader.h"

#include <QTimer>

// The tests' access to the window's private state. It reads the discovery state, and
// it may set up what a step needs: the widgets (ui), the flash image and its end, the
// modem and the request time-out are handed out for writing; it drives the slots
// directly, as the timer and the buttons would.
class LoaderProbe
{
public:
    explicit LoaderProbe(PELKfwloader &window) : w(window) {}

    Ui::QwFWloader &ui() { return w.ui; }
    FlashImage &flashImage() { return w.flashImage; }
    int &imageEnd() { return w.imageEnd; }
    Modem &modem() { return *w.modem; }
    const QString &portName() const { return w.portName; }
    bool portOpen() const { return w.portOpen; }
    QTimer *scanTimer() const { return w.scanTimer; }
    const QStringList &portNames() const { return w.portNames; }
    int portIndex() const { return w.portIndex; }
    bool queryPending() const { return w.queryPending; }
    const QString &versionText() const { return w.versionText; }
    int firmwareVersion() const { return w.firmwareVersion; }
    int fontSize() const { return w.fontSize; }
    bool transferRunning() const { return w.transferRunning; }

    // Drives the slots directly, as the timer and the buttons would.
    void scanStep() { w.fopentty(); }
    void writeFlash() { w.on_pushButton_2_clicked(); }
    // Shortens the flash transfer's request time-out, so a test need not wait out 5 s.
    void setRequestTimeout(int msecs) { w.requestTimeoutMs = msecs; }

private:
    PELKfwloader &w;
};
