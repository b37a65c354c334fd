// Station mode of zorbelflash: rounds over the ports, and a write for each unit that
// does not answer the expected version.

#include "stationmode.h"

#include "flashjob.h"
#include "instrumentreport.h"
#include "modem.h"
#include "serialplatform.h"
#include "stableportname.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// The states that keep a port from being written, said once each.
bool isUnavailable(PortScan::PortState state)
{
    return state == PortScan::PortState::Busy || state == PortScan::PortState::PermissionDenied
           || state == PortScan::PortState::OtherReply;
}

bool isRefused(PortScan::PortState state)
{
    return state == PortScan::PortState::Busy || state == PortScan::PortState::PermissionDenied;
}

} // namespace

StationMode::StationMode(PortScan::CandidateSource source, FirmwareFile firmware, int expectedVersion,
                         Timing timing, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_firmware(std::move(firmware))
    , m_timing(timing)
    , m_expectedVersion(expectedVersion)
    , m_byIdFolder(QString::fromLatin1(StablePortName::kByIdFolder))
    , m_roundTimer(new QTimer(this))
    , m_watcher(new QFileSystemWatcher(this))
{
    m_roundTimer->setSingleShot(true);
    connect(m_roundTimer, &QTimer::timeout, this, &StationMode::beginRound);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &StationMode::roundSoon);
}

StationMode::~StationMode()
{
    // The jobs go first: each closes its port.
    m_jobs.clear();
}

void StationMode::run()
{
    if (m_state != State::Ready) {
        m_state = State::Finished;
        return;
    }
    m_state = State::Watching;
    QEventLoop loop;
    m_loop = &loop;
    beginRound();
    if (m_state != State::Finished)
        loop.exec();
    m_loop = nullptr;
}

void StationMode::finishWrites()
{
    if (m_state == State::Ready) {
        m_state = State::Finished;
        return;
    }
    if (m_state != State::Watching)
        return;
    m_state = State::Draining;
    m_roundTimer->stop();
    if (m_scan != nullptr)
        m_scan->stop(); // its finished() comes before this returns
    finishIfDone();
}

void StationMode::stop()
{
    if (m_state == State::Ready) {
        m_state = State::Finished;
        return;
    }
    if (m_state != State::Watching && m_state != State::Draining)
        return;
    m_state = State::Stopping;
    m_roundTimer->stop();
    if (m_scan != nullptr)
        m_scan->stop(); // its finished() comes before this returns
    QList<FlashJob *> running;
    for (const auto &job : m_jobs)
        running.append(job.get());
    for (FlashJob *job : running)
        job->interrupt(); // a job may finish, and leave m_jobs, inside
    finishIfDone();
}

QString StationMode::keyOf(const PortScan::Candidate &candidate)
{
    // COM names move when an adapter goes away; its device path does not.
    return candidate.devicePath.isEmpty() ? candidate.name : candidate.devicePath;
}

WatchedPort &StationMode::watched(const QString &key)
{
    auto it = m_ports.find(key);
    if (it == m_ports.end())
        it = m_ports.emplace(key, WatchedPort(m_expectedVersion)).first;
    return it->second;
}

QList<PortScan::Candidate> StationMode::portsToAsk()
{
    // The ports are listed afresh when their folders changed (or where no folder can be
    // watched); an idle round asks the ports it knows.
    if (m_listStale || !m_watching) {
        m_present = m_source();
        m_listStale = false;
        watchFolders(m_present);
    }
    const QList<PortScan::Candidate> &present = m_present;
    QList<PortScan::Candidate> toAsk;
    QSet<QString> keys;
    for (const PortScan::Candidate &candidate : present) {
        const QString key = keyOf(candidate);
        keys.insert(key);
        if (watched(key).state() != WatchedPort::State::Writing)
            toAsk.append(candidate);
    }
    // A port no longer present has lost its device: it is empty.
    for (auto &[key, port] : m_ports) {
        if (!keys.contains(key))
            port.takeAnswer(PortScan::PortState::NoSuchDevice, -1);
    }
    return toAsk;
}

void StationMode::beginRound()
{
    if (m_state != State::Watching)
        return;
    m_roundTimer->stop();
    m_roundAgain = false;
    ++m_rounds;
    m_roundClock.start();
    m_taken.clear();
    m_scan = new PortScan([this] { return portsToAsk(); }, this);
    m_scan->setReplyWaitMs(m_timing.replyWaitMs);
    connect(m_scan, &PortScan::finished, this, &StationMode::onRoundFinished);
    // A unit that answered is taken at once, not after the silent ports of its round.
    connect(m_scan, &PortScan::instrumentFound, this, [this](int index) {
        if (m_scan != nullptr && !m_taken.contains(index)) {
            m_taken.insert(index);
            takeResult(*m_scan, index);
        }
    });
    m_scan->start(0); // one round
}

// A port appeared or went: asked now (or as soon as the round going on is over).
void StationMode::roundSoon()
{
    m_listStale = true;
    if (m_state != State::Watching)
        return;
    if (m_scan != nullptr) {
        m_roundAgain = true;
        return;
    }
    beginRound();
}

