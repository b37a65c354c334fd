#include "portscan.h"

#include "instrumentprotocol.h"
#include "modem.h"
#include "portmap.h"
#include "serialplatform.h"
#include "versionprobe.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTimer>

#include <algorithm>

using namespace InstrumentProtocol;

namespace {

PortScan::PortState stateOf(Modem::OpenResult result)
{
    switch (result) {
    case Modem::OpenResult::NoDevice:
        return PortScan::PortState::NoSuchDevice;
    case Modem::OpenResult::PermissionDenied:
        return PortScan::PortState::PermissionDenied;
    case Modem::OpenResult::Busy:
        return PortScan::PortState::Busy;
    case Modem::OpenResult::Opened:
    case Modem::OpenResult::PathTooLong:
    case Modem::OpenResult::Failed:
        break;
    }
    return PortScan::PortState::OpenFailed;
}

// No later round can change these.
bool isSettled(PortScan::PortState state)
{
    return state == PortScan::PortState::Found || state == PortScan::PortState::PermissionDenied;
}

// A device path as the records show it: as the serial library is given it (a relative
// one, a link the line's tools made in the working folder, made absolute).
QString absoluteDevice(const QString &devicePath)
{
    return devicePath.isEmpty() ? devicePath : SerialPlatform::portNameFor(devicePath);
}

} // namespace

QList<PortScan::Candidate> PortScan::presentPorts()
{
    QList<Candidate> candidates;
#ifdef Q_OS_WIN
    for (int number = 1; number <= PortMap::kHighestComNumber; ++number) {
        const QString name = PortMap::comName(number);
        candidates.append({name, name});
    }
#else
    PortMap map;
    map.refresh();
    const QMap<int, QString> devices = map.devices();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it)
        candidates.append({PortMap::comName(it.key()), absoluteDevice(it.value())});
#endif
    return candidates;
}

PortScan::Candidate PortScan::portNamed(const QString &nameOrPath)
{
    return portsNamed({nameOrPath}).value(0);
}

QList<PortScan::Candidate> PortScan::portsNamed(const QStringList &namesOrPaths)
{
    PortMap map;
    map.refresh(); // once for all of them
    QList<Candidate> candidates;
    for (const QString &nameOrPath : namesOrPaths)
        candidates.append(candidateIn(map, nameOrPath));
    return candidates;
}

PortScan::Candidate PortScan::candidateIn(const PortMap &map, const QString &nameOrPath)
{
    if (PortMap::comNumber(nameOrPath) > 0) {
        const QString name = PortMap::comName(PortMap::comNumber(nameOrPath));
        return {name, absoluteDevice(map.devicePath(name))};
    }
    // A device path: named by its COM name when the map has one for it.
    const QString device = absoluteDevice(nameOrPath);
    const QMap<int, QString> devices = map.devices();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        if (absoluteDevice(it.value()) == device)
            return {PortMap::comName(it.key()), device};
    }
    return {nameOrPath, device};
}

PortScan::PortScan(CandidateSource source, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_timer(new QTimer(this))
    , m_replyWaitMs(kSlowReplyWaitMs)
{
    m_timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: the instrument gets its full reply time.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &PortScan::onTimer);
}

PortScan::~PortScan() = default;

void PortScan::start(int waitMs, int wanted)
{
    if (m_state != State::Ready)
        return;
    m_state = State::Running;
    m_waitMs = std::max(waitMs, 0);
    m_wanted = std::max(wanted, 1);
    m_clock.start();
    beginRound();
}

void PortScan::stop()
{
    if (m_state != State::Running)
        return;
    m_timer->stop();
    for (const PortResult &result : std::as_const(m_results)) {
        if (result.state != PortState::Found)
            closePort(result.candidate.name);
    }
    finish();
}

std::unique_ptr<Modem> PortScan::takePort(int index)
{
    if (index < 0 || index >= m_results.size())
        return nullptr;
    const QString &name = m_results.at(index).candidate.name;
    if (m_results.at(index).state != PortState::Found)
        return nullptr;
    const auto it = m_modems.find(name);
    if (it == m_modems.end())
        return nullptr;
    std::unique_ptr<Modem> modem = std::move(it->second);
    m_modems.erase(it);
    modem->disconnect(this);
    return modem;
}

void PortScan::takeCandidates()
{
    QHash<QString, PortResult> earlier;
    for (const PortResult &result : std::as_const(m_results))
        earlier.insert(result.candidate.name, result);
    m_results.clear();
    const QList<Candidate> candidates = m_source();
    for (const Candidate &candidate : candidates) {
        PortResult result = earlier.value(candidate.name);
        result.candidate = candidate;
        m_results.append(result);
    }
}

