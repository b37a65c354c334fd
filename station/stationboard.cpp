// The station behind the screen: its events into tiles, counts and records.

#include "stationboard.h"

#include "flashjob.h"
#include "instrumentreport.h"
#include "logfile.h"
#include "serialplatform.h"

#include <QFileInfo>
#include <QSet>
#include <QTimer>

#include <algorithm>

namespace {

// As the station tells ports apart: COM names move when an adapter goes away; its
// device path does not.
QString keyOf(const PortScan::Candidate &candidate)
{
    return candidate.devicePath.isEmpty() ? candidate.name : candidate.devicePath;
}

} // namespace

StationBoard::StationBoard(Setup setup, QObject *parent)
    : QObject(parent)
    , m_firmware(std::move(setup.firmware))
    , m_expectedVersion(setup.expectedVersion)
    , m_log(std::move(setup.log))
    , m_source(std::move(setup.source))
    , m_labels(setup.labels)
    , m_byIdFolder(setup.byIdFolder)
    , m_records({m_recordsOut, m_recordErrors}, false, m_log.get())
    , m_progressTimer(new QTimer(this))
    , m_notices(setup.notices)
{
    m_recordsOut.open(QIODevice::WriteOnly);
    m_recordErrors.open(QIODevice::ReadWrite);
    if (m_log) {
        connect(m_log.get(), &LogFile::reopened, this, [this](const QString &path) {
            note(QStringLiteral("The log file %1 was moved or deleted; opened it again.").arg(path));
        });
    }
    connect(m_progressTimer, &QTimer::timeout, this, &StationBoard::showProgress);

    // The ports as they are now, so that the screen shows its tiles from the start; the
    // station lists them afresh whenever they may have changed.
    takeListing(m_source());
    m_station = std::make_unique<StationMode>([this] { return listPorts(); }, m_firmware, m_expectedVersion,
                                              setup.timing);
    m_station->setByIdFolder(m_byIdFolder);

    StationMode *engine = m_station.get();
    connect(engine, &StationMode::writeStarted, this, &StationBoard::onWriteStarted);
    connect(engine, &StationMode::writeFinished, this, &StationBoard::onWriteFinished);
    connect(engine, &StationMode::unitCurrent, this, [this](const PortScan::PortResult &result, const QString &byId) {
        keep(InstrumentReport::unwritten(result, InstrumentReport::Outcome::Current, m_firmware, byId));
        const int version = result.reply.firmwareVersion();
        change(tileOf(result.candidate), [version](TileState &tile) { tile.unitCurrent(version); });
        emit countsChanged();
    });
    connect(engine, &StationMode::portNeedsCheck, this, [this](const PortScan::PortResult &result) {
        const int version = result.reply.firmwareVersion();
        change(tileOf(result.candidate), [version](TileState &tile) { tile.needsCheck(version); });
    });
    connect(engine, &StationMode::portUnavailable, this, [this](const PortScan::PortResult &result) {
        const PortScan::PortState state = result.state;
        change(tileOf(result.candidate), [state](TileState &tile) { tile.unavailable(state); });
    });
    connect(engine, &StationMode::portAvailable, this, [this](const PortScan::PortResult &result) {
        change(tileOf(result.candidate), [](TileState &tile) { tile.available(); });
    });
    connect(engine, &StationMode::portEmptied, this, [this](const PortScan::Candidate &candidate) {
        change(tileOf(candidate), [](TileState &tile) { tile.emptied(); });
    });
}

StationBoard::~StationBoard()
{
    // The station goes first: its writes close their ports before the records go.
    m_station.reset();
}

int StationBoard::writtenCount() const
{
    return m_station->writtenCount();
}

int StationBoard::failedCount() const
{
    return static_cast<int>(m_station->outcomes().size()) - m_station->writtenCount();
}

int StationBoard::currentCount() const
{
    return m_station->currentCount();
}

// The station's own list of ports, looked at on its way.
QList<PortScan::Candidate> StationBoard::listPorts()
{
    QList<PortScan::Candidate> candidates = m_source();
    takeListing(candidates);
    return candidates;
}

void StationBoard::takeListing(const QList<PortScan::Candidate> &candidates)
{
    const QHash<QString, QString> links = StablePortName::byDevice(m_byIdFolder);
    QSet<QString> listed;
    for (int position = 0; position < candidates.size(); ++position) {
        const PortScan::Candidate &candidate = candidates.at(position);
        const int index = tileOf(candidate);
        listed.insert(m_tiles.at(static_cast<size_t>(index)).key);
        const QString label = m_labels.value(position);
        const QString link = links.value(QFileInfo(candidate.devicePath).canonicalFilePath());
        const bool present = !SerialPlatform::deviceNode(candidate.devicePath).isEmpty();
        change(index, [&](TileState &tile) {
            tile.setIdentity({label, candidate.name, link});
            tile.setPresent(present);
        });
    }
    for (size_t index = 0; index < m_tiles.size(); ++index) {
        if (!listed.contains(m_tiles[index].key))
            change(static_cast<int>(index), [](TileState &tile) { tile.setPresent(false); });
    }
}

int StationBoard::tileOf(const PortScan::Candidate &candidate)
{
    const QString key = keyOf(candidate);
    const auto found = m_tileIndex.constFind(key);
    if (found != m_tileIndex.constEnd())
        return found.value();
    Tile added{key, TileState(m_expectedVersion)};
    added.state.setIdentity({QString(), candidate.name, QString()});
    m_tiles.push_back(added);
    const int index = static_cast<int>(m_tiles.size()) - 1;
    m_tileIndex.insert(key, index);
    emit tileAdded(index);
    return index;
}

void StationBoard::onWriteStarted(FlashJob *job)
{
    const int index = tileOf({job->port(), job->device()});
    m_jobs.insert(job, index);
    const int total = job->blockTotal();
    change(index, [total](TileState &tile) { tile.writeStarted(total); });
    if (!m_progressTimer->isActive())
        m_progressTimer->start(kProgressMs);
}

void StationBoard::onWriteFinished(FlashJob *job)
{
    const int index = m_jobs.take(job);
    if (m_jobs.isEmpty())
        m_progressTimer->stop();
    keep(job->report());
    const InstrumentReport &report = job->report();
    const int total = job->blockTotal();
    change(index, [&report, total](TileState &tile) { tile.writeFinished(report, total); });
    emit countsChanged();
}

// The running writes, looked at a few times a second rather than at every block.
void StationBoard::showProgress()
{
    for (auto it = m_jobs.cbegin(); it != m_jobs.cend(); ++it) {
        const FlashJob *job = it.key();
        const TileState::Progress progress{job->blocksDone(), job->blockTotal(), job->elapsedMs()};
        const bool restarting = job->state() == FlashJob::State::Confirming;
        change(it.value(), [&](TileState &tile) { tile.writeProgressed(progress, restarting); });
    }
}

void StationBoard::keep(const InstrumentReport &report)
{
    const qint64 before = m_recordErrors.size();
    m_records.keep(report, QString()); // the screen keeps no journal
    if (m_recordErrors.size() > before && m_log) {
        note(QStringLiteral("The record of %1 could not be written to the log file (%2): check the disk.")
                 .arg(report.port, m_log->errorString()));
    }
}

void StationBoard::note(const QString &text)
{
    m_notices.append(text);
    emit noticesChanged();
}

void StationBoard::change(int index, const std::function<void(TileState &)> &event)
{
    event(m_tiles.at(static_cast<size_t>(index)).state);
    emit tileChanged(index);
}
