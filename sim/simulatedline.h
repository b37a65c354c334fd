#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The pseudo-terminal line a simulated instrument sits on.
//
// The object opens a pseudo-terminal pair (raw mode); the loader opens the slave side,
// whose path devicePath() gives, and the instrument is on the master side. Once
// started, a thread of the line's own takes what the loader writes and hands it to the
// instrument (Peer); what the instrument sends goes out through send(). Paced at a baud
// rate, the line carries one byte per byte time (10 bits) in both directions, on its
// own clock.
//
// A hung-up line is gone for good: the device path no longer exists, and the
// pseudo-terminal's number stays taken while the object lives, so that no other line
// appears under it. The receive side can be stopped (nothing the loader writes gets
// through) and let go again; a link to the device can be taken away and is made again
// once the instrument's restart is over.
//
// Every function may be called from any thread, except those marked as the line's
// thread's own (called from the Peer hooks).
class SimulatedLine
{
public:
    // What the line's thread asks of the instrument at its end. The hooks are called
    // on that thread only, with no lock of the line held.
    struct Peer
    {
        // True when the instrument would send whenever the line has room.
        std::function<bool()> wantsToSend;
        // The line has room for what the instrument wants to send.
        std::function<void()> readyToSend;
        // Bytes from the loader have come in; they are handed over next.
        std::function<void()> arriving;
        // Bytes from the loader, in order: all that came in at once on an unpaced line,
        // one at a time on its clock on a paced one.
        std::function<void(const QByteArray &)> received;
        // True while the instrument restarts: a link taken away stays away.
        std::function<bool()> restarting;
        // The line has just been hung up.
        std::function<void()> hungUp;
    };

    // Line settings the loader applied to the slave side. A Linux pseudo-terminal
    // always reports 8 data bits without parity, whatever was asked for.
    struct Settings
    {
        int baudRate = 0;
        int dataBits = 0;
        bool parity = false;
        int stopBits = 0;
        bool hardwareFlowControl = false;
        bool softwareFlowControl = false;
    };

    explicit SimulatedLine(Peer peer);
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine &) = delete;
    SimulatedLine &operator=(const SimulatedLine &) = delete;

    // False when the pseudo-terminal could not be set up; errorString() says why.
    // Such a line is hung up from the start.
    bool isValid() const;
    QString errorString() const;
    // The slave device to open, e.g. "/dev/pts/3".
    QString devicePath() const;

    // Starts the line's thread (once; not on a line that is not valid).
    void start();

    // Line pacing in bit/s; 0 means unpaced. Applies from the next byte.
    void setBaudRate(int bitsPerSecond);
    bool isPaced() const;

    // The line's thread's own: sends bytes to the loader on the line's clock, waiting
    // for room; false when the line is hung up or is to stop meanwhile.
    bool send(const QByteArray &bytes);
    // The line's thread's own: writes what of the bytes the line takes now, without
    // waiting or pacing; returns how many that was.
    qint64 offer(const QByteArray &bytes);
    // The line's thread's own: waits msecs; false when the line is to stop or hang up
    // meanwhile.
    bool pause(int msecs);
    // The line's thread's own: removes the link (when there is one) and makes it again,
    // to the device, as relinkAs (or under its own name when that is empty) once the
    // instrument no longer restarts.
    void dropLink(const QString &link, const QString &relinkAs);
    // The line's thread's own: hangs the line up now.
    void close();

    // Sends bytes to the loader at once, unpaced. False when the line is hung up or
    // the bytes could not all be written.
    bool sendRaw(const QByteArray &bytes);
    // The line settings on the device now (read from the pseudo-terminal).
    Settings settings() const;
    // Bytes sent towards the loader that no reader has taken from the device yet.
    int pendingAtDevice() const;
    // Stops taking bytes from the line: the loader's port cannot hand over anything.
    void stopReceiving();
    // Lets bytes from the loader through again.
    void resumeReceiving();

    // Hangs the line up now (as an unplugged cable would); returns when done. Not to
    // be called on the line's thread.
    void hangUp();

private:
    using Clock = std::chrono::steady_clock;

    bool open();
    void release();
    void wake();
    void run();
    void restoreLinkWhenDue();
    bool writeMaster(const char *data, int count);
    bool pauseUs(long long micros);
    bool pauseUntil(Clock::time_point due);
    long long byteTimeUs() const;

    const Peer m_peer;

    mutable std::mutex m_mutex; // guards the flags and the pacing
    std::condition_variable m_changed;
    mutable std::mutex m_lineMutex; // guards the descriptors against closing while in use
    std::thread m_thread;
    bool m_stop = false;
    bool m_hangUpRequested = false;
    bool m_closed = false;
    int m_baudRate = 0;

    int m_masterFd = -1;
    int m_slaveFd = -1; // kept open so the line stays up while the loader's port is closed
    int m_hungUpSlaveFd = -1; // after the hang-up, until the object goes (see release)
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    QString m_devicePath;
    QString m_errorString;
    QString m_linkToRestore; // made again once the restart is over; the line's thread only
};
