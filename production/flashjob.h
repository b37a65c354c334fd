#pragma once

#include "firmwarefile.h"
#include "instrumentreport.h"
#include "portscan.h"
#include "stationtimes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class FlashWriter;
class Modem;
class QTimer;

// One instrument's write: the flash writer on the port the scan found open, timed,
// and reported when it is over; when asked, the instrument is then waited for until it
// answers again after its restart. Several jobs run side by side on one event loop.
class FlashJob : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Ready,      // constructed, nothing sent
        Running,    // the writer is at work
        Confirming, // written; the instrument is asked until it answers after its restart
        Finishing,  // the writer is done; the last bytes are leaving the line
        Finished,   // finished() has been emitted; report() is complete
    };
    Q_ENUM(State)

    // After the end mark: ask the instrument again until it answers or restartWait ran
    // out. With expectedVersion (e.g. 124 for V1.24) the write counts as written only
    // when it answers that version.
    struct Confirmation
    {
        bool enabled = false;
        int expectedVersion = -1; // -1: any answer will do
        std::chrono::milliseconds restartWait{StationTimes::kRestartWait};
    };

    // port: COM name (or the device path it was named by); device: the device path;
    // modem: that port, open; firmwareBefore: "1.23" as the instrument answered.
    FlashJob(const QString &port, const QString &device, std::unique_ptr<Modem> modem,
             const QString &firmwareBefore,
             const FirmwareFile &firmware, int requestTimeoutMs, QObject *parent = nullptr);
    ~FlashJob() override;

    FlashJob(const FlashJob &) = delete;
    FlashJob &operator=(const FlashJob &) = delete;

    // The job for an instrument a scan found: its port (taken from the scan) and what
    // it answered; byIdFolder: where its adapter's stable name is looked up.
    static std::unique_ptr<FlashJob> forInstrument(const PortScan::PortResult &result, std::unique_ptr<Modem> modem,
                                                   const FirmwareFile &firmware, int requestTimeoutMs,
                                                   const QString &byIdFolder);

    // The adapter's stable name for the report (see StablePortName); before start().
    void setByIdLink(const QString &link) { m_report.byId = link; }
    // Before start().
    void setConfirmation(const Confirmation &confirmation) { m_confirmation = confirmation; }
    void start();
    // Stops a running write at once, without the end marker (outcome interrupted); a
    // confirmation going on ends there, unconfirmed (also interrupted).
    void interrupt();

    State state() const { return m_state; }
    QString port() const { return m_report.port; }
    QString device() const { return m_report.device; }
    // Blocks sent so far and the total.
    int blocksDone() const;
    int blockTotal() const;
    qint64 elapsedMs() const;
    // Complete once finished() has been emitted.
    const InstrumentReport &report() const { return m_report; }
    // What the instrument answered after its write; -1: nothing (or not asked).
    int versionAfter() const { return m_versionAfter; }
    // The version the write was to bring; -1: none expected.
    int expectedVersion() const { return m_confirmation.expectedVersion; }

signals:
    void progress();
    void finished();

private:
    void onWriterFinished();
    void askAgain();
    void endConfirmation();
    void release();

    std::unique_ptr<Modem> m_modem; // outlives the writer, which sends through it
    FirmwareFile m_firmware;
    std::unique_ptr<FlashWriter> m_writer;
    QElapsedTimer m_clock;
    qint64 m_endMs = -1;
    State m_state = State::Ready;
    InstrumentReport m_report;
    Confirmation m_confirmation;
    bool m_interrupted = false; // interrupt() came while confirming
    QTimer *m_askTimer = nullptr;   // while confirming
    QElapsedTimer m_sinceWritten;   // while confirming
    QElapsedTimer m_sinceQuery;     // the query waiting for its answer
    int m_versionAfter = -1;
};
