#pragma once

#include "firmwarefile.h"
#include "logfile.h"
#include "portscan.h"
#include "recordkeeper.h"
#include "stableportname.h"
#include "stationmode.h"
#include "tilestate.h"

#include <QBuffer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class FlashJob;
class QTimer;

// The station as its screen shows it: StationMode watching the ports and writing,
// a TileState per port fed by the station's events, the counts of the header, and
// the records, kept as zorbelflash keeps them. No widget: the window paints what this
// holds and is told when it changes.
class StationBoard : public QObject
{
    Q_OBJECT

public:
    // How often the tiles of running writes are brought up to date.
    static constexpr int kProgressMs = 250;

    // What a station is started with.
    struct Setup
    {
        explicit Setup(FirmwareFile file) : firmware(std::move(file)) {}

        FirmwareFile firmware;
        int expectedVersion = -1;
        std::unique_ptr<LogFile> log; // null: no records kept
        PortScan::CandidateSource source;
        // The labels of the source's ports in the order it gives them (a profile gives its
        // ports in its order); an empty or missing one: none.
        QStringList labels;
        StationMode::Timing timing;
        // Where the adapters' stable names are looked up.
        QString byIdFolder = QString::fromLatin1(StablePortName::kByIdFolder);
        QStringList notices;          // said on the screen from the start (checksum warnings)
    };

    explicit StationBoard(Setup setup, QObject *parent = nullptr);
    ~StationBoard() override;

    StationBoard(const StationBoard &) = delete;
    StationBoard &operator=(const StationBoard &) = delete;

    StationMode &station() { return *m_station; }
    const FirmwareFile &firmware() const { return m_firmware; }
    int expectedVersion() const { return m_expectedVersion; }

    int tileCount() const { return static_cast<int>(m_tiles.size()); }
    const TileState &tile(int index) const { return m_tiles.at(static_cast<size_t>(index)).state; }

    // Since the start: writes that ended written, writes that did not, units current.
    int writtenCount() const;
    int failedCount() const;
    int currentCount() const;
    // What the line is to know besides the tiles (a record not kept, the log moved).
    QStringList notices() const { return m_notices; }

signals:
    void tileAdded(int index);
    void tileChanged(int index);
    void countsChanged();
    void noticesChanged();

private:
    struct Tile
    {
        QString key; // as the station tells ports apart: the device path, or the name
        TileState state;
    };

    QList<PortScan::Candidate> listPorts();
    int tileOf(const PortScan::Candidate &candidate);
    void takeListing(const QList<PortScan::Candidate> &candidates);
    void onWriteStarted(FlashJob *job);
    void onWriteFinished(FlashJob *job);
    void showProgress();
    void keep(const InstrumentReport &report);
    void note(const QString &text);
    void change(int index, const std::function<void(TileState &)> &event);

    FirmwareFile m_firmware;
    int m_expectedVersion;
    std::unique_ptr<LogFile> m_log;
    PortScan::CandidateSource m_source;
    QStringList m_labels;
    QString m_byIdFolder;
    QBuffer m_recordsOut;    // standard output of the records: the screen keeps none there
    QBuffer m_recordErrors;  // what the record keeper says of a record it could not keep
    RecordKeeper m_records;
    std::vector<Tile> m_tiles;
    QHash<QString, int> m_tileIndex; // by key
    QHash<FlashJob *, int> m_jobs;   // running writes and their tiles
    QTimer *m_progressTimer;
    QStringList m_notices;
    std::unique_ptr<StationMode> m_station;
};
