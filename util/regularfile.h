#pragma once

// RegularFile: a path looked at before anything opens it, and opened only when it is a
// regular file, without ever waiting. The platform's side: regularfile_posix.cpp and
// regularfile_win.cpp.

#include <QString>
#include <QtGlobal>

#include <limits>
#include <memory>

class QFile;

// Opening a FIFO waits for a writer, opening a device may already do something, and a
// folder or a device keeps no data: the files the loader reads and writes (the HEX file,
// the --log file, the settings file) are looked at first, and only a regular file is
// taken. On Unix the open itself never waits either (should the path have turned into a
// FIFO or a device since the look), and what was opened is looked at again, so the
// verdict holds for the file open, not for what the path named a moment before.
class RegularFile
{
public:
    // What a path names, symbolic links followed.
    enum class Kind {
        Regular,
        Missing,     // nothing at the path, not even a link
        Unreachable, // cannot be looked at (e.g. no permission), or a link to nothing
        Folder,
        Fifo,
        Device, // a character or block device
        Other   // a socket, or anything else
    };

    struct Look
    {
        Kind kind = Kind::Missing;
        qint64 size = 0;     // bytes, of a regular file
        bool isLink = false; // the path itself is a symbolic link
    };

    enum class Access {
        Read,  // read only
        Append // write only, at the end; a missing file is made (0666 less the umask)
    };

    enum class Result {
        Opened,
        NotRegular, // the path or the file opened is not a regular file (see kind); for
                    // Read also nothing at the path
        TooLarge,   // a regular file larger than maxBytes
        Failed      // the open failed; see error
    };

    struct Opened
    {
        Result result = Result::Failed;
        std::unique_ptr<QFile> file; // open (unbuffered), for Opened only
        Kind kind = Kind::Missing;   // what was found, for NotRegular
        QString error;               // the system's words, for Failed
    };

    static constexpr qint64 kNoSizeLimit = std::numeric_limits<qint64>::max();

    // What path names now. Nothing is opened.
    static Look look(const QString &path);
    // Opens path for access when it is a regular file of at most maxBytes (Append: or
    // nothing is there yet, or it cannot be looked at: the open then says why).
    static Opened open(const QString &path, Access access, qint64 maxBytes = kNoSizeLimit);
    // Whether file (open) is still the file at path: neither moved, deleted nor replaced
    // meanwhile. True where this cannot be told.
    static bool isOpenAt(const QFile &file, const QString &path);
};
