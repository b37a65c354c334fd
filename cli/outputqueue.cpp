// OutputQueue: a standard stream written by a thread of its own; the platform's side of
// it (the writer's descriptor) is OutputDescriptor.

#include "outputqueue.h"

#include "outputdescriptor.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr qint64 kBytesPerKiB = 1024;
// A writer waiting for room checks this often whether its object is gone.
constexpr std::chrono::milliseconds kRoomWaitSlice{100};
constexpr std::chrono::milliseconds kNoWait{0};

} // namespace

struct OutputQueue::Shared
{
    enum class Written { Whole, Failed, Dropped };

    explicit Shared(int fd)
        : output(fd)
    {
    }
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;

    bool isClosing()
    {
        const std::lock_guard lock(mutex);
        return closing;
    }

    // Tells the write waiting for the answer on record `number` not to wait: the
    // descriptor has no room for it now.
    void announceWait(quint64 number)
    {
        const std::lock_guard lock(mutex);
        if (mayWait < number) {
            mayWait = number;
            changed.notify_all();
        }
    }

    // Hands one record to the descriptor in one call, and what a signal, or a description
    // its other holders made non-blocking, left of it in the next ones. A record not begun
    // is dropped once the object is gone; one begun is finished, so that the stream stays
    // whole. On Failed, failure is the errno.
    Written writeRecord(quint64 number, const QByteArray &record, int &failure)
    {
        using State = OutputDescriptor::Written::State;
        if (!output.waitForRoom(kNoWait))
            announceWait(number);
        qint64 done = 0;
        while (done < record.size()) {
            const OutputDescriptor::Written written = output.write(record.constData() + done, record.size() - done);
            if (written.state == State::Wrote) {
                done += written.bytes;
                continue;
            }
            if (written.state == State::Interrupted)
                continue;
            if (written.state == State::Failed) {
                failure = written.error;
                return Written::Failed;
            }
            announceWait(number);
            while (!output.waitForRoom(kRoomWaitSlice)) {
                if (done == 0 && isClosing())
                    return Written::Dropped;
            }
        }
        return Written::Whole;
    }

    // The writer thread: the records in order until the object is gone or the descriptor
    // fails. Its caller holds this state, so it may run on after the object.
    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !records.empty(); });
            if (closing)
                return;
            const QByteArray record = records.front();
            const quint64 number = lastTaken + 1;
            lock.unlock();
            int writeError = 0;
            const Written written = writeRecord(number, record, writeError);
            lock.lock();
            if (closing || written == Written::Dropped)
                return;
            if (written == Written::Failed) {
                error = writeError;
                failed = number;
                changed.notify_all();
                return;
            }
            records.pop_front();
            queuedBytes -= record.size();
            lastTaken = number;
            changed.notify_all();
        }
    }

    OutputDescriptor output; // the writer's own duplicate of the descriptor
    std::mutex mutex;
    std::condition_variable changed;
    // Under mutex from here on. The front record is the one being written; it stays
    // until the descriptor has taken all of it.
    std::deque<QByteArray> records;
    qint64 queuedBytes = 0;
    // Records are numbered from 1 in the order they are queued.
    quint64 lastQueued = 0;
    quint64 lastTaken = 0;
    quint64 mayWait = 0; // the record whose write may wait for room
    quint64 failed = 0; // the record the descriptor refused
    int error = 0; // errno of the descriptor's failure; the writer stops at the first
    bool closing = false; // the object is gone
};

OutputQueue::OutputQueue(int fd, QObject *parent)
    : QIODevice(parent)
    , m_shared(std::make_shared<Shared>(fd))
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (m_shared->output.openError() != 0) {
        m_shared->error = m_shared->output.openError();
        return;
    }
    try {
        std::thread([shared = m_shared] { shared->run(); }).detach();
    } catch (const std::system_error &failure) {
        m_shared->error = failure.code().value();
    }
}

// The writer is not joined: it may sit in a write that no reader will ever let end.
// It writes nothing more once it sees the object gone.
OutputQueue::~OutputQueue()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->closing = true;
    m_shared->records.clear();
    m_shared->queuedBytes = 0;
    m_shared->changed.notify_all();
}

qint64 OutputQueue::settle(QIODevice &stream)
{
    if (stream.bytesToWrite() > 0)
        stream.waitForBytesWritten(kSettleMs);
    return stream.bytesToWrite();
}

qint64 OutputQueue::bytesToWrite() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->queuedBytes;
}

bool OutputQueue::waitForBytesWritten(int msecs)
{
    Shared &shared = *m_shared;
    std::unique_lock lock(shared.mutex);
    const auto settled = [&shared] { return shared.records.empty() || shared.error != 0; };
    if (msecs < 0)
        shared.changed.wait(lock, settled);
    else
        shared.changed.wait_for(lock, std::chrono::milliseconds(msecs), settled);
    return shared.records.empty();
}

qint64 OutputQueue::readData(char * /*data*/, qint64 /*maxSize*/)
{
    return -1;
}

qint64 OutputQueue::writeData(const char *data, qint64 size)
{
    if (size <= 0)
        return 0;
    Shared &shared = *m_shared;
    std::unique_lock lock(shared.mutex);
    if (shared.error != 0) {
        setErrorString(qt_error_string(shared.error));
        return -1;
    }
    if (shared.queuedBytes + size > kBoundBytes) {
        setErrorString(QStringLiteral("the output is stuck (%1 KiB wait to be written)")
                           .arg(shared.queuedBytes / kBytesPerKiB));
        return -1;
    }
    const bool alone = shared.records.empty();
    shared.records.emplace_back(data, static_cast<qsizetype>(size));
    shared.queuedBytes += size;
    const quint64 number = ++shared.lastQueued;
    shared.changed.notify_all();
    if (!alone)
        return size;
    // The writer takes this record at once, or says the descriptor has no room for it.
    shared.changed.wait_for(lock, std::chrono::milliseconds(kAnswerMs), [&shared, number] {
        return shared.lastTaken >= number || shared.failed == number || shared.mayWait >= number;
    });
    if (shared.failed != number)
        return size;
    // Refused: this write goes no further (it was the only record waiting).
    shared.records.clear();
    shared.queuedBytes = 0;
    setErrorString(qt_error_string(shared.error));
    return -1;
}
