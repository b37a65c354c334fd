#pragma once

#include "exitstatus.h"
#include "firmwarefile.h"
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

// Station mode of zorbelflash: asks the ports in rounds and writes each unit as it
// appears, several at once. A round starts the moment a port appears or goes (the
// folders of the ports' devices are watched where the system tells of changes) and
// otherwise every roundMs, for units that come and go behind a port that stays. After its write a unit is waited
// for until it answers again (its restart) and its port is then held for it, open and
// locked, so that neither this station nor another one writes it again; WatchedPort
// says when a port is armed for the next unit. Runs until stop(); a write running then
// is interrupted.
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
        std::chrono::milliseconds rearmAfter{StationTimes::kRearmAfter};
        std::chrono::milliseconds restartWait{StationTimes::kRestartWait};
    };

    // source: the ports to watch, taken afresh every round. Nothing is asked before run().
    StationMode(PortScan::CandidateSource source, FirmwareFile firmware, Timing timing, QObject *parent = nullptr);
    ~StationMode() override;

    StationMode(const StationMode &) = delete;
    StationMode &operator=(const StationMode &) = delete;

    // A unit that answers this version (e.g. 124) is current: not written; a write
    // counts only when the unit comes back with it. Before run().
    void setExpectedVersion(int version) { m_expectedVersion = version; }
    // Where the adapters' stable names are looked up, to tell one unit from another.
    void setByIdFolder(const QString &folder) { m_byIdFolder = folder; }

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
    // The first write that failed decides; then one not confirmed (8); with nothing
    // written, a port that was refused (6); otherwise success.
    ExitStatus exitStatus() const;
    // "12 written, 1 incomplete (COM4)"
    QString summary() const;

signals:
    // A write has begun (the job is about to start; it lives until writeFinished).
    void writeStarted(FlashJob *job);
    // A write has ended; job->report() is complete. The job goes once control is back.
    void writeFinished(FlashJob *job);
    // A unit answered the expected version: not written. firmware: "1.24".
    void unitCurrent(const PortScan::PortResult &result, const QString &byId);
    // A port has come to a state that keeps it from being written (busy, permission
    // denied, another device). Said once, until its state changes.
    void portUnavailable(const PortScan::PortResult &result);
    // A unit answered the same version after its write as before it: the station cannot
    // tell a restart from a swap (once per run), or has stopped arming the port on
    // silence (stuck: after two such writes in a row).
    void portInDoubt(const QString &port, bool stuck);
    // Every port of a round has been asked and its answer taken.
    void roundFinished();

private:
    struct Watched
    {
        WatchedPort rule;
        std::unique_ptr<Modem> held; // open while the port holds its unit
        QString heldIdentity;        // who was behind the port when it was taken
        QString name;                // COM name, as last seen
    };

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
    Watched &watched(const QString &key);
    static QString identityOf(const QString &devicePath, const QHash<QString, QString> &adapterLinks);
    static QString keyOf(const PortScan::Candidate &candidate);

    PortScan::CandidateSource m_source;
    FirmwareFile m_firmware;
    Timing m_timing;
    int m_expectedVersion = -1;
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
    std::map<QString, Watched> m_ports;               // by device path
    QHash<QString, QString> m_identities;             // device path -> who is behind it this round
    QHash<QString, PortScan::PortState> m_noted;      // the condition last said, by device path
    QStringList m_refused;                            // ports found busy or refused, in the order seen
    std::vector<std::unique_ptr<FlashJob>> m_jobs;    // running, in the order they began
    QHash<FlashJob *, QString> m_jobPorts;            // job -> device path of its port
    QEventLoop *m_loop = nullptr;                     // while run() waits
    bool m_doubtSaid = false;
    int m_written = 0;
    int m_current = 0;
    QStringList m_incomplete;
    QList<ExitStatus> m_statuses; // of the writes, in the order they ended
};
