#pragma once

// OutputQueue: zorbelflash's standard output or standard error, written without ever
// waiting on the reader.

#include <QByteArray>
#include <QIODevice>

#include <memory>

class QSocketNotifier;

// A standard stream as a write-only device that never blocks: what the descriptor does
// not take at once (a terminal stopped with Ctrl-S, a paused pane, a pipe nobody reads)
// waits in a queue and goes out as the descriptor takes bytes again, on the event loop.
// The queue is bounded: a write that would take it beyond kBoundBytes is refused (-1),
// as is a write the descriptor fails for good (a closed or full output); errorString()
// says why. What is queued when the object goes is dropped, never waited for.
// Unix; elsewhere the writes go straight to the descriptor.
class OutputQueue : public QIODevice
{
    Q_OBJECT

public:
    static constexpr qint64 kBoundBytes = qint64{1} << 20; // 1 MiB waiting at most
    static constexpr int kSettleMs = 200; // what the program's end waits for one stream

    // Gives the stream kSettleMs to take what waits in it; returns the bytes it did not
    // take, which go with it. Any QIODevice: one that queues nothing returns 0 at once.
    static qint64 settle(QIODevice &stream);

    // Opens itself for writing on fd (not taken over: it is not closed at the end).
    explicit OutputQueue(int fd, QObject *parent = nullptr);
    ~OutputQueue() override;

    OutputQueue(const OutputQueue &) = delete;
    OutputQueue &operator=(const OutputQueue &) = delete;

    bool isSequential() const override { return true; }
    // Bytes accepted but not yet taken by the descriptor.
    qint64 bytesToWrite() const override;
    // Writes what it can for at most msecs; true once nothing is left.
    bool waitForBytesWritten(int msecs) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    enum class Flushed { All, Later, Failed };
    // Writes as much of the queue as the descriptor takes now; on Failed, m_error says why.
    Flushed flushNow();
    void onWritable();

    int m_fd;
    QByteArray m_queue;
    int m_error = 0; // errno of the last failed write
    std::unique_ptr<QSocketNotifier> m_writable;
};
