#pragma once

#include "flashimage.h"

#include <QObject>

class Modem;
class QElapsedTimer;

// Sends a flash image to the instrument in 64-byte blocks, each one asked for by the
// instrument's request byte. Waits on the port without spinning, gives up when the
// instrument falls silent or the port fails, and lets its caller keep the window alive.
class FlashWriter : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Written,        // every block sent, end marker sent
        NotPossible,    // port not open or image too long: nothing was sent
        NoAnswer,       // no request within the time-out: no end marker sent
        ConnectionLost, // the port failed or went away: no end marker sent
    };
    Q_ENUM(Outcome)

    FlashWriter(Modem &modem, const FlashImage &image, int imageEnd);

    // Number of 64-byte blocks covering addresses 0..imageEnd (1 for an empty image).
    static int blockTotalFor(int imageEnd);
    // A transfer may start only on an open port with an image that fits the instrument.
    static bool canWrite(bool portOpen, int imageEnd);

    int blockTotal() const { return total; }
    int ackCount() const { return acks; }
    int blocksSent() const { return sent; }

    // Sends the write command that puts the instrument into its bootloader.
    bool sendCommand();
    // Answers the instrument's requests until the whole image is sent, then sends the
    // end marker. Returns early, without the end marker, when the transfer fails.
    Outcome transferBlocks();

signals:
    // A byte arrived from the instrument: ackCount bytes so far, of blockTotal blocks.
    void progress(int ackCount, int blockTotal);
    // Emitted at least every few tens of milliseconds while waiting for the instrument.
    void waiting();

private:
    enum class WaitResult { Byte, TimedOut, PortFailed };
    WaitResult waitForByte(char &byte, const QElapsedTimer &sinceLastBlock);
    bool sendBlock(int address);

    Modem &modem;
    const FlashImage &image;
    int imageEnd;
    int total;
    int acks = 0;
    int sent = 0;
};
