#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QSerialPort;
class PortMap;
class DeviceLock;
class LowLatencyMode;

// The loader's one serial port. Opens a device with a fixed line format, moves raw
// bytes in and out and closes the port again. Reads never wait. A COM name (COM1..COM50)
// is looked up in the PortMap the caller gives it: which device a name stands for is
// the map's business, taken afresh by whoever owns it.
class Modem : public QObject
{
    Q_OBJECT

public:
    Modem();
    ~Modem() override;

    Modem(const Modem &) = delete;
    Modem &operator=(const Modem &) = delete;

    // What the port holds of received bytes nobody has read yet. Every exchange of the
    // protocol is a few bytes; what a device that keeps talking sends beyond this stays
    // in the driver (which drops it when full), not in memory. Reads and the dropping
    // between exchanges make room again.
    static constexpr qint64 kReadBufferBytes = 4096;

    // What an open found.
    enum class OpenResult {
        Opened,           // open and fully configured
        NoDevice,         // no device behind the COM name, or the device is missing
        PermissionDenied, // the user may not open the device
        Busy,             // another program (or Modem) holds the device
        PathTooLong,      // the path is too long for the serial library's lock file name
        Failed            // any other failure, of the open or of the line set-up
    };

    // The words for what an open found, in one place for the log and the front ends
    // that speak English: "no such device", "busy (held by another program)", ...
    // detail: the system's own text, for a refusal it explains.
    static QString reason(OpenResult result, const QString &detail = QString());

    // Stores 9600, 19200, 57600 or 115200; any other value is ignored.
    void setBaudRate(int rate);
    // The map openTty and openPort look COM names up in; the caller owns it, keeps it
    // alive while this Modem may open, and refreshes it. Without one, no COM name opens.
    void setPortMap(const PortMap *map) { m_portMap = map; }
    // Opens and configures the device behind a COM name; true when fully configured.
    bool openTty(const QString &portName);
    // openTty, telling why a port could not be opened.
    OpenResult openPort(const QString &portName);
    // The same for a device given by its path (e.g. /dev/ttyUSB0), past the COM name map;
    // portName, when given, names it in the log.
    OpenResult openDevice(const QString &devicePath, const QString &portName = QString());
    // Closes the port if open; emits "?" and returns true every time.
    bool closeTty();
    // Copies at most maxBytes already-received bytes into buffer; never waits. 0 when none or on error.
    int readTty(char *buffer, int maxBytes);
    // Writes the bytes of a zero-terminated text (without the terminator).
    bool writeTty(const char *text);
    // Writes the low 8 bits of value.
    bool writeTtyByte(int value);

    // Hands bytes to the driver without waiting: what the driver takes now goes out at
    // once, the rest stays queued and follows as the line allows (outputDrained() tells
    // when all of it has been taken). False when the port is not usable.
    bool queueTty(const char *data, int count);
    // Bytes handed to queueTty that the driver has not taken yet.
    qint64 pendingOutput() const;
    // Drops every queued byte the driver has not taken yet, so that nothing of it
    // trickles out later.
    void discardOutput();

    // While on, whatever arrives is read and dropped as it comes, counted in the trace
    // log only, and dataArrived() is not emitted: for a port kept open between
    // exchanges, whose input nobody reads, so that it cannot pile up. Turning it on
    // drops what is waiting now. Every open starts with it off.
    void setInputDropped(bool dropped);
    // Bytes read and dropped since the dropping was last turned on.
    qint64 droppedInput() const { return m_droppedBytes; }
    // True once the open port reported an error or went away (unplugged, hung up).
    bool portFailed() const;
    // True while a device is open, configured and has not failed.
    bool isOpen() const;
    // Bytes received and not read yet; never waits.
    qint64 availableInput() const;

signals:
    void setTtyText(QString text);
    // New bytes from the device are waiting to be read (readTty).
    void dataArrived();
    // Everything queued with queueTty has been taken by the driver.
    void outputDrained();
    // The open port failed or went away (unplugged, hung up); portFailed() is true.
    void portLost();

private:
    enum class State {
        Closed, // no device open
        Open,   // device open and configured
        Held    // device open, configuration incomplete (openTty returned false)
    };

    OpenResult openPath(const QString &portName, const QString &devicePath);
    bool configure(const QString &portName, const QString &devicePath);
    bool usable();
    bool handOver(const char *data, qint64 count);
    bool writeBytes(const char *data, qint64 count);
    void pollDriver();
    void pushQueuedOutput();
    void onBytesWritten();
    void onReadyRead();
    void dropInput();
    void onPortError(int error);
    void releaseFailedPort(quint64 generation);
    void releaseDevice();
    OpenResult failOpen(OpenResult result);
    // Writes an open outcome when it differs from the last one for that device
    // (nothing for a COM name without a device); the same outcome goes to the trace.
    void logOpen(const QString &portName, const QString &devicePath, const QString &outcome);

    std::unique_ptr<QSerialPort> m_port;
    // After m_port: released first, while the port is still open.
    std::unique_ptr<LowLatencyMode> m_lowLatency;
    const PortMap *m_portMap = nullptr; // the caller's
    std::unique_ptr<DeviceLock> m_lock;
    QString m_devicePath; // of the last open, for the debug output
    State m_state = State::Closed;
    int m_baudRate;
    bool m_failed = false;
    bool m_inputDropped = false;
    qint64 m_droppedBytes = 0;      // since the dropping was turned on
    QElapsedTimer m_dropLogClock;   // since the count was last written to the trace
    quint64 m_openGeneration = 0;
    QStringList m_openNotes;                // details of the open under way, for its log line
    QHash<QString, QString> m_loggedOpens; // device path -> outcome last written
};
