#include "modem.h"

#include "devicelock.h"
#include "lowlatencymode.h"
#include "portmap.h"
#include "serialplatform.h"
#include "seriallog.h"
#include "usblatency.h"

#include <QDeadlineTimer>
#include <QSerialPort>

#include <algorithm>
#include <array>

namespace {

constexpr int kBaud9600 = 9600;
constexpr int kBaud19200 = 19200;
constexpr int kBaud57600 = 57600;
constexpr int kBaud115200 = 115200;
// Line speed the port runs at until setBaudRate is first called, and for any
// stored speed that openTty does not apply as it stands.
constexpr int kDefaultBaudRate = kBaud57600;
constexpr std::array<int, 4> kStorableBaudRates = {kBaud9600, kBaud19200, kBaud57600, kBaud115200};
constexpr std::array<int, 3> kAppliedBaudRates = {kBaud9600, kBaud19200, kBaud115200};

// writeTtyByte sends the low 8 bits of its value.
constexpr int kByteMask = 0xFF;
// A write that the driver has not taken within this time is given up.
constexpr int kWriteTimeoutMs = 1000;
// Polls the driver for bytes that arrived without an event loop running.
constexpr int kPollNowMs = 0;
// The count of input dropped between exchanges goes to the trace at most this often.
constexpr qint64 kDropLogIntervalMs = 1000;

const QString kNoPortText = QStringLiteral("?");

template <std::size_t N>
bool contains(const std::array<int, N> &values, int value)
{
    return std::find(values.cbegin(), values.cend(), value) != values.cend();
}

bool isPortFailure(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError:
        return true;
    default: // NoError, TimeoutError, NotOpenError, UnsupportedOperationError, OpenError
        return false;
    }
}

Modem::OpenResult resultOf(DeviceLock::Result result)
{
    switch (result) {
    case DeviceLock::Result::Locked:
        return Modem::OpenResult::Opened;
    case DeviceLock::Result::NoSuchDevice:
        return Modem::OpenResult::NoDevice;
    case DeviceLock::Result::PermissionDenied:
        return Modem::OpenResult::PermissionDenied;
    case DeviceLock::Result::Busy:
        return Modem::OpenResult::Busy;
    case DeviceLock::Result::Failed:
        break;
    }
    return Modem::OpenResult::Failed;
}

// The device lock was taken, so a refusal of the serial library means another program.
Modem::OpenResult resultOf(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return Modem::OpenResult::NoDevice;
    case QSerialPort::PermissionError:
        return Modem::OpenResult::Busy;
    default:
        return Modem::OpenResult::Failed;
    }
}


// After a hang-up the system error text is often stale; the kind of error is not.
QString describeFailure(QSerialPort::SerialPortError error, const QString &errorText)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ResourceError:
        return QStringLiteral("device gone (unplugged or hung up)");
    case QSerialPort::ReadError:
        return QStringLiteral("read failed, line hung up?");
    case QSerialPort::WriteError:
        return QStringLiteral("write failed, line hung up?");
    default:
        return errorText;
    }
}

} // namespace

Modem::Modem()
    : m_lock(std::make_unique<DeviceLock>())
    , m_baudRate(kDefaultBaudRate)
{
}

Modem::~Modem()
{
    releaseDevice(); // a changed adapter gets its serial flags back
}

void Modem::setBaudRate(int rate)
{
    if (contains(kStorableBaudRates, rate))
        m_baudRate = rate;
}

Modem::OpenResult Modem::failOpen(OpenResult result)
{
    emit setTtyText(kNoPortText);
    return result;
}

void Modem::logOpen(const QString &portName, const QString &devicePath, const QString &outcome)
{
    if (devicePath.isEmpty())
        return;
    const QString line = QStringLiteral("open %1 -> %2: %3")
                             .arg(portName.isEmpty() ? QStringLiteral("(empty name)") : portName, devicePath,
                                  outcome);
    const QString logged = (QStringList{outcome} + m_openNotes).join(QLatin1Char('\n'));
    if (m_loggedOpens.value(devicePath) == logged) {
        qCDebug(lcSerialTrace).noquote() << line;
        return;
    }
    m_loggedOpens.insert(devicePath, logged);
    qCInfo(lcSerial).noquote() << line;
    for (const QString &note : std::as_const(m_openNotes))
        qCInfo(lcSerial).noquote() << note;
}

