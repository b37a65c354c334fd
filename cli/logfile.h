#pragma once

#include <QString>

#include <memory>

class QFile;

// The --log file, opened for appending before any port is asked. Only a regular file
// (or a new one) is taken: a FIFO would hold the program until something reads it, and
// a device or a folder keeps no record.
class LogFile
{
public:
    struct Opened
    {
        std::unique_ptr<QFile> file; // null when it could not be opened
        QString error;               // why, in English
    };

    static Opened open(const QString &path);
};
