// Instrument discovery: one step of the scan over COM1..COM50 per timer tick.

#include "pelkfwloader.h"

#include "instrumentprotocol.h"
#include "modem.h"
#include "portmap.h"
#include "seriallog.h"
#include "versionprobe.h"
#include "versionreply.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>

using namespace InstrumentProtocol;

namespace {

// Why a present device cannot be used, for the technician; empty when there is nothing
// the user can mend (no device, or one that opened).
QString problemText(const QString &portName, Modem::OpenResult result)
{
    switch (result) {
    case Modem::OpenResult::PermissionDenied:
        return portName + QStringLiteral(": kein Zugriff (Gruppe dialout?)");
    case Modem::OpenResult::Busy:
        return portName + QStringLiteral(": belegt (anderes Programm?)");
    case Modem::OpenResult::Opened:
    case Modem::OpenResult::NoDevice:
    case Modem::OpenResult::PathTooLong: // the log names it
    case Modem::OpenResult::Failed:
        break;
    }
    return {};
}

} // namespace

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
        portMap->refresh(); // each pass sees the devices present now
    portName = portNames.at(portIndex);
    statusBar()->showMessage(QStringLiteral("Suche HW :") + portName, 0);
    const Modem::OpenResult opened = modem->openPort(portName);
    portOpen = opened == Modem::OpenResult::Opened;
    showPortProblem(problemText(portName, opened));
    if (portOpen) {
        flushTty();
        // Queued, not waited for: a port that does not take it counts as silent.
        VersionProbe::sendQuery(*modem);
        queryPending = true;
        scanTimer->start(kReplyWaitMs);
    } else {
        advancePortIndex();
        scanTimer->start(kMissingPortDelayMs);
        queryPending = false;
        modem->closeTty(); // releases a device a failed open may still hold
    }
}

// label_3 names the problem of the lowest-numbered port that has one (USB adapters
// come first in the COM names); it goes when that port is next probed without one.
void PELKfwloader::showPortProblem(const QString &problem)
{
    if (!problem.isEmpty() && (problemPortIndex < 0 || portIndex <= problemPortIndex)) {
        problemPortIndex = portIndex;
        ui.label_3->setText(problem);
    } else if (problem.isEmpty() && portIndex == problemPortIndex) {
        problemPortIndex = -1;
        ui.label_3->clear();
    }
}

void PELKfwloader::replyStep()
{
    queryPending = false;
    noteQueryTaken(VersionProbe::queryTaken(*modem));
    const VersionReply reply = VersionProbe::readReply(*modem);
    const QByteArray received = reply.received();
    std::copy(received.cbegin(), received.cend(), rxBuffer.begin());
    qDebug() << int(received.size());
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
    // The port stays open until the write; what the instrument sends meanwhile is dropped.
    modem->setInputDropped(true);
    problemPortIndex = -1;
    statusBar()->showMessage(tr("HW gefunden an: ") + portName, 0);
    ui.label_3->setText(QString::asprintf("Zorbelmeter, FW: V%i.%02i",
                                          reply.majorVersion(), reply.minorVersion()));
    ui.pushButton->setEnabled(true);
}

// A port that has not taken the query by the reply step is written to the serial log
// the first time, and to its trace each time after, until it takes one again.
void PELKfwloader::noteQueryTaken(bool taken)
{
    if (taken) {
        queryNotTakenPorts.remove(portName);
        return;
    }
    const QString line = QStringLiteral("%1: version query not taken by the port within %2 ms; "
                                        "counted as no answer")
                             .arg(portName)
                             .arg(kReplyWaitMs);
    if (queryNotTakenPorts.contains(portName)) {
        qCDebug(lcSerialTrace).noquote() << line;
        return;
    }
    queryNotTakenPorts.insert(portName);
    qCInfo(lcSerial).noquote() << line;
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
    if (portOpen)
        VersionProbe::dropInput(*modem);
    rxBuffer.fill(0);
}
