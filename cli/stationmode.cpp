#include "stationmode.h"

#include "flashjob.h"
#include "instrumentreport.h"
#include "modem.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// "1.23", as the instrument answered.
QString firmwareText(const VersionReply &reply)
{
    return QString::asprintf("%i.%02i", reply.majorVersion(), reply.minorVersion());
}

// The states that keep a port from being written, said once each.
bool isUnavailable(PortScan::PortState state)
{
    return state == PortScan::PortState::Busy || state == PortScan::PortState::PermissionDenied
           || state == PortScan::PortState::OtherReply;
}

} // namespace

StationMode::StationMode(PortScan::CandidateSource source, FirmwareFile firmware, Timing timing, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_firmware(std::move(firmware))
    , m_timing(timing)
    , m_roundTimer(new QTimer(this))
{
    m_roundTimer->setSingleShot(true);
    connect(m_roundTimer, &QTimer::timeout, this, &StationMode::beginRound);
}

StationMode::~StationMode()
{
    // The jobs go first: each closes its port.
    qDeleteAll(m_jobs);
    m_jobs.clear();
}

ExitStatus StationMode::run()
{
    if (m_state != State::Ready) {
        m_state = State::Finished;
        return m_status;
    }
    m_state = State::Watching;
    QEventLoop loop;
    m_loop = &loop;
    beginRound();
    if (m_state != State::Finished)
        loop.exec();
    m_loop = nullptr;
    return m_status;
}

void StationMode::stop()
{
    if (m_state == State::Ready) {
        m_state = State::Finished;
        return;
    }
    if (m_state != State::Watching)
        return;
    m_state = State::Stopping;
    m_roundTimer->stop();
    if (m_scan != nullptr)
        m_scan->stop(); // its finished() comes before this returns
    const QList<FlashJob *> running = m_jobs;
    for (FlashJob *job : running)
        job->interrupt();
    finishIfDone();
}

QString StationMode::summary() const
{
    QString text = QStringLiteral("%1 written").arg(m_written);
    if (!m_incomplete.isEmpty()) {
        text += QStringLiteral(", %1 incomplete (%2)")
                    .arg(m_incomplete.size())
                    .arg(m_incomplete.join(QStringLiteral(", ")));
    }
    return text;
}

QString StationMode::keyOf(const PortScan::Candidate &candidate)
{
    // COM names move when an adapter goes away; its device path does not.
    return candidate.devicePath.isEmpty() ? candidate.name : candidate.devicePath;
}

QList<PortScan::Candidate> StationMode::portsToAsk()
{
    const QList<PortScan::Candidate> present = m_source();
    QList<PortScan::Candidate> toAsk;
    QStringList keys;
    for (const PortScan::Candidate &candidate : present) {
        const QString key = keyOf(candidate);
        keys.append(key);
        if (m_ports.value(key).state() != WatchedPort::State::Writing)
            toAsk.append(candidate);
    }
    // A port no longer present has lost its device: armed again, said again.
    for (auto it = m_ports.begin(); it != m_ports.end();) {
        if (!keys.contains(it.key()) && it->state() != WatchedPort::State::Writing) {
            m_noted.remove(it.key());
            it = m_ports.erase(it);
        } else {
            ++it;
        }
    }
    return toAsk;
}

void StationMode::beginRound()
{
    if (m_state != State::Watching)
        return;
    ++m_rounds;
    m_roundClock.start();
    m_scan = new PortScan([this] { return portsToAsk(); }, this);
    connect(m_scan, &PortScan::finished, this, &StationMode::onRoundFinished);
    m_scan->start(0); // one round
}

void StationMode::onRoundFinished()
{
    PortScan *scan = m_scan;
    m_scan = nullptr;
    if (scan == nullptr)
        return;
    if (m_state == State::Watching) {
        const QList<PortScan::PortResult> results = scan->results();
        for (int index = 0; index < results.size(); ++index) {
            const PortScan::PortResult &result = results.at(index);
            const QString key = keyOf(result.candidate);
            if (m_ports[key].takeAnswer(result.state))
                startWrite(result, scan->takePort(index));
            noteCondition(key, result);
        }
    }
    // Its ports not taken (instruments still connected) close with it.
    scan->deleteLater();
    if (m_state != State::Watching) {
        finishIfDone();
        return;
    }
    emit roundFinished();
    if (m_state == State::Watching) {
        const qint64 left = m_timing.roundMs - m_roundClock.elapsed();
        m_roundTimer->start(static_cast<int>(std::max<qint64>(left, 0)));
    }
}

void StationMode::startWrite(const PortScan::PortResult &result, std::unique_ptr<Modem> modem)
{
    const QString key = keyOf(result.candidate);
    if (!modem) {
        m_ports[key].endWrite();
        return;
    }
    auto *job = new FlashJob(result.candidate.name, result.candidate.devicePath, std::move(modem),
                             firmwareText(result.reply), m_firmware, m_timing.requestTimeoutMs, this);
    m_jobs.append(job);
    m_jobPorts.insert(job, key);
    connect(job, &FlashJob::finished, this, [this, job] { onWriteFinished(job); });
    emit writeStarted(job);
    job->start();
}

void StationMode::onWriteFinished(FlashJob *job)
{
    const InstrumentReport &report = job->report();
    if (report.outcome == InstrumentReport::Outcome::Written) {
        ++m_written;
    } else {
        if (m_incomplete.isEmpty())
            m_status = InstrumentReport::exitStatusFor(report.outcome);
        m_incomplete.append(report.port);
    }
    m_ports[m_jobPorts.take(job)].endWrite();
    m_jobs.removeOne(job);
    emit writeFinished(job);
    job->deleteLater();
    finishIfDone();
}

void StationMode::noteCondition(const QString &key, const PortScan::PortResult &result)
{
    if (!isUnavailable(result.state)) {
        if (result.state != PortScan::PortState::NotProbed)
            m_noted.remove(key);
        return;
    }
    if (m_noted.value(key, PortScan::PortState::NotProbed) == result.state)
        return;
    m_noted.insert(key, result.state);
    emit portUnavailable(result);
}

void StationMode::finishIfDone()
{
    if (m_state != State::Stopping || !m_jobs.isEmpty() || m_scan != nullptr)
        return;
    m_state = State::Finished;
    if (m_loop != nullptr)
        m_loop->quit();
}