// Where the system tells of changes, the folders of the ports' devices (and of their
// links) are watched, so that a port that appears is asked at once.
void StationMode::watchFolders(const QList<PortScan::Candidate> &candidates)
{
    QStringList devicePaths;
    for (const PortScan::Candidate &candidate : candidates)
        devicePaths.append(candidate.devicePath);
    const QStringList folders = SerialPlatform::deviceFolders(devicePaths, m_byIdFolder);
    const QStringList alreadyWatched = m_watcher->directories();
    for (const QString &folder : folders) {
        if (!alreadyWatched.contains(folder) && QFileInfo(folder).isDir())
            m_watcher->addPath(folder);
    }
    m_watching = !m_watcher->directories().isEmpty();
}

void StationMode::onRoundFinished()
{
    PortScan *scan = m_scan;
    m_scan = nullptr;
    if (scan == nullptr)
        return;
    for (int index = 0; index < scan->results().size(); ++index) {
        if (!m_taken.contains(index))
            takeResult(*scan, index);
    }
    m_taken.clear();
    // Its ports not taken close with it.
    scan->deleteLater();
    if (m_state != State::Watching) {
        finishIfDone();
        return;
    }
    emit roundFinished();
    if (m_state == State::Watching) {
        const qint64 left = m_roundAgain ? 0 : m_timing.roundMs - m_roundClock.elapsed();
        m_roundTimer->start(static_cast<int>(std::max<qint64>(left, 0)));
    }
}

void StationMode::takeResult(PortScan &scan, int index)
{
    const PortScan::PortResult &result = scan.results().at(index);
    const QString key = keyOf(result.candidate);
    std::unique_ptr<Modem> modem = scan.takePort(index); // closes with this call unless written
    if (m_state != State::Watching)
        return;
    const QString &name = result.candidate.name;
    if (isRefused(result.state) && !m_refused.contains(name))
        m_refused.append(name);
    else if (result.state != PortScan::PortState::NotProbed && !isRefused(result.state))
        m_refused.removeAll(name);
    noteCondition(key, result);

    const int version = result.state == PortScan::PortState::Found ? result.reply.firmwareVersion() : -1;
    WatchedPort &port = watched(key);
    const bool heldUnit = port.state() != WatchedPort::State::Empty;
    const WatchedPort::Verdict verdict = port.takeAnswer(result.state, version);
    if (heldUnit && port.state() == WatchedPort::State::Empty)
        emit portEmptied(result.candidate);
    switch (verdict) {
    case WatchedPort::Verdict::Write:
        startWrite(result, std::move(modem));
        break;
    case WatchedPort::Verdict::Current:
        ++m_current;
        emit unitCurrent(result, StablePortName::of(result.candidate.devicePath, m_byIdFolder));
        break;
    case WatchedPort::Verdict::NeedsCheck:
        emit portNeedsCheck(result);
        break;
    case WatchedPort::Verdict::Nothing:
        break;
    }
}

void StationMode::startWrite(const PortScan::PortResult &result, std::unique_ptr<Modem> modem)
{
    const QString key = keyOf(result.candidate);
    if (!modem) {
        watched(key).endWrite(-1, false);
        return;
    }
    std::unique_ptr<FlashJob> owned =
        FlashJob::forInstrument(result, std::move(modem), m_firmware, m_timing.requestTimeoutMs, m_byIdFolder);
    FlashJob *job = owned.get();
    FlashJob::Confirmation confirmation;
    confirmation.enabled = true;
    confirmation.expectedVersion = m_expectedVersion;
    confirmation.restartWait = m_timing.restartWait;
    job->setConfirmation(confirmation);
    m_jobs.push_back(std::move(owned));
    m_jobPorts.insert(job, key);
    connect(job, &FlashJob::finished, job, [this, job] { onWriteFinished(job); });
    emit writeStarted(job);
    job->start();
}

void StationMode::onWriteFinished(FlashJob *job)
{
    const InstrumentReport &report = job->report();
    m_outcomes.append(report.outcome);
    if (report.outcome == InstrumentReport::Outcome::Written)
        ++m_written;
    else
        m_incomplete.append(report.port);
    watched(m_jobPorts.take(job))
        .endWrite(job->versionAfter(), report.outcome == InstrumentReport::Outcome::NoRestart);
    // The job goes once control is back: it is inside its own signal now.
    const auto owned = std::find_if(m_jobs.begin(), m_jobs.end(), [job](const auto &p) { return p.get() == job; });
    if (owned != m_jobs.end()) {
        owned->release()->deleteLater();
        m_jobs.erase(owned);
    }
    emit writeFinished(job);
    finishIfDone();
}

void StationMode::noteCondition(const QString &key, const PortScan::PortResult &result)
{
    if (!isUnavailable(result.state)) {
        if (result.state != PortScan::PortState::NotProbed && result.state != PortScan::PortState::NoSuchDevice
            && m_noted.remove(key))
            emit portAvailable(result);
        return;
    }
    if (m_noted.value(key, PortScan::PortState::NotProbed) == result.state)
        return;
    m_noted.insert(key, result.state);
    emit portUnavailable(result);
}

void StationMode::finishIfDone()
{
    if ((m_state != State::Stopping && m_state != State::Draining) || !m_jobs.empty() || m_scan != nullptr)
        return;
    m_state = State::Finished;
    if (m_loop != nullptr)
        m_loop->quit();
}
