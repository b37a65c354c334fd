#pragma once

#include "firmwarefile.h"
#include "instrumentreport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

class FlashWriter;
class Modem;

// One instrument's write: the flash writer on the port the scan found open, timed,
// and reported when it is over. Several jobs run side by side on one event loop.
class FlashJob : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Ready,     // constructed, nothing sent
        Running,   // the writer is at work
        Finishing, // the writer is done; the last bytes are leaving the line
        Finished,  // finished() has been emitted; report() is complete
    };
    Q_ENUM(State)

    // port: COM name (or the device path it was named by); device: the device path;
    // modem: that port, open; firmwareBefore: "1.23" as the instrument answered.
    FlashJob(const QString &port, const QString &device, std::unique_ptr<Modem> modem,
             const QString &firmwareBefore,
             const FirmwareFile &firmware, int requestTimeoutMs, QObject *parent = nullptr);
    ~FlashJob() override;

    FlashJob(const FlashJob &) = delete;
    FlashJob &operator=(const FlashJob &) = delete;

    // The adapter's stable name for the report (see StablePortName); before start().
    void setByIdLink(const QString &link) { m_report.byId = link; }
    void start();
    // Stops a running write at once, without the end marker (outcome interrupted).
    void interrupt();

    State state() const { return m_state; }
    QString port() const { return m_report.port; }
    QString device() const { return m_report.device; }
    // Blocks asked for so far (capped at the total) and the total.
    int blocksDone() const;
    int blockTotal() const;
    qint64 elapsedMs() const;
    // Complete once finished() has been emitted.
    const InstrumentReport &report() const { return m_report; }
    // The write ended before its command went out: the instrument's firmware is untouched.
    bool commandNotSent() const;

signals:
    void progress();
    void finished();

private:
    void onWriterFinished();
    void release();

    std::unique_ptr<Modem> m_modem; // outlives the writer, which sends through it
    FirmwareFile m_firmware;
    std::unique_ptr<FlashWriter> m_writer;
    QElapsedTimer m_clock;
    qint64 m_endMs = -1;
    State m_state = State::Ready;
    InstrumentReport m_report;
};
