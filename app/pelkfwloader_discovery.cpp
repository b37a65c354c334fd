// Instrument discovery: one step of the scan over COM1..COM50 per timer tick.

#include "pelkfwloader.h"

#include "instrumentprotocol.h"
#include "modem.h"
#include "versionreply.h"

#include <QDebug>
#include <QTimer>

#include <cstring>

using namespace InstrumentProtocol;

void PELKfwloader::fopentty()
{
    scanTimer->stop();
    if (queryPending)
        replyStep();
    else if (!portOpen)
        probeStep();
    // Otherwise the instrument has been found: the timer stays stopped.
}

void PELKfwloader::probeStep()
{
    if (portIndex == 0)
        modem->refreshPortMap(); // each pass sees the devices present now
    portName = portNames.at(portIndex);
    statusBar()->showMessage(QStringLiteral("Suche HW :") + portName, 0);
    portOpen = modem->openTty(portName);
    if (portOpen) {
        flushTty();
        modem->writeTty(kVersionQuery);
        queryPending = true;
        scanTimer->start(kReplyWaitMs);
    } else {
        advancePortIndex();
        scanTimer->start(kMissingPortDelayMs);
        queryPending = false;
        modem->closeTty(); // releases a device a failed open may still hold
    }
}

void PELKfwloader::replyStep()
{
    queryPending = false;
    const int received = modem->readTty(rxBuffer.data(), kVersionReplyBytes);
    qDebug() << received;
    const VersionReply reply = VersionReply::judge(rxBuffer.data(), received);
    if (!reply.isComplete()) {
        rejectPort();
        return;
    }
    versionText = reply.letter();
    firmwareVersion = reply.firmwareVersion();
    qDebug().noquote() << QString::asprintf("Version: %03i", firmwareVersion);
    if (!reply.isAccepted()) {
        rejectPort();
        return;
    }
    scanTimer->stop();
    statusBar()->showMessage(tr("HW gefunden an: ") + portName, 0);
    ui.label_3->setText(QString::asprintf("Zorbelmeter, FW: V%i.%02i",
                                          reply.majorVersion(), reply.minorVersion()));
    ui.pushButton->setEnabled(true);
}

void PELKfwloader::rejectPort()
{
    advancePortIndex();
    scanTimer->start(kRejectedPortDelayMs);
    modem->closeTty();
    portOpen = false;
}

void PELKfwloader::advancePortIndex()
{
    ++portIndex;
    if (portIndex >= portNames.size())
        portIndex = 0;
}

void PELKfwloader::flushTty()
{
    if (portOpen) {
        std::array<char, kRxBufferSize> scratch{};
        modem->readTty(scratch.data(), kRxBufferSize);
    }
    rxBuffer.fill(0);
}
