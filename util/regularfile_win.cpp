// RegularFile on Windows: the same looks through QFileInfo and QFile, before the open and
// after it. What Windows does not give here is the guarantee that opening a path that
// has just turned into a device cannot wait; and an open file is never found replaced.

#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

RegularFile::Look RegularFile::look(const QString &path)
{
    const QFileInfo info(path);
    Look found;
    found.isLink = info.isSymLink();
    if (!info.exists())
        found.kind = found.isLink ? Kind::Unreachable : Kind::Missing;
    else if (info.isDir())
        found.kind = Kind::Folder;
    else if (info.isFile())
        found.kind = Kind::Regular;
    else
        found.kind = Kind::Other;
    found.size = found.kind == Kind::Regular ? info.size() : 0;
    return found;
}

RegularFile::Opened RegularFile::open(const QString &path, Access access, qint64 maxBytes)
{
    Opened opened;
    const Look before = look(path);
    opened.kind = before.kind;
    const bool mayBeMade = access == Access::Append && (before.kind == Kind::Missing || before.kind == Kind::Unreachable);
    if (!mayBeMade && before.kind != Kind::Regular) {
        opened.result = Result::NotRegular;
        return opened;
    }
    if (before.kind == Kind::Regular && before.size > maxBytes) {
        opened.result = Result::TooLarge;
        return opened;
    }
    auto file = std::make_unique<QFile>(path);
    const QIODevice::OpenMode mode = access == Access::Read
                                         ? QIODevice::ReadOnly | QIODevice::Unbuffered
                                         : QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    if (!file->open(mode)) {
        opened.result = Result::Failed;
        opened.error = file->errorString();
        return opened;
    }
    if (file->size() > maxBytes) {
        opened.result = Result::TooLarge;
        return opened;
    }
    opened.kind = Kind::Regular;
    opened.result = Result::Opened;
    opened.file = std::move(file);
    return opened;
}

bool RegularFile::isOpenAt(const QFile & /*file*/, const QString & /*path*/)
{
    return true;
}
