// WholeAppend on Unix: flock() held briefly, fstat() for where the record begins, write()
// and ftruncate() for a part to cut off.

#include "wholeappend.h"

#include <QByteArray>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

namespace WholeAppend {

Result append(QFile &file, const QByteArray &record)
{
    Result result;
    const int fd = file.handle();
    const bool locked = lockBriefly(fd);
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        result.error = qt_error_string(errno);
        if (locked)
            ::flock(fd, LOCK_UN);
        return result;
    }
    // With O_APPEND, and the other stations held off by the lock, the record begins here.
    const off_t start = status.st_size;
    qint64 written = 0;
    while (written < record.size()) {
        const ssize_t count = ::write(fd, record.constData() + written, static_cast<size_t>(record.size() - written));
        if (count > 0)
            written += count;
        else if (count < 0 && errno == EINTR)
            continue;
        else {
            result.error = qt_error_string(count < 0 ? errno : EIO);
            break;
        }
    }
    // A part of a record is cut off again; without the lock another station's record may
    // follow it already, so it is left (and the file ends mid-line).
    if (written == record.size())
        result.outcome = Result::Outcome::Whole;
    else if (written > 0 && !(locked && ::ftruncate(fd, start) == 0))
        result.outcome = Result::Outcome::Torn;
    if (locked)
        ::flock(fd, LOCK_UN);
    return result;
}

} // namespace WholeAppend
