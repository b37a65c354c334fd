#pragma once

#include "instrumentprotocol.h"
#include "loadedimage.h"

#include <QObject>

#include <chrono>

class Modem;
class QTimer;

// Sends a flash image to the instrument in 64-byte blocks, each one asked for by the
// instrument's request byte. Driven by the port's events: a request is answered the
// moment it arrives, and nothing here waits or spins. The transfer ends with the end
// marker once every block has been taken by the driver, or gives up without it when the
// instrument falls silent, the line stops taking bytes, the port fails or the line
// carries something other than the protocol.
class FlashWriter : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Written,        // every block and the end marker taken by the driver
        NotPossible,    // image too long: nothing was sent
        CommandNotSent, // the driver never took the whole write command (the port was gone,
                        // the line took nothing): the instrument's firmware is untouched
        NoAnswer,       // a request, block or end marker not through within the time-out
        ConnectionLost, // the port failed or went away: no end marker sent
        LineNoise,      // more stray bytes than the protocol allows: no end marker sent
        Interrupted,    // stopped by the caller (interrupt()): no end marker sent
    };
    Q_ENUM(Outcome)

    enum class State {
        Ready,    // constructed, nothing sent
        Running,  // command sent, answering requests
        Finished, // finished() has been emitted; outcome() tells how it ended
    };
    Q_ENUM(State)

    // requestTimeout bounds each cycle: waiting for a request and getting its answer
    // (or the end marker) to the driver.
    // The writer keeps its own copy of the image.
    FlashWriter(Modem &modem, const LoadedImage &image,
                std::chrono::milliseconds requestTimeout = std::chrono::milliseconds(InstrumentProtocol::kRequestTimeoutMs),
                QObject *parent = nullptr);
    ~FlashWriter() override;

    FlashWriter(const FlashWriter &) = delete;
    FlashWriter &operator=(const FlashWriter &) = delete;

    // A transfer may start only on an open port with an image that fits the instrument.
    static bool canWrite(bool portOpen, int imageEnd);
    // More bytes other than the request byte than this in one transfer mean the line is
    // not carrying the protocol.
    static int strayLimitFor(int blockTotal);

    int blockTotal() const { return m_total; }
    int ackCount() const { return m_acks; }
    // Blocks the driver has taken whole (a block still queued at an abort is not sent).
    int blocksSent() const { return m_sent; }
    // Blocks handed to the driver so far (the last may still be on its way).
    int blocksQueued() const { return m_queued; }
    // The driver has taken the whole write command, or the instrument has asked for a
    // block: from here on an abort leaves the instrument's firmware incomplete.
    bool commandSent() const { return m_commandSent; }
    State state() const { return m_state; }
    Outcome outcome() const { return m_outcome; }

    // Sends the write command and from then on answers the instrument's requests as
    // they arrive. Returns at once; finished() tells how the transfer ended (it may
    // already have been emitted when start() returns: check state()).
    void start();
    // Stops the transfer at once: whatever the driver has not taken yet is dropped and
    // no end marker is sent. finished(Interrupted) is emitted before this returns. A
    // transfer not yet started never sends anything; a finished one is left as it ended.
    void interrupt();

signals:
    // A byte arrived from the instrument: ackCount bytes so far, of blockTotal blocks.
    // Emitted after the answer to a request has gone to the driver. Emitted once more,
    // with the same numbers, when the transfer has been written.
    void progress(int ackCount, int blockTotal);
    void finished(FlashWriter::Outcome outcome);

private:
    void onDataArrived();
    bool takeByte(char byte);
    void checkDrained();
    void onTimeout();
    bool queue(const char *data, int count);
    void queueBlock();
    void finish(Outcome outcome);

    Modem &m_modem;
    const LoadedImage m_image;
    int m_total;
    QTimer *m_requestTimer;
    State m_state = State::Ready;
    Outcome m_outcome = Outcome::NotPossible;
    int m_acks = 0;
    int m_queued = 0; // blocks handed to the driver
    int m_sent = 0;   // blocks the driver has taken whole
    int m_stray = 0;
    int m_blockAddress = 0;
    bool m_cyclePending = false; // a block was queued and the driver has not taken all of it
    bool m_endQueued = false;
    bool m_commandSent = false;
    bool m_reading = false;      // inside onDataArrived: a nested arrival is left to it
};
