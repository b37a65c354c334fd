// LogFile: opening the --log file, and appending one record at a time.

#include "logfile.h"

#include <QFile>
#include <QThread>

#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
constexpr mode_t kNewFileMode = 0666; // less the umask, as any new file
// Another station's append holds the lock for far less than this; a program that holds
// it longer is not waited for (the record is appended without the lock).
constexpr int kLockTries = 50;
constexpr unsigned long kLockRetryMs = 2;

// Why a file of this type keeps no record; empty for a regular file.
QString refusal(mode_t mode)
{
    if (S_ISREG(mode))
        return {};
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a file");
    return QStringLiteral("it is not a regular file");
}

// The path opened for appending, or -1 with the reason: a regular file or a new one only,
// and nothing that could hold the program.
int openForAppend(const QString &path, QString *reason)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    // Looked at before it is opened: opening a device may already do something.
    if (::stat(name.constData(), &status) == 0 && !refusal(status.st_mode).isEmpty()) {
        *reason = refusal(status.st_mode);
        return -1;
    }
    // Non-blocking, so that a FIFO put in its place meanwhile cannot hold the program.
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          kNewFileMode);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return -1;
    }
    *reason = ::fstat(fd, &status) != 0 ? qt_error_string(errno) : refusal(status.st_mode);
    if (!reason->isEmpty()) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

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
    auto file = std::make_unique<QFile>(path);
#ifdef Q_OS_UNIX
    const int fd = openForAppend(path, &opened.error);
    if (fd < 0)
        return opened;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        opened.error = file->errorString();
        ::close(fd);
        return opened;
    }
#else
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        opened.error = file->errorString();
        return opened;
    }
#endif
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
#ifdef Q_OS_UNIX
    struct stat atPath = {};
    struct stat held = {};
    if (::stat(QFile::encodeName(m_path).constData(), &atPath) == 0 && ::fstat(m_file->handle(), &held) == 0
        && atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino)
        return true;
    QString error;
    const int fd = openForAppend(m_path, &error);
    auto file = std::make_unique<QFile>(m_path);
    if (fd < 0 || !file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                              QFileDevice::AutoCloseHandle)) {
        if (fd >= 0) {
            error = file->errorString();
            ::close(fd);
        }
        *reason = QStringLiteral("it was moved or deleted, and opening it again failed: %1").arg(error);
        return false;
    }
    m_file = std::move(file);
    m_lineOpen = false;
    emit reopened(m_path);
#else
    Q_UNUSED(reason);
#endif
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
