// Writing the flash image to the instrument.

#include "pelkfwloader.h"

#include "flashwriter.h"
#include "modem.h"

#include <QEventLoop>
#include <QPalette>
#include <QPushButton>
#include <QScopeGuard>

namespace {

// Disables the three buttons for the life of a transfer and gives them back their
// earlier states afterwards, however the transfer ends.
class ButtonLock
{
public:
    explicit ButtonLock(std::initializer_list<QPushButton *> buttons)
    {
        for (QPushButton *button : buttons) {
            saved.append({button, button->isEnabled()});
            button->setEnabled(false);
        }
    }
    ~ButtonLock()
    {
        for (const auto &entry : saved)
            entry.first->setEnabled(entry.second);
    }
    ButtonLock(const ButtonLock &) = delete;
    ButtonLock &operator=(const ButtonLock &) = delete;

private:
    QList<QPair<QPushButton *, bool>> saved;
};

// Marks the window busy so that it refuses to close.
class BusyFlag
{
public:
    explicit BusyFlag(bool &flag) : flag(flag) { flag = true; }
    ~BusyFlag() { flag = false; }
    BusyFlag(const BusyFlag &) = delete;
    BusyFlag &operator=(const BusyFlag &) = delete;

private:
    bool &flag;
};

// Fits label_3 whole at the default font.
const QString kIncompleteText = QStringLiteral("FW unvollstaendig, neu schreiben!");

QString progressText(int ackCount, int blockTotal)
{
    return QString::asprintf("Block: %i / %i", ackCount, blockTotal);
}

} // namespace

void PELKfwloader::on_pushButton_2_clicked()
{
    if (transferRunning)
        return;
    // Runs last, once the busy flag is down: a close asked for meanwhile comes now.
    const auto closeWhenDone = qScopeGuard([this] { closeIfRequested(); });

    if (!FlashWriter::canWrite(portOpen, imageEnd)) {
        // Nothing was sent: the firmware on the instrument is as it was.
        statusBar()->showMessage(tr("Flash schreiben nicht moeglich!"), 0);
        colourLabel(ui.label_2, Qt::red);
        return;
    }

    const BusyFlag busy(transferRunning);
    const ButtonLock lock({ui.pushButton, ui.pushButton_2, ui.pushButton_3});
    // The colour of an earlier, aborted transfer does not belong to this one.
    ui.label_2->setPalette(QPalette());

    FlashWriter writer(*modem, LoadedImage(flashImage, imageEnd), std::chrono::milliseconds(requestTimeoutMs));
    connect(&writer, &FlashWriter::progress, this, [this](int ackCount, int blockTotal) {
        ui.label_2->setText(progressText(ackCount, blockTotal));
        statusBar()->showMessage(tr("Flash wird beschrieben!"), 0);
    });
    QEventLoop transferLoop;
    connect(&writer, &FlashWriter::finished, &transferLoop, &QEventLoop::quit);

    // The transfer reads the port itself; between transfers its input is dropped.
    modem->setInputDropped(false);
    const auto dropInputAfter = qScopeGuard([this] { modem->setInputDropped(true); });
    // Stale input goes before the command: the instrument's first request may follow
    // the command within microseconds and must not be thrown away with it.
    flushTty();
    statusBar()->showMessage(tr("Flash schreiben starten, bitte warten!"), 0);
    writer.start();
    // The window stays alive while the instrument paces the transfer; the slot returns
    // when the transfer has ended, one way or the other.
    if (writer.state() != FlashWriter::State::Finished)
        transferLoop.exec();

    switch (writer.outcome()) {
    case FlashWriter::Outcome::Written:
        statusBar()->showMessage(tr("Flash neu beschrieben!"), 0);
        colourLabel(ui.label_2, Qt::darkGreen);
        ui.label_3->setText(QStringLiteral("FW: neu, Exit Programm"));
        return;
    case FlashWriter::Outcome::NoAnswer:
        statusBar()->showMessage(tr("Flash schreiben abgebrochen, keine Antwort!"), 0);
        break;
    case FlashWriter::Outcome::ConnectionLost:
        statusBar()->showMessage(tr("Flash schreiben abgebrochen, Verbindung verloren!"), 0);
        break;
    case FlashWriter::Outcome::LineNoise:
        statusBar()->showMessage(tr("Flash schreiben abgebrochen, Leitung gestoert!"), 0);
        break;
    case FlashWriter::Outcome::Interrupted:
        // Not reached: only interrupt() ends a transfer so, and the window never calls
        // it (a close or a signal waits for the transfer's end). Were it called, the
        // firmware would be incomplete all the same.
        statusBar()->clearMessage();
        break;
    case FlashWriter::Outcome::NotPossible:
    case FlashWriter::Outcome::CommandNotSent: // e.g. the port went away after discovery
        // Nothing reached the instrument: its firmware is as it was.
        statusBar()->showMessage(tr("Flash schreiben nicht moeglich!"), 0);
        colourLabel(ui.label_2, Qt::red);
        return;
    }
    colourLabel(ui.label_2, Qt::red);
    ui.label_3->setText(kIncompleteText);
}
