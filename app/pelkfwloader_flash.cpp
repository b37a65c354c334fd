// Writing the flash image to the instrument.

#include "pelkfwloader.h"

#include "flashwriter.h"
#include "modem.h"

#include <QCoreApplication>
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

    FlashWriter writer(*modem, flashImage, imageEnd);
    if (!FlashWriter::canWrite(portOpen, imageEnd)) {
        statusBar()->showMessage(tr("Flash schreiben nicht moeglich!"), 0);
        colourLabel(ui.label_2, Qt::red);
        ui.label_3->setText(QStringLiteral("FW: unvollstaendig, bitte erneut schreiben"));
        return;
    }

    const BusyFlag busy(transferRunning);
    const ButtonLock lock({ui.pushButton, ui.pushButton_2, ui.pushButton_3});

    connect(&writer, &FlashWriter::progress, this, [this](int ackCount, int blockTotal) {
        ui.label_2->setText(progressText(ackCount, blockTotal));
        QCoreApplication::processEvents();
        statusBar()->showMessage(tr("Flash wird beschrieben!"), 0);
        QCoreApplication::processEvents();
    });
    connect(&writer, &FlashWriter::waiting, this, [] { QCoreApplication::processEvents(); });

    // Stale input goes before the command: the instrument's first request may follow
    // the command within microseconds and must not be thrown away with it.
    flushTty();
    writer.sendCommand();
    statusBar()->showMessage(tr("Flash schreiben starten, bitte warten!"), 0);

    const FlashWriter::Outcome outcome = writer.transferBlocks();
    switch (outcome) {
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
    case FlashWriter::Outcome::NotPossible:
        statusBar()->showMessage(tr("Flash schreiben nicht moeglich!"), 0);
        break;
    }
    colourLabel(ui.label_2, Qt::red);
    ui.label_3->setText(QStringLiteral("FW: unvollstaendig, bitte erneut schreiben"));
}