void PortScan::beginRound()
{
    ++m_rounds;
    takeCandidates();
    m_repliesDue = false;
    m_awaiting.clear();
    for (int index = 0; index < m_results.size(); ++index) {
        PortResult &result = m_results[index];
        if (isSettled(result.state))
            continue;
        askPort(result);
        if (result.state == PortState::NoAnswer)
            m_awaiting.insert(index);
    }
    // With nothing to ask, the next round comes after the pause the window makes after
    // a port that does not open.
    m_timer->start(m_repliesDue ? m_replyWaitMs : kMissingPortDelayMs);
    // A reply may be whole already (a port held open).
    if (m_repliesDue)
        QMetaObject::invokeMethod(this, &PortScan::onInput, Qt::QueuedConnection);
}

void PortScan::askPort(PortResult &result)
{
    Modem &modem = modemFor(result.candidate.name);
    result.open = modem.openDevice(result.candidate.devicePath);
    if (result.open != Modem::OpenResult::Opened) {
        result.state = stateOf(result.open);
        modem.closeTty(); // releases a device a failed open may still hold
        return;
    }
    if (!VersionProbe::sendQuery(modem)) {
        result.open = Modem::OpenResult::Failed; // opened, but not usable
        result.state = PortState::OpenFailed;
        modem.closeTty();
        return;
    }
    result.state = PortState::NoAnswer; // until the reply has been read
    m_repliesDue = true;
}

// Takes what the port answered (its whole reply, or what came in the reply wait).
void PortScan::judgeReply(int index)
{
    m_awaiting.remove(index);
    PortResult &result = m_results[index];
    Modem &modem = modemFor(result.candidate.name);
    const VersionReply reply = VersionProbe::readReply(modem);
    if (reply.isComplete())
        result.reply = reply;
    if (reply.isAccepted()) {
        result.state = PortState::Found;
        emit instrumentFound(index);
        return;
    }
    result.state = reply.isComplete() ? PortState::OtherReply : PortState::NoAnswer;
    closePort(result.candidate.name);
}

// The first `wanted` instruments in the order of the ports have answered, and no port
// before them is still to answer.
bool PortScan::wantedKnown() const
{
    int found = 0;
    for (int index = 0; index < m_results.size() && found < m_wanted; ++index) {
        if (m_awaiting.contains(index))
            return false;
        if (m_results.at(index).state == PortState::Found)
            ++found;
    }
    return found >= m_wanted;
}

int PortScan::foundCount() const
{
    return static_cast<int>(std::count_if(m_results.cbegin(), m_results.cend(),
                                          [](const PortResult &r) { return r.state == PortState::Found; }));
}

// Replies are taken as they become whole; the round ends once every port asked has
// answered, the scan as soon as it has what it was asked for.
void PortScan::onInput()
{
    if (m_state != State::Running || !m_timer->isActive())
        return;
    const QList<int> awaiting = m_awaiting.values();
    for (int index : awaiting) {
        const auto it = m_modems.find(m_results.at(index).candidate.name);
        if (it != m_modems.end() && it->second && it->second->availableInput() >= kVersionReplyBytes)
            judgeReply(index);
    }
    if (m_endWhenWanted && wantedKnown()) {
        stop();
        return;
    }
    if (m_awaiting.isEmpty()) {
        m_timer->stop();
        onTimer();
    }
}

void PortScan::onTimer()
{
    if (m_state != State::Running)
        return;
    const QList<int> awaiting = m_awaiting.values();
    for (int index : awaiting)
        judgeReply(index);
    if (foundCount() >= m_wanted || everyPortSettled() || m_clock.elapsed() >= m_waitMs) {
        finish();
        return;
    }
    beginRound();
}

bool PortScan::everyPortSettled() const
{
    return !m_results.isEmpty() && std::all_of(m_results.cbegin(), m_results.cend(),
                                               [](const PortResult &r) { return isSettled(r.state); });
}

Modem &PortScan::modemFor(const QString &name)
{
    std::unique_ptr<Modem> &modem = m_modems[name];
    if (!modem) {
        modem = std::make_unique<Modem>();
        modem->setBaudRate(kLineSpeedBaud);
        connect(modem.get(), &Modem::dataArrived, this, &PortScan::onInput);
    }
    return *modem;
}

void PortScan::closePort(const QString &name)
{
    const auto it = m_modems.find(name);
    if (it != m_modems.end() && it->second)
        it->second->closeTty();
}

void PortScan::finish()
{
    if (m_state == State::Finished)
        return;
    m_state = State::Finished;
    m_timer->stop();
    emit finished();
}