QString Modem::reason(OpenResult result, const QString &detail)
{
    switch (result) {
    case OpenResult::Opened:
        return QStringLiteral("opened");
    case OpenResult::NoDevice:
        return QStringLiteral("no such device");
    case OpenResult::PermissionDenied:
        return QStringLiteral("permission denied (on Linux, is the user in the dialout group?)");
    case OpenResult::Busy:
        return QStringLiteral("busy (%1)").arg(detail.isEmpty() ? QStringLiteral("held by another program") : detail);
    case OpenResult::PathTooLong:
        return QStringLiteral("cannot lock: device path too long for a lock file name");
    case OpenResult::Failed:
        break;
    }
    return detail.isEmpty() ? QStringLiteral("cannot be set up") : detail;
}

bool Modem::openTty(const QString &portName)
{
    return openPort(portName) == OpenResult::Opened;
}

Modem::OpenResult Modem::openPort(const QString &portName)
{
    return openPath(portName, m_portMap != nullptr ? m_portMap->devicePath(portName) : QString());
}

Modem::OpenResult Modem::openDevice(const QString &devicePath, const QString &portName)
{
    return openPath(portName.isEmpty() ? devicePath : portName, devicePath);
}

Modem::OpenResult Modem::openPath(const QString &portName, const QString &devicePath)
{
    // Callers close first; a device still held from before is let go silently.
    releaseDevice();
    m_failed = false;
    m_inputDropped = false;
    ++m_openGeneration;
    m_openNotes.clear();

    m_devicePath = devicePath;
    if (devicePath.isEmpty()) {
        logOpen(portName, devicePath, reason(OpenResult::NoDevice));
        return failOpen(OpenResult::NoDevice);
    }

    const DeviceLock::Result lock = m_lock->acquire(devicePath);
    if (lock != DeviceLock::Result::Locked) {
        const OpenResult result = resultOf(lock);
        logOpen(portName, devicePath, reason(result, result == OpenResult::Failed ? m_lock->errorString() : QString()));
        return failOpen(result);
    }

    m_port = std::make_unique<QSerialPort>();
    m_port->setReadBufferSize(kReadBufferBytes);
    // As for the lock above, a relative path starts in the working folder.
    m_port->setPortName(SerialPlatform::portNameFor(devicePath));
    connect(m_port.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onPortError(error); });
    connect(m_port.get(), &QSerialPort::readyRead, this, &Modem::onReadyRead);
    connect(m_port.get(), &QSerialPort::bytesWritten, this, &Modem::onBytesWritten);
    if (!m_port->open(QIODevice::ReadWrite)) {
        // The device itself could be opened (the lock was taken), so a refusal of the
        // serial library is its lock file or exclusive mode: another program has it,
        // unless the path cannot name a lock file at all.
        OpenResult result = resultOf(m_port->error());
        if (result == OpenResult::Busy && SerialPlatform::lockFileNameTooLong(devicePath))
            result = OpenResult::PathTooLong;
        logOpen(portName, devicePath,
                reason(result, result == OpenResult::NoDevice ? QString() : m_port->errorString()));
        releaseDevice();
        return failOpen(result);
    }

    m_state = State::Held;
    if (!configure(portName, devicePath))
        return failOpen(OpenResult::Failed);

    m_state = State::Open;
    // A USB-serial adapter is asked to pass received bytes on at once rather than after
    // its latency timer: each flash block waits for one request byte. Other devices (a
    // pseudo-terminal, a built-in port) are left alone.
    m_lowLatency = SerialPlatform::lowLatencyFor(*m_port, devicePath);
    if (m_lowLatency) {
        m_openNotes.append(QStringLiteral("%1 -> %2: low-latency mode %3")
                               .arg(portName, m_lowLatency->adapterPath(),
                                    UsbLatency::describe(m_lowLatency->outcome())));
    }
    logOpen(portName, devicePath, reason(OpenResult::Opened));
    emit setTtyText(portName);
    return OpenResult::Opened;
}

