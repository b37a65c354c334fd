#pragma once

// LogFile: the --log file, where every record is appended as one whole line.

#include <QIODevice>
#include <QString>

#include <memory>

class QFile;

// The --log file, opened for appending before any port is asked. Only a regular file
// (or a new one) is taken: a FIFO would hold the program until something reads it, and
// a device or a folder keeps no record.
//
// Each write() is one record, appended whole or not at all: a write the disk cannot
// take whole is cut off again, so no torn line is left for the next record to be glued
// to (should the cut fail, the next record begins on a line of its own). Stations
// sharing one file take turns through an advisory lock (WholeAppend, on Unix). Before
// each record the path is looked at again: a file moved, deleted or replaced meanwhile
// is let go, the path opened anew under the same rules, and reopened() says so.
class LogFile : public QIODevice
{
    Q_OBJECT

public:
    struct Opened
    {
        std::unique_ptr<LogFile> file; // null when it could not be opened
        QString error;                 // why, in English
    };

    static Opened open(const QString &path);
    // The file at path, open for appending (see open()).
    LogFile(QString path, std::unique_ptr<QFile> file);
    ~LogFile() override;

    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    bool isSequential() const override { return true; }
    // Appends line (one record, ending in a newline); on failure, the reason (the
    // system's words for it, e.g. "No space left on device").
    bool append(const QByteArray &line, QString *reason);

signals:
    // The path was another file than the one open: that file is opened now.
    void reopened(const QString &path);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    // Makes sure the file open is the one at the path, opening the path again if not;
    // false (reason set) when that fails.
    bool followPath(QString *reason);

    QString m_path;
    std::unique_ptr<QFile> m_file;
    bool m_lineOpen = false; // a record's beginning could not be cut off: the file ends mid-line
};
