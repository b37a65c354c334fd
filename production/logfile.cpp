// LogFile: opening the --log file, and appending one record at a time.

#include "logfile.h"

#include "regularfile.h"

#include <QFile>
#include <QThread>

#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Why a file of this kind keeps no record.
QString refusal(RegularFile::Kind kind)
{
    switch (kind) {
    case RegularFile::Kind::Folder:
        return QStringLiteral("it is a folder");
    case RegularFile::Kind::Fifo:
        return QStringLiteral("it is a FIFO, not a file");
    case RegularFile::Kind::Device:
        return QStringLiteral("it is a device, not a file");
    default:
        return QStringLiteral("it is not a regular file");
    }
}

// The path opened for appending, or null with the reason: a regular file or a new one
// only, and nothing that could hold the program.
std::unique_ptr<QFile> openForAppend(const QString &path, QString *reason)
{
    RegularFile::Opened opened = RegularFile::open(path, RegularFile::Access::Append);
    switch (opened.result) {
    case RegularFile::Result::Opened:
        return std::move(opened.file);
    case RegularFile::Result::NotRegular:
        *reason = refusal(opened.kind);
        break;
    case RegularFile::Result::TooLarge: // no bound is set
    case RegularFile::Result::Failed:
        *reason = opened.error;
        break;
    }
    return {};
}

#ifdef Q_OS_UNIX
// Another station's append holds the lock for far less than this; a program that holds
// it longer is not waited for (the record is appended without the lock).
constexpr int kLockTries = 50;
constexpr unsigned long kLockRetryMs = 2;

bool lockBriefly(int fd)
{
    for (int tries = 0; tries < kLockTries; ++tries) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        QThread::msleep(kLockRetryMs);
    }
    return false;
}
#endif

} // namespace

LogFile::Opened LogFile::open(const QString &path)
{
    Opened opened;
    std::unique_ptr<QFile> file = openForAppend(path, &opened.error);
    if (!file)
        return opened;
    opened.file = std::make_unique<LogFile>(path, std::move(file));
    return opened;
}

LogFile::LogFile(QString path, std::unique_ptr<QFile> file)
    : m_path(std::move(path))
    , m_file(std::move(file))
{
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

LogFile::~LogFile() = default;

bool LogFile::append(const QByteArray &line, QString *reason)
{
#ifdef Q_OS_UNIX
    if (!followPath(reason))
        return false;
    const int fd = m_file->handle();
    const bool locked = lockBriefly(fd);
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        *reason = qt_error_string(errno);
        if (locked)
            ::flock(fd, LOCK_UN);
        return false;
    }
    // With O_APPEND, and the other stations held off by the lock, the record begins here.
    const off_t start = status.st_size;
    const QByteArray record = m_lineOpen ? '\n' + line : line;
    qint64 written = 0;
    while (written < record.size()) {
        const ssize_t count = ::write(fd, record.constData() + written, static_cast<size_t>(record.size() - written));
        if (count > 0)
            written += count;
        else if (count < 0 && errno == EINTR)
            continue;
        else {
            *reason = qt_error_string(count < 0 ? errno : EIO);
            break;
        }
    }
    // A part of a record is cut off again; without the lock another station's record may
    // follow it already, so it is left and closed by the next record's newline.
    if (written > 0 && written < record.size() && !(locked && ::ftruncate(fd, start) == 0))
        m_lineOpen = true;
    else if (written == record.size())
        m_lineOpen = false;
    if (locked)
        ::flock(fd, LOCK_UN);
    return written == record.size();
#else
    const qint64 start = m_file->size();
    const QByteArray record = m_lineOpen ? '\n' + line : line;
    const qint64 written = m_file->write(record);
    if (written == record.size()) {
        m_lineOpen = false;
        return true;
    }
    *reason = m_file->errorString();
    if (written > 0 && !m_file->resize(start))
        m_lineOpen = true;
    return false;
#endif
}

bool LogFile::followPath(QString *reason)
{
    if (RegularFile::isOpenAt(*m_file, m_path))
        return true;
    QString error;
    std::unique_ptr<QFile> file = openForAppend(m_path, &error);
    if (!file) {
        *reason = QStringLiteral("it was moved or deleted, and opening it again failed: %1").arg(error);
        return false;
    }
    m_file = std::move(file);
    m_lineOpen = false;
    emit reopened(m_path);
    return true;
}

qint64 LogFile::readData(char * /*data*/, qint64 /*maxSize*/)
{
    return -1;
}

qint64 LogFile::writeData(const char *data, qint64 size)
{
    QString reason;
    if (append(QByteArray::fromRawData(data, size), &reason))
        return size;
    setErrorString(reason);
    return -1;
}