bool Modem::configure(const QString &portName, const QString &devicePath)
{
    const int baudRate = contains(kAppliedBaudRates, m_baudRate) ? m_baudRate : kDefaultBaudRate;
    const bool lineSet = m_port->setBaudRate(baudRate) && m_port->setDataBits(QSerialPort::Data8)
                         && m_port->setParity(QSerialPort::NoParity)
                         && m_port->setStopBits(QSerialPort::OneStop)
                         && m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!lineSet) {
        logOpen(portName, devicePath,
                QStringLiteral("line set-up failed: %1").arg(m_port->errorString()));
        return false;
    }
    m_openNotes.append(QStringLiteral("%1 line: %2 bit/s, 8N1, no flow control").arg(portName).arg(baudRate));
    // A pseudo-terminal or a bare three-wire adapter has no modem lines; the port
    // still works, so this is only reported.
    if (!m_port->setDataTerminalReady(true) || !m_port->setRequestToSend(true)) {
        m_openNotes.append(QStringLiteral("%1 -> %2: device cannot take DTR/RTS (%3), "
                                          "e.g. a pseudo-terminal; carrying on without")
                               .arg(portName, devicePath, m_port->errorString()));
        m_port->clearError();
    }
    return true;
}

bool Modem::closeTty()
{
    releaseDevice();
    emit setTtyText(kNoPortText);
    return true;
}

void Modem::releaseDevice()
{
    if (m_port) {
        m_lowLatency.reset();
        m_port->disconnect(this);
        m_port->close();
        m_port.reset();
    }
    m_lock->release();
    m_state = State::Closed;
}

bool Modem::usable()
{
    if (m_failed) {
        releaseDevice();
        return false;
    }
    return m_state == State::Open && m_port;
}

void Modem::onPortError(int error)
{
    const auto serialError = static_cast<QSerialPort::SerialPortError>(error);
    if (m_state != State::Open || m_failed || !isPortFailure(serialError))
        return;
    // The serial library reports a driver's "try again" (EAGAIN) as a lost resource, as
    // it does a hang-up. A write can meet it when the line stopped taking bytes between
    // the moment the event loop saw room and the moment of the write (flow stopped, a
    // full transmit buffer); the bytes stay queued and go when the line takes them
    // again. Only a device that shows a hang-up or an error has really failed.
    if (serialError == QSerialPort::ResourceError && SerialPlatform::deviceStillThere(*m_port)) {
        qCDebug(lcSerialTrace).noquote() << QStringLiteral("%1: line busy (%2), trying again")
                                                .arg(m_devicePath, m_port->errorString());
        m_port->clearError();
        return;
    }
    m_failed = true;
    qCInfo(lcSerial).noquote() << QStringLiteral("%1: port failed: %2")
                                      .arg(m_devicePath, describeFailure(serialError, m_port->errorString()));
    // The port cannot be closed from inside its own error report; let go of it as
    // soon as control is back, unless the caller does so first.
    const quint64 generation = m_openGeneration;
    QMetaObject::invokeMethod(
        this, [this, generation]() { releaseFailedPort(generation); }, Qt::QueuedConnection);
    emit portLost();
}

void Modem::releaseFailedPort(quint64 generation)
{
    if (generation == m_openGeneration && m_failed)
        releaseDevice();
}

bool Modem::portFailed() const
{
    return m_failed;
}

bool Modem::isOpen() const
{
    return m_state == State::Open && m_port && !m_failed;
}

qint64 Modem::availableInput() const
{
    return isOpen() ? m_port->bytesAvailable() : 0;
}

void Modem::pollDriver()
{
    if (!m_port->waitForReadyRead(kPollNowMs) && m_port->error() == QSerialPort::TimeoutError)
        m_port->clearError();
}

