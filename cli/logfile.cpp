#include "logfile.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
constexpr mode_t kNewFileMode = 0666; // less the umask, as any new file

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
#endif

} // namespace

LogFile::Opened LogFile::open(const QString &path)
{
    Opened opened;
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    // Looked at before it is opened: opening a device may already do something.
    if (::stat(name.constData(), &status) == 0 && !refusal(status.st_mode).isEmpty()) {
        opened.error = refusal(status.st_mode);
        return opened;
    }
    // Non-blocking, so that a FIFO put in its place meanwhile cannot hold the program.
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          kNewFileMode);
    if (fd < 0) {
        opened.error = qt_error_string(errno);
        return opened;
    }
    if (::fstat(fd, &status) != 0)
        opened.error = qt_error_string(errno);
    else
        opened.error = refusal(status.st_mode);
    if (!opened.error.isEmpty()) {
        ::close(fd);
        return opened;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        opened.error = file->errorString();
        ::close(fd);
        return opened;
    }
    opened.file = std::move(file);
#else
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        opened.error = file->errorString();
        return opened;
    }
    opened.file = std::move(file);
#endif
    return opened;
}
