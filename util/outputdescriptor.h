#pragma once

// OutputDescriptor: a writer's own descriptor on an output (standard output or error),
// written in parts and asked whether it has room. The platform's side:
// outputdescriptor_posix.cpp and outputdescriptor_win.cpp.

#include <QtGlobal>

#include <chrono>

// A duplicate of a descriptor open for writing, on the same open file description: its
// number cannot be closed and reused under its writer, and (on Unix) a program started
// later does not inherit it. It is closed when the object goes; the descriptor it was
// made from is never touched, nor the flags of the open file description.
class OutputDescriptor
{
public:
    // What one write() did.
    struct Written
    {
        enum class State {
            Wrote,       // bytes (more than 0) were taken
            Interrupted, // a signal came first: write again
            NoRoom,      // nothing was taken now (the description was made non-blocking by
                         // another holder, or took 0 bytes): wait for room, then write again
            Failed       // the output refuses it; see error
        };
        State state = State::Failed;
        qint64 bytes = 0; // for Wrote
        int error = 0;    // the errno, for Failed
    };

    explicit OutputDescriptor(int fd);
    ~OutputDescriptor();

    OutputDescriptor(const OutputDescriptor &) = delete;
    OutputDescriptor &operator=(const OutputDescriptor &) = delete;

    // 0 once the duplicate is made; otherwise the errno of its failure (and nothing can
    // be written).
    int openError() const { return m_openError; }

    // Hands at most size bytes of data to the output in one call, which may take fewer.
    Written write(const char *data, qint64 size) const;
    // Waits at most `wait` for the output to have room (or to fail, which a write then
    // says at once); false when it has none. Where this cannot be asked (Windows) it
    // sleeps for `wait` and says true: the write itself then waits for room.
    bool waitForRoom(std::chrono::milliseconds wait) const;

private:
    // What one write call's count and errno mean; both platforms' calls report alike.
    static Written judged(qint64 count, int error);

    int m_fd = -1;
    int m_openError = 0;
};
