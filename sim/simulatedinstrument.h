#pragma once

#include "simulatedline.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// A stand-in for the instrument on a pseudo-terminal.
//
// The object opens a pseudo-terminal pair (raw mode, a SimulatedLine) and, on the
// line's thread, plays the instrument's side of the two exchanges on the master side;
// the loader opens the slave side, whose path devicePath() gives (put
// portMapEntry("COMn") into ZORBEL_PORTS to reach it as COMn).
//
//  - "@v;" is answered with up to three bytes: Config::letter, Config::version,
//    Config::extraByte (Config::replyLength of them; 0 means silence).
//  - "@w#####;" starts a transfer: the flash is erased to 0xFF, 'k' is sent, then
//    for each block two address bytes (low byte first) and 64 data bytes are read
//    into the flash and the next 'k' is sent; the address pair FF FF ends the
//    transfer (and the flash is dumped to Config::dumpPath if one is set).
//  - Bytes outside a transfer that do not form one of the two commands are recorded
//    and otherwise ignored.
//
// A babbling instrument (Config::babble) keeps sending a status text after its first
// version reply, whenever no transfer runs, as fast as the line takes it (or paced).
//
// Faults (Config): a stray byte before a chosen 'k'; no more requests after N blocks
// (stall); the receive side stopped after N blocks; line noise after the command; the
// line hung up after N blocks; the line paced at a baud rate; a delay per block for
// writing the flash. hangUp() hangs the line up at once. A hung-up
// instrument is gone for good: its device path no longer exists, and no other
// instrument appears under it while this object lives.
//
// Every accessor is thread-safe. The configuration may be changed at any time; a
// change applies from the next byte the instrument handles.
class SimulatedInstrument
{
    using Clock = std::chrono::steady_clock;

public:
    static constexpr int kFlashSize = 65536;
    static constexpr int kBlockSize = 64;
    static constexpr char kRequestByte = 'k';
    static constexpr unsigned char kEndByte = 0xFF;
    static constexpr const char *kVersionQuery = "@v;";
    static constexpr const char *kWriteCommand = "@w#####;";
    static constexpr int kMaxReplyLength = 3;

    struct Config
    {
        // Reply to "@v;": the first replyLength (0..3) of letter, version, extraByte.
        char letter = 'Z';
        quint8 version = 123;
        quint8 extraByte = '\r';
        int replyLength = 2;

        // Stray byte sent just before the strayBeforeRequest-th 'k' of a transfer
        // (1 = before the first); strayByte < 0 means none.
        int strayByte = -1;
        int strayBeforeRequest = 1;

        // After this many blocks of a transfer: no further 'k' (stall), or the line
        // is hung up. Negative means never.
        int stallAfterBlocks = -1;
        int hangUpAfterBlocks = -1;

        // After this many blocks of a transfer the instrument stops taking bytes from
        // the line (its receive side is suspended: nothing the loader writes gets
        // through), yet still asks for the next block. Negative means never;
        // resumeReceiving() lets the bytes through again.
        int receiveStopAfterBlocks = -1;

        // Bytes of line noise (a fixed pseudo-random sequence) sent right after the
        // write command, before the first request.
        int noiseBytes = 0;

        // Line pacing in bit/s (10 bits a byte, both directions); 0 means unpaced.
        int baudRate = 0;
        // Time the instrument takes to write a block to its flash before it asks
        // for the next one.
        int flashWriteDelayMs = 0;

        // After the first version reply, keeps sending a status text while no
        // transfer runs (a chatty firmware, a babbling line).
        bool babble = false;

        // The version reply follows the query after this long (a slow instrument).
        int replyDelayMs = 0;
        // After a transfer has ended the instrument restarts: it is deaf for restartMs;
        // with restartLink set (a link to devicePath()), that link is also gone for that
        // time and made again afterwards, as a USB device drops off the bus and comes
        // back under the same name. From then on it answers versionAfterWrite (its new
        // firmware) when that is not negative.
        int restartMs = 0;
        QString restartLink;
        int versionAfterWrite = -1;
        // With restartLink: the link made after the restart, when not restartLink itself
        // (a USB device that comes back under another number).
        QString relinkAs;

        // False: no unit behind the line (an adapter that stays plugged in with its
        // socket empty): nothing sent to it is heard or answered.
        bool plugged = true;

        // File the flash (65536 bytes) is written to at the end of each transfer;
        // empty means none.
        QString dumpPath;
    };

    enum class State {
        Idle,         // waiting for a command
        AwaitAddress, // 'k' sent, waiting for the two address bytes
        AwaitData,    // address received, waiting for the 64 data bytes
        Stalled,      // stopped asking for blocks (fault); waits for a command again
        HungUp        // the line is closed; nothing more happens
    };

    // Line settings the loader applied to the slave side. A Linux pseudo-terminal
    // always reports 8 data bits without parity, whatever was asked for.
    using LineSettings = SimulatedLine::Settings;

