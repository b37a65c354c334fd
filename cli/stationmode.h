#pragma once

#include "exitstatus.h"
#include "firmwarefile.h"
#include "instrumentprotocol.h"
#include "portscan.h"
#include "watchedport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class FlashJob;
class Modem;
class QEventLoop;
class QTimer;

// Station mode of zorbelflash: asks every port without an instrument in rounds, one
// round every roundMs, and writes each instrument as it appears, several at once. An
// instrument that stays connected is written once (WatchedPort says when its port is
// armed again). Runs until stop(); a write running then is interrupted.
class StationMode : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Ready,    // constructed, nothing asked
        Watching, // rounds and writes going on
        Stopping, // stop() came: the writes still running are ending
        Finished, // run() has returned or is about to
    };
    Q_ENUM(State)

    // A round starts this long after the previous one started (a round itself takes
    // the reply wait of the version query).
    static constexpr int kRoundMs = 500;

    struct Timing
    {
        int requestTimeoutMs = InstrumentProtocol::kRequestTimeoutMs; // as for a write
        int roundMs = kRoundMs;
    };

    // source: the ports to watch, taken afresh every round. Nothing is asked before run().
    StationMode(PortScan::CandidateSource source, FirmwareFile firmware, Timing timing, QObject *parent = nullptr);
    ~StationMode() override;

    StationMode(const StationMode &) = delete;
    StationMode &operator=(const StationMode &) = delete;

    // Watches and writes on the calling thread's event loop until stop() and the end of
    // every write; returns exitStatus(). Returns at once when stop() came first.
    ExitStatus run();
    // Ends the watch: the round stops, every running write stops at once without its end
    // marker (outcome interrupted). Safe at any moment, also before or after run().
    void stop();

    State state() const { return m_state; }
    int rounds() const { return m_rounds; }
    int runningWrites() const { return static_cast<int>(m_jobs.size()); }
    int writtenCount() const { return m_written; }
    // The ports of the writes that were not written, in the order they ended.
    QStringList incompletePorts() const { return m_incomplete; }
    // Success when every write made was written (or none was made), otherwise the
    // status of the first that was not.
    ExitStatus exitStatus() const { return m_status; }
    // "12 written, 1 incomplete (COM4)"
    QString summary() const;

signals:
    // A write has begun (the job is about to start; it lives until writeFinished).
    void writeStarted(FlashJob *job);
    // A write has ended; job->report() is complete. The job goes once control is back.
    void writeFinished(FlashJob *job);
    // A port has come to a state that keeps it from being written (busy, permission
    // denied, another device). Said once, until its state changes.
    void portUnavailable(const PortScan::PortResult &result);
    // Every port of a round has been asked and its answer taken.
    void roundFinished();

private:
    QList<PortScan::Candidate> portsToAsk();
    void beginRound();
    void onRoundFinished();
    void startWrite(const PortScan::PortResult &result, std::unique_ptr<Modem> modem);
    void onWriteFinished(FlashJob *job);
    void noteCondition(const QString &key, const PortScan::PortResult &result);
    void finishIfDone();
    static QString keyOf(const PortScan::Candidate &candidate);

    PortScan::CandidateSource m_source;
    FirmwareFile m_firmware;
    Timing m_timing;
    State m_state = State::Ready;
    QTimer *m_roundTimer;
    QElapsedTimer m_roundClock;
    PortScan *m_scan = nullptr; // the round going on
    int m_rounds = 0;
    QHash<QString, WatchedPort> m_ports;           // by device path
    QHash<QString, PortScan::PortState> m_noted;   // the condition last said, by device path
    QList<FlashJob *> m_jobs;                      // running, in the order they began
    QHash<FlashJob *, QString> m_jobPorts;         // job -> device path of its port
    QEventLoop *m_loop = nullptr;                  // while run() waits
    int m_written = 0;
    QStringList m_incomplete;
    ExitStatus m_status = ExitStatus::Success;
};
