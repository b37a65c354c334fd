#pragma once

#include "modem.h"
#include "versionreply.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

class PortMap;
class QTimer;

// Looks for the instrument on many ports at once: in each round every candidate port is
// opened and sent the version query in the same moment, and each reply is taken as soon
// as it is whole; a port that has not answered is given up after the reply wait
// (kSlowReplyWaitMs unless set). Rounds repeat until an instrument has answered (or as
// many as the caller wants), so the instrument is found as soon as it answers whichever
// port it is on. Driven by the ports' events and a timer; nothing here blocks.
class PortScan : public QObject
{
    Q_OBJECT

public:
    struct Candidate
    {
        QString name;       // "COM3", or the device path when the port was named by it
        QString devicePath; // empty when the name has no device
    };

    // What the scan made of a port, as far as it got. Why an open failed is in the
    // result's `open`.
    enum class PortState {
        NotProbed,        // not tried yet
        NoSuchDevice,     // nothing behind the name or path
        Busy,             // held by another program
        PermissionDenied, // may not be opened (on Linux: not in the dialout group?)
        OpenFailed,       // opened, but could not be set up or written to
        NoAnswer,         // opened and asked, fewer than two bytes came back
        OtherReply,       // two bytes came back that are not the instrument's
        Found,            // the instrument answered; its port stays open
    };
    Q_ENUM(PortState)

    enum class State {
        Ready,    // constructed, nothing opened
        Running,  // rounds going on
        Finished, // finished() has been emitted
    };
    Q_ENUM(State)

    struct PortResult
    {
        Candidate candidate;
        PortState state = PortState::NotProbed;
        // What the port's last open found, its words Modem::reason(open): Failed also
        // for a port that opened but did not take the query (OpenFailed). Not asked
        // yet (NotProbed): NoDevice.
        Modem::OpenResult open = Modem::OpenResult::NoDevice;
        VersionReply reply; // the last complete reply (OtherReply, Found)
    };

    // Gives the ports to ask; called at the start of every round, so that a device
    // plugged in meanwhile is asked too.
    using CandidateSource = std::function<QList<Candidate>()>;

    // The serial ports present, as COM1, COM2, ... through the same COM name map as
    // the window's scan (ZORBEL_PORTS, or the devices present), each with its device.
    static QList<Candidate> presentPorts();
    // One port, named by a COM name (through that map) or by its device path.
    static Candidate portNamed(const QString &nameOrPath);
    // Several ports so named, the map taken once (a station's ports, every round).
    static QList<Candidate> portsNamed(const QStringList &namesOrPaths);

    explicit PortScan(CandidateSource source, QObject *parent = nullptr);
    ~PortScan() override;

    PortScan(const PortScan &) = delete;
    PortScan &operator=(const PortScan &) = delete;

    // Runs rounds until `wanted` instruments have answered (each on its own port; ports
    // that answered are not asked again), every port has an answer no further round can
    // change (permission denied), or waitMs have passed since the start (0: one round).
    // Returns at once; finished() tells when it is over.
    void start(int waitMs, int wanted = 1);
    // Ends the scan at once; the ports being asked are closed. finished() follows
    // before this returns.
    void stop();
    // How long a round waits for the replies (kSlowReplyWaitMs unless set); a round
    // ends sooner once every port asked has answered. Before start().
    void setReplyWaitMs(int waitMs) { m_replyWaitMs = waitMs; }
    // The scan ends the moment `wanted` instruments have answered, without waiting for
    // the other ports of the round (which are closed). Before start().
    void setEndWhenWanted(bool end) { m_endWhenWanted = end; }

    State state() const { return m_state; }
    int rounds() const { return m_rounds; }
    // One entry per port of the last round, in the order the source gave them.
    const QList<PortResult> &results() const { return m_results; }
    // Hands over the open port of a Found result (once; null afterwards).
    std::unique_ptr<Modem> takePort(int index);

signals:
    // A port answered as the instrument (results().at(index) tells which).
    void instrumentFound(int index);
    void finished();

private:
    static Candidate candidateIn(const PortMap &map, const QString &nameOrPath);
    void beginRound();
    void takeCandidates();
    void askPort(PortResult &result);
    void judgeReply(int index);
    int foundCount() const;
    bool wantedKnown() const;
    void onTimer();
    void onInput();
    bool everyPortSettled() const;
    Modem &modemFor(const QString &name);
    void closePort(const QString &name);
    void finish();

    CandidateSource m_source;
    QTimer *m_timer;
    QElapsedTimer m_clock;
    int m_waitMs = 0;
    int m_wanted = 1;
    int m_rounds = 0;
    bool m_repliesDue = false;
    int m_replyWaitMs;
    bool m_endWhenWanted = false;
    QSet<int> m_awaiting; // ports asked in this round whose reply has not been judged
    State m_state = State::Ready;
    QList<PortResult> m_results;
    std::map<QString, std::unique_ptr<Modem>> m_modems; // by candidate name, reused across rounds
};
