#pragma once

// OutputQueue: zorbelflash's standard output or standard error, written without ever
// waiting on the reader.

#include <QIODevice>

#include <memory>

// A standard stream as a write-only device that never holds up its caller: a writer
// thread of its own hands the records to the descriptor with plain blocking writes, so
// what the descriptor does not take at once (a terminal stopped with Ctrl-S, a paused
// pane, a pipe nobody reads) waits in a queue while the event loop goes on. The flags of
// the descriptor's open file description, shared with the shell and the pipe's other
// writers, are never touched.
//
// Each write() is one record (a line): it goes to the descriptor in one write(2) call,
// whole (a pipe takes up to PIPE_BUF bytes at once, never part of them), and what is
// dropped is always whole records. The queue is bounded: a write that would take it
// beyond kBoundBytes is refused (-1). A descriptor that fails (a closed or full output,
// a reader gone) fails the write whose record it refused, when that record was the only
// one waiting, and every later write; errorString() says why. What is queued when the
// object goes is dropped, never waited for: the writer is left to end on its own.
class OutputQueue : public QIODevice
{
    Q_OBJECT

public:
    static constexpr qint64 kBoundBytes = qint64{1} << 20; // 1 MiB waiting at most
    static constexpr int kSettleMs = 200; // what the program's end waits for one stream
    // How long a write into an empty queue waits at most for the descriptor's answer,
    // so that a failing descriptor refuses that very write. The writer says at once when
    // the descriptor has no room, so this is waited only when it is slow to run.
    static constexpr int kAnswerMs = 100;

    // Gives the stream kSettleMs to take what waits in it; returns the bytes it did not
    // take, which go with it. Any QIODevice: one that queues nothing returns 0 at once.
    static qint64 settle(QIODevice &stream);

    // Opens itself for writing on fd (not taken over: the writer writes through a
    // duplicate of its own, and fd is not closed at the end).
    explicit OutputQueue(int fd, QObject *parent = nullptr);
    ~OutputQueue() override;

    OutputQueue(const OutputQueue &) = delete;
    OutputQueue &operator=(const OutputQueue &) = delete;

    bool isSequential() const override { return true; }
    // Bytes accepted but not yet taken by the descriptor, the record being written
    // included.
    qint64 bytesToWrite() const override;
    // Waits at most msecs (-1: without end) for the queue to empty; true once nothing
    // is left, false at once when the descriptor has failed.
    bool waitForBytesWritten(int msecs) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    struct Shared; // the queue, shared with the writer, which may outlive the object
    std::shared_ptr<Shared> m_shared;
};
