#pragma once

#include "firmwarefile.h"
#include "instrumentreport.h"
#include "instrumentprotocol.h"
#include "portscan.h"
#include "stationtimes.h"
#include "watchedport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <vector>
#include <memory>

class FlashJob;
class Modem;
class QEventLoop;
class QFileSystemWatcher;
class QTimer;

// Station mode of zorbelflash: asks the ports in rounds and writes every unit that does
// not answer the expected version, several at once. A round starts the moment a port
// appears or goes (the folders of the ports' devices are watched where the system tells
// of changes) and otherwise every roundMs, for units that come and go behind a port
// that stays. After its write a unit is waited for until it answers again (its
// restart); the write counts when it answers the expected version. WatchedPort decides
// per port; the lock a write holds on its port keeps another station off the unit.
// Runs until stop(); a write running then is interrupted.
class StationMode : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Ready,    // constructed, nothing asked
        Watching, // rounds and writes going on
        Draining, // finishWrites() came: no new unit is taken, the running writes end on their own
        Stopping, // stop() came: the writes still running are ending
        Finished, // run() has returned or is about to
    };
    Q_ENUM(State)

    // Without a change of the ports, a round starts this long after the previous one
    // started: a unit plugged into an adapter that stays is written within this time.
    static constexpr int kRoundMs = 2000;
    // A round waits this long for the replies of ports that have not answered: a slow
    // instrument answers within about a second. A round whose ports have all answered
    // ends sooner, and a unit that answered is taken at once.
    static constexpr int kReplyWaitMs = InstrumentProtocol::kSlowReplyWaitMs;

    struct Timing
    {
        int requestTimeoutMs = InstrumentProtocol::kRequestTimeoutMs; // as for a write
        int roundMs = kRoundMs;
        int replyWaitMs = kReplyWaitMs;
        std::chrono::milliseconds restartWait{StationTimes::kRestartWait};
    };

    // source: the ports to watch, taken afresh every round; expectedVersion: the version
    // the firmware brings (e.g. 124 for V1.24): a unit that answers it is done, any other
    // is written. Nothing is asked before run().
    StationMode(PortScan::CandidateSource source, FirmwareFile firmware, int expectedVersion, Timing timing,
                QObject *parent = nullptr);
    ~StationMode() override;

    StationMode(const StationMode &) = delete;
    StationMode &operator=(const StationMode &) = delete;

    // Where the adapters' stable names are looked up for the records.
    void setByIdFolder(const QString &folder) { m_byIdFolder = folder; }

    // Watches and writes on the calling thread's event loop until stop() and the end of
    // every write. Returns at once when stop() came first.
    void run();
    // Ends the watch gently: the round stops and no new unit is taken; every running
    // write ends on its own, its restart wait included (each bounded by its own times),
    // then run() returns. Safe at any moment.
    void finishWrites();
    // Ends the watch now: the round stops, every running write stops at once without its
    // end marker, a restart wait without its answer (outcome interrupted). Safe at any
    // moment, also before or after run() and after finishWrites().
    void stop();

    State state() const { return m_state; }
    int rounds() const { return m_rounds; }
    int runningWrites() const { return static_cast<int>(m_jobs.size()); }
    int writtenCount() const { return m_written; }
    // Units named current.
    int currentCount() const { return m_current; }
    // The outcomes of the writes, in the order they ended.
    QList<InstrumentReport::Outcome> outcomes() const { return m_outcomes; }
    // The ports of the writes that were not written, in the order they ended.
    QStringList incompletePorts() const { return m_incomplete; }
    // The ports busy or refused at their last look, in the order first seen so.
    QStringList refusedPorts() const { return m_refused; }

signals:
    // A write has begun (the job is about to start; it lives until writeFinished).
    void writeStarted(FlashJob *job);
    // A write has ended; job->report() is complete. The job goes once control is back.
    void writeFinished(FlashJob *job);
    // A unit answered the expected version: not written. Once per appearance.
    void unitCurrent(const PortScan::PortResult &result, const QString &byId);
    // A port has come to a state that keeps it from being written (busy, permission
    // denied, another device). Said once, until its state changes.
    void portUnavailable(const PortScan::PortResult &result);
    // A port said unavailable answers otherwise now (a unit, silence).
    void portAvailable(const PortScan::PortResult &result);
    // A port that held a unit was seen empty (no device, no answer, another device):
    // the unit has been taken out. Once per appearance.
    void portEmptied(const PortScan::Candidate &candidate);
    // The port was written WatchedPort::kWritesWithoutV times in a row and its unit
    // still answers another version: not written again until the port was empty or
    // answered the expected version. Once per appearance.
    void portNeedsCheck(const PortScan::PortResult &result);
    // Every port of a round has been asked and its answer taken.
    void roundFinished();

private:
    QList<PortScan::Candidate> portsToAsk();
    void beginRound();
    void roundSoon();
    void watchFolders(const QList<PortScan::Candidate> &candidates);
    void onRoundFinished();
    void takeResult(PortScan &scan, int index);
    void startWrite(const PortScan::PortResult &result, std::unique_ptr<Modem> modem);
    void onWriteFinished(FlashJob *job);
    void noteCondition(const QString &key, const PortScan::PortResult &result);
    void finishIfDone();
    WatchedPort &watched(const QString &key);
    static QString keyOf(const PortScan::Candidate &candidate);

    PortScan::CandidateSource m_source;
    FirmwareFile m_firmware;
    Timing m_timing;
    int m_expectedVersion;
    QString m_byIdFolder;
    State m_state = State::Ready;
    QTimer *m_roundTimer;
    QFileSystemWatcher *m_watcher;     // the folders of the ports' devices
    bool m_roundAgain = false;         // a change came during the round going on
    bool m_watching = false;           // the system tells of changes of the ports' folders
    bool m_listStale = true;           // the ports are to be listed afresh
    QList<PortScan::Candidate> m_present; // the ports as last listed
    QSet<int> m_taken;                 // results of the round going on already taken
    QElapsedTimer m_roundClock;
    PortScan *m_scan = nullptr; // the round going on
    int m_rounds = 0;
    std::map<QString, WatchedPort> m_ports;           // by device path
    QHash<QString, PortScan::PortState> m_noted;      // the condition last said, by device path
    QStringList m_refused;                            // ports refused at their last look, in the order seen
    std::vector<std::unique_ptr<FlashJob>> m_jobs;    // running, in the order they began
    QHash<FlashJob *, QString> m_jobPorts;            // job -> device path of its port
    QEventLoop *m_loop = nullptr;                     // while run() waits
    int m_written = 0;
    int m_current = 0;
    QStringList m_incomplete;
    QList<InstrumentReport::Outcome> m_outcomes; // of the writes, in the order they ended
};