    SimulatedInstrument();
    explicit SimulatedInstrument(const Config &config);
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument &) = delete;
    SimulatedInstrument &operator=(const SimulatedInstrument &) = delete;

    // False when the pseudo-terminal could not be set up; errorString() says why.
    bool isValid() const;
    QString errorString() const;

    // The slave device to open, e.g. "/dev/pts/3".
    QString devicePath() const;
    // "COMn=<devicePath>", for ZORBEL_PORTS.
    QString portMapEntry(const QString &comName) const;

    Config config() const;
    void setConfig(const Config &config);
    // Another unit behind the same line, as on a bench adapter that stays plugged in
    // while units are swapped in its socket: the exchange going on is dropped (a
    // transfer stays unfinished, a restart is over) and config applies from now on.
    void swapUnit(const Config &config);

    State state() const;
    // Every byte received from the loader since construction or clearReceived(), in order.
    QByteArray receivedBytes() const;
    void clearReceived();
    // Number of "@v;" queries seen.
    int versionQueries() const;
    // Transfers started ("@w#####;") and ended (FF FF received).
    int transfersStarted() const;
    int transfersEnded() const;
    // True when the last transfer started has ended with FF FF.
    bool endReceived() const;
    // Block addresses of the current (or last) transfer, in the order received.
    QList<quint16> blockAddresses() const;
    // Number of 'k' requests sent in the current (or last) transfer.
    int requestsSent() const;
    // The flash, 65536 bytes; 0xFF where the current (or last) transfer wrote nothing.
    QByteArray flash() const;
    // The line settings on the device now (read from the pseudo-terminal).
    LineSettings lineSettings() const;

    // Bytes of status text a babbling instrument has sent so far.
    qint64 babbledBytes() const;
    // Bytes sent towards the loader that no reader has taken from the device yet.
    int pendingAtDevice() const;
    // Sends bytes to the loader at once, unpaced and outside the protocol. False
    // when the line is hung up or the bytes could not all be written.
    bool sendRaw(const QByteArray &bytes);

    // Stops taking bytes from the line now, as receiveStopAfterBlocks does during a
    // transfer: the loader's port cannot hand over anything it writes.
    void stopReceiving();
    // Lets bytes from the loader through again after a receive stop.
    void resumeReceiving();
    // For each block of the current (or last) transfer: microseconds from the moment
    // its request was on the line to the moment the first byte of the answer arrived.
    QList<qint64> turnaroundsUs() const;

    // Hangs the line up now (as an unplugged cable would); returns when done.
    // Not to be called from the event handler.
    void hangUp();
    bool isHungUp() const;

    // Wait until the condition holds or msecs pass; true when it holds. They wait in
    // short slices and let the calling thread's Qt events run in between, so the
    // loader may run in the same thread's event loop.
    bool waitForTransferEnd(int msecs);
    bool waitForVersionQueries(int count, int msecs);
    bool waitForPendingAtDevice(int count, int msecs);
    bool waitForState(State state, int msecs);

    // Called on the instrument's thread with a one-line description of each event
    // (query answered, transfer started, block, end, faults). Set before the exchange.
    void setEventHandler(std::function<void(const QString &)> handler);

private:
    // What the instrument does in answer to a byte, carried out on its thread after
    // the byte has been taken in (so that no lock is held while it waits or writes).
    struct Action
    {
        enum class Kind { Send, Delay, HangUp, Dump, Event, StopReceiving, Restart };
        enum class Marker { None, Request, VersionReply };
        Kind kind = Kind::Send;
        QByteArray bytes;
        int delayMs = 0;
        Marker marker = Marker::None;
        QString text;
    };

    SimulatedLine::Peer lineEnd();
    void receive(const QByteArray &bytes);
    void answerArriving();
    void takeIn(const QByteArray &bytes, QList<Action> &actions);
    void handleByte(unsigned char byte, QList<Action> &actions);
    void handleCommandByte(unsigned char byte, QList<Action> &actions);
    void continueTransfer(QList<Action> &actions);
    void perform(const QList<Action> &actions);
    bool babbling() const;
    void babble();
    bool restarting() const;
    void lineHungUp();
    bool waitUntil(const std::function<bool()> &condition, int msecs);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;

    Config m_config;
    State m_state = State::Idle;
    QByteArray m_command;
    QByteArray m_received;
    QByteArray m_flash;
    QList<quint16> m_blockAddresses;
    quint16 m_blockAddress = 0;
    int m_blockFill = 0;
    int m_addressFill = 0;
    unsigned char m_addressLow = 0;
    int m_blocks = 0;
    int m_requestsQueued = 0;
    int m_requests = 0;
    int m_versionQueries = 0;
    int m_transfersStarted = 0;
    int m_transfersEnded = 0;
    bool m_endReceived = false;
    QList<qint64> m_turnaroundsUs;
    Clock::time_point m_requestSentAt;
    bool m_answerDue = false; // a request is on the line and no byte has come back yet
    quint32 m_noiseState = 0;
    qint64 m_babbled = 0;
    Clock::time_point m_deafUntil{};   // a restart going on: commands are not heard
    qsizetype m_babblePos = 0; // next character of the status text; the line's thread only
    std::function<void(const QString &)> m_eventHandler;
    // Last: made after the state above, and gone (its thread stopped) before it.
    SimulatedLine m_line;
};
