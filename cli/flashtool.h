#pragma once

#include "commandline.h"
#include "exitstatus.h"
#include "instrumentprotocol.h"
#include "portscan.h"

#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class FlashJob;
class FirmwareFile;
class QIODevice;
class StationMode;
class WriteSession;

// zorbelflash itself: runs one command line (check, list, write) against the ports and
// returns the exit status. Output goes to the two streams it is given, so that the
// program and its tests run the very same code.
class FlashTool : public QObject
{
    Q_OBJECT

public:
    struct Output
    {
        QIODevice *out = nullptr;      // standard output
        QIODevice *err = nullptr;      // standard error
        bool outIsTerminal = false;
        bool errIsTerminal = false;
    };

    // requestTimeoutMs: how long a write waits for each block request.
    explicit FlashTool(const Output &output,
                       int requestTimeoutMs = InstrumentProtocol::kRequestTimeoutMs,
                       QObject *parent = nullptr);
    ~FlashTool() override;

    FlashTool(const FlashTool &) = delete;
    FlashTool &operator=(const FlashTool &) = delete;

    // Runs the command to its end on the calling thread's event loop.
    ExitStatus run(const QStringList &arguments);
    // Ends the run as interrupted: a scan stops, every write stops at once without its
    // end marker. In station mode the first call takes no new unit and lets the running
    // writes end (restart wait included); the second stops them at once. Safe at any
    // moment, also before or after run().
    void interrupt();
    // Where the adapters' stable names are looked up (StablePortName::kByIdFolder).
    void setByIdFolder(const QString &folder) { m_byIdFolder = folder; }

signals:
    // The writes have begun: one per instrument, in COM order.
    void writesStarted(int instruments);

private:
    using Jobs = std::vector<std::unique_ptr<FlashJob>>;

    ExitStatus runCommand(const CommandLine::Result &parsed);
    ExitStatus check(const CommandLine::Options &options) const;
    ExitStatus list();
    // source: the ports to ask; empty: from --port, or every port present.
    ExitStatus write(const CommandLine::Options &options, PortScan::CandidateSource source = {});
    // station PROFILE: write --watch as the profile says.
    ExitStatus station(const CommandLine::Options &options);
    ExitStatus writeFound(PortScan &scan, const CommandLine::Options &options, const FirmwareFile &firmware,
                          QIODevice *log);
    // Says which instruments answered and returns those to write (all, or the first).
    QList<int> chooseInstruments(const PortScan &scan, const QList<int> &found, const CommandLine::Options &options);
    // A port that is busy or refused: named on standard error and recorded.
    void reportUnavailablePort(const PortScan::PortResult &result, const FirmwareFile &firmware,
                               WriteSession &session);
    // Runs the writes to their end, each recorded as it ends.
    void runJobs(const Jobs &jobs, WriteSession &session);
    bool runScan(PortScan &scan, int waitMs, int wanted = 1);
    // Station mode (--watch): writes each instrument as it appears until interrupted.
    // watched: what is watched, for the first line ("every port present").
    ExitStatus watch(const PortScan::CandidateSource &source, const QString &watched,
                     const CommandLine::Options &options, const FirmwareFile &firmware, QIODevice *log);
    std::unique_ptr<WriteSession> sessionFor(const CommandLine::Options &options, QIODevice *log) const;
    // A file taken although some of its checksums are wrong: said on standard error.
    void warnOfChecksums(const FirmwareFile &firmware, const CommandLine::Options &options) const;
    QIODevice &human(const CommandLine::Options &options) const;
    bool humanIsTerminal(const CommandLine::Options &options) const;

    Output m_output;
    int m_requestTimeoutMs;
    QString m_byIdFolder;
    bool m_interrupted = false;
    PortScan *m_scan = nullptr;       // while a scan runs
    QList<FlashJob *> m_jobs;         // while writes run
    StationMode *m_station = nullptr; // while station mode runs
    QString m_profile;                // station: the profile's path
};