int Modem::readTty(char *buffer, int maxBytes)
{
    if (buffer == nullptr || maxBytes <= 0 || !usable())
        return 0;
    if (m_port->bytesAvailable() < maxBytes)
        pollDriver();
    if (!usable())
        return 0;
    const qint64 count = m_port->read(buffer, maxBytes);
    return count > 0 ? static_cast<int>(count) : 0;
}

bool Modem::handOver(const char *data, qint64 count)
{
    if (!usable())
        return false;
    if (count == 0)
        return true;
    if (m_port->write(data, count) != count) {
        m_port->clear(QSerialPort::Output);
        return false;
    }
    return true;
}

bool Modem::writeBytes(const char *data, qint64 count)
{
    if (!handOver(data, count))
        return false;
    const QDeadlineTimer deadline(kWriteTimeoutMs);
    while (m_port->bytesToWrite() > 0 && !m_failed) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        if (!m_port->waitForBytesWritten(static_cast<int>(left))) {
            if (m_port->error() == QSerialPort::TimeoutError)
                m_port->clearError();
            break;
        }
    }
    if (!usable())
        return false;
    if (m_port->bytesToWrite() > 0) {
        // Whatever was not taken in time must not trickle out later, in the middle
        // of whatever the caller sends next.
        qCInfo(lcSerial).noquote() << QStringLiteral("%1: write of %2 byte(s) not taken within %3 ms")
                                          .arg(m_devicePath)
                                          .arg(count)
                                          .arg(kWriteTimeoutMs);
        m_port->clear(QSerialPort::Output);
        return false;
    }
    return true;
}

bool Modem::writeTty(const char *text)
{
    if (text == nullptr)
        return false;
    return writeBytes(text, static_cast<qint64>(qstrlen(text)));
}

bool Modem::writeTtyByte(int value)
{
    const char byte = static_cast<char>(value & kByteMask);
    return writeBytes(&byte, 1);
}

bool Modem::queueTty(const char *data, int count)
{
    if (data == nullptr || count < 0 || !handOver(data, count))
        return false;
    pushQueuedOutput();
    return usable();
}

void Modem::pushQueuedOutput()
{
    // The serial library would hand the bytes over on its next turn of the event loop;
    // doing it now saves the caller that round trip. A device that takes nothing now
    // (a stopped or full line) is left to the library's own write notification: a
    // write attempt there would count as an error of the port.
    if (!SerialPlatform::takesOutputNow(*m_port))
        return;
    m_port->flush();
}

void Modem::setInputDropped(bool dropped)
{
    if (dropped == m_inputDropped)
        return;
    if (!dropped && m_droppedBytes > 0) {
        qCDebug(lcSerialTrace).noquote()
            << QStringLiteral("%1: %2 byte(s) dropped between exchanges").arg(m_devicePath).arg(m_droppedBytes);
    }
    m_inputDropped = dropped;
    m_droppedBytes = 0;
    m_dropLogClock.invalidate();
    if (dropped)
        dropInput();
}

void Modem::onReadyRead()
{
    if (m_inputDropped)
        dropInput();
    else
        emit dataArrived();
}

void Modem::dropInput()
{
    if (!m_port || !m_port->isOpen())
        return;
    const qint64 skipped = m_port->skip(m_port->bytesAvailable());
    if (skipped <= 0)
        return;
    m_droppedBytes += skipped;
    if (!m_dropLogClock.isValid() || m_dropLogClock.hasExpired(kDropLogIntervalMs)) {
        qCDebug(lcSerialTrace).noquote()
            << QStringLiteral("%1: %2 byte(s) dropped between exchanges so far").arg(m_devicePath).arg(m_droppedBytes);
        m_dropLogClock.start();
    }
}

void Modem::onBytesWritten()
{
    if (m_port && m_port->bytesToWrite() == 0)
        emit outputDrained();
}

qint64 Modem::pendingOutput() const
{
    return m_port ? m_port->bytesToWrite() : 0;
}

void Modem::discardOutput()
{
    if (m_port && m_port->isOpen())
        m_port->clear(QSerialPort::Output);
}
