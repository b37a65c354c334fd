// RegularFile on Unix: stat() before the open, a non-blocking open, fstat() after it.

#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kNewFileMode = 0666; // less the umask, as any new file

RegularFile::Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return RegularFile::Kind::Regular;
    if (S_ISDIR(mode))
        return RegularFile::Kind::Folder;
    if (S_ISFIFO(mode))
        return RegularFile::Kind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return RegularFile::Kind::Device;
    return RegularFile::Kind::Other;
}

RegularFile::Opened failed(const QString &error)
{
    RegularFile::Opened opened;
    opened.result = RegularFile::Result::Failed;
    opened.error = error;
    return opened;
}

// The verdict on what a look or an fstat() found, or Opened when it may be used.
RegularFile::Result judge(RegularFile::Kind kind, qint64 size, qint64 maxBytes)
{
    if (kind != RegularFile::Kind::Regular)
        return RegularFile::Result::NotRegular;
    return size > maxBytes ? RegularFile::Result::TooLarge : RegularFile::Result::Opened;
}

} // namespace

RegularFile::Look RegularFile::look(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    Look found;
    struct stat status = {};
    const bool looked = ::stat(name.constData(), &status) == 0;
    const int error = errno;
    struct stat link = {};
    found.isLink = ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode);
    if (looked) {
        found.kind = kindOf(status.st_mode);
        found.size = status.st_size;
    } else {
        found.kind = error == ENOENT && !found.isLink ? Kind::Missing : Kind::Unreachable;
    }
    return found;
}

RegularFile::Opened RegularFile::open(const QString &path, Access access, qint64 maxBytes)
{
    Opened opened;
    // Looked at before it is opened: opening a device may already do something.
    const Look before = look(path);
    const bool mayBeMade = access == Access::Append && (before.kind == Kind::Missing || before.kind == Kind::Unreachable);
    if (!mayBeMade) {
        opened.kind = before.kind;
        opened.result = judge(before.kind, before.size, maxBytes);
        if (opened.result != Result::Opened)
            return opened;
    }

    // Non-blocking, so that a FIFO or a device put in its place meanwhile cannot hold
    // the program.
    const QByteArray name = QFile::encodeName(path);
    const int flags = (access == Access::Read ? O_RDONLY : O_WRONLY | O_APPEND | O_CREAT) | O_NONBLOCK | O_NOCTTY
                      | O_CLOEXEC;
    const int fd = ::open(name.constData(), flags, kNewFileMode);
    if (fd < 0)
        return failed(qt_error_string(errno));
    auto file = std::make_unique<QFile>(path);
    const QIODevice::OpenMode mode = access == Access::Read
                                         ? QIODevice::ReadOnly | QIODevice::Unbuffered
                                         : QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failed(file->errorString());
    }

    // Judge what was opened, not what the path named a moment before.
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return failed(qt_error_string(errno));
    opened.kind = kindOf(status.st_mode);
    opened.result = judge(opened.kind, status.st_size, maxBytes);
    if (opened.result != Result::Opened)
        return opened;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    opened.file = std::move(file);
    return opened;
}

bool RegularFile::isOpenAt(const QFile &file, const QString &path)
{
    struct stat atPath = {};
    struct stat held = {};
    return ::stat(QFile::encodeName(path).constData(), &atPath) == 0 && ::fstat(file.handle(), &held) == 0
           && atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino;
}
