// LogFile: opening the --log file, and appending one record at a time.

#include "logfile.h"

#include "regularfile.h"
#include "wholeappend.h"

#include <QFile>

#include <utility>

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
    if (!followPath(reason))
        return false;
    const WholeAppend::Result appended = WholeAppend::append(*m_file, m_lineOpen ? '\n' + line : line);
    switch (appended.outcome) {
    case WholeAppend::Result::Outcome::Whole:
        m_lineOpen = false;
        return true;
    case WholeAppend::Result::Outcome::Torn:
        // Closed by the next record's newline.
        m_lineOpen = true;
        break;
    case WholeAppend::Result::Outcome::NotWritten:
        break;
    }
    *reason = appended.error;
    return false;
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
