#pragma once

#include "commandline.h"
#include "exitstatus.h"
#include "instrumentreport.h"
#include "instrumentprotocol.h"
#include "portscan.h"

#include <QList>
#include <QObject>
#include <QStringList>

class FlashJob;
class FirmwareFile;
class QIODevice;
class StationMode;

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
    // end marker. Safe at any moment, also before or after run().
    void interrupt();
    // Where the adapters' stable names are looked up (StablePortName::kByIdFolder).
    void setByIdFolder(const QString &folder) { m_byIdFolder = folder; }

signals:
    // The writes have begun: one per instrument, in COM order.
    void writesStarted(int instruments);

private:
    ExitStatus runCommand(const CommandLine::Result &parsed);
    ExitStatus check(const CommandLine::Options &options) const;
    ExitStatus list();
    ExitStatus write(const CommandLine::Options &options);
    ExitStatus writeNamedPort(PortScan &scan, const CommandLine::Options &options, const FirmwareFile &firmware,
                              QIODevice *log);
    ExitStatus writeFound(PortScan &scan, const CommandLine::Options &options, const FirmwareFile &firmware,
                          QIODevice *log);
    // Says which instruments answered and returns those to write (all, or the first).
    QList<int> chooseInstruments(const PortScan &scan, const QList<int> &found, const CommandLine::Options &options);
    // A port that is busy or refused: named on standard error and recorded; its outcome.
    InstrumentReport::Outcome reportUnavailablePort(const PortScan::PortResult &result,
                                                    const CommandLine::Options &options,
                                                    const FirmwareFile &firmware, QIODevice *log);
    FlashJob *makeJob(PortScan &scan, int index, const FirmwareFile &firmware);
    // Runs the writes to their end, each recorded as it ends.
    void runJobs(const QList<FlashJob *> &jobs, const CommandLine::Options &options, QIODevice *log);
    bool runScan(PortScan &scan, int waitMs, int wanted = 1);
    // Station mode (--watch): writes each instrument as it appears until interrupted.
    ExitStatus watch(const PortScan::CandidateSource &source, const CommandLine::Options &options,
                     const FirmwareFile &firmware, QIODevice *log);
    void flushDeferredJson();
    void emitReport(const InstrumentReport &report, bool json, QIODevice *log);
    bool keepRecord(QIODevice &stream, const QByteArray &line, const QString &where, const QString &port);
    // The status of the recorded outcomes, given in COM order; a lost record turns
    // success into RecordLost.
    ExitStatus finalStatus(const QList<InstrumentReport::Outcome> &outcomes) const;
    // A file taken although some of its checksums are wrong: said on standard error.
    void warnOfChecksums(const FirmwareFile &firmware, const CommandLine::Options &options) const;
    QIODevice &human(const CommandLine::Options &options) const;
    bool humanIsTerminal(const CommandLine::Options &options) const;

    Output m_output;
    int m_requestTimeoutMs;
    QString m_byIdFolder;
    bool m_interrupted = false;
    bool m_recordLost = false;        // a record could not be written somewhere
    PortScan *m_scan = nullptr;   // while a scan runs
    QList<FlashJob *> m_jobs;     // while writes run
    StationMode *m_station = nullptr; // while station mode runs
    bool m_holdJson = false;          // a live display shares the terminal with the JSON
    QList<QByteArray> m_deferredJson; // held back until the display is done
};
