#include "hexloader.h"

#include "hexrecordinterpreter.h"
#include "hextokenreader.h"

#include <QFile>
#include <QString>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QFileInfo>
#endif

#include <optional>

namespace {

// The verdict a look at a path or an open file gives before any byte is read,
// or nothing when the file may be read.
std::optional<HexLoadResult> judgeBeforeReading(bool regularFile, qint64 size)
{
    if (!regularFile)
        return HexLoadResult::Unreadable;
    if (size > HexLoader::kMaxFileBytes)
        return HexLoadResult::TooLarge;
    return std::nullopt;
}

#ifdef Q_OS_UNIX
std::optional<HexLoadResult> judgeBeforeReading(const struct stat& status)
{
    return judgeBeforeReading(S_ISREG(status.st_mode), status.st_size);
}
#endif

} // namespace

#ifdef Q_OS_UNIX
HexLoadResult HexLoader::loadFile(const QString& path, LoadedImage& image)
{
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat status {};
    if (::stat(nativePath.constData(), &status) != 0)
        return HexLoadResult::Unreadable;
    if (const auto verdict = judgeBeforeReading(status))
        return *verdict;

    // O_NONBLOCK: should the path have become a pipe or a device since the look
    // above, opening it must not wait for a writer or a carrier.
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return HexLoadResult::Unreadable;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return HexLoadResult::Unreadable;
    }
    // Judge what was opened, not what the path named a moment before.
    if (::fstat(fd, &status) != 0)
        return HexLoadResult::Unreadable;
    if (const auto verdict = judgeBeforeReading(status))
        return *verdict;
    return loadDevice(file, image);
}
#else
// Elsewhere through QFile alone: the same look before opening and after it, without
// the guarantee that opening a path that has just turned into a device cannot wait.
HexLoadResult HexLoader::loadFile(const QString& path, LoadedImage& image)
{
    const QFileInfo info(path);
    if (const auto verdict = judgeBeforeReading(info.isFile(), info.size()))
        return *verdict;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return HexLoadResult::Unreadable;
    if (const auto verdict = judgeBeforeReading(true, file.size()))
        return *verdict;
    return loadDevice(file, image);
}
#endif

HexLoadResult HexLoader::loadDevice(QIODevice& device, LoadedImage& image)
{
    if (!device.isReadable())
        return HexLoadResult::Unreadable;

    HexRecordInterpreter interpreter;
    HexTokenReader reader(device, kMaxFileBytes);
    QString token;
    for (;;) {
        const HexTokenReader::Status status = reader.next(token);
        if (status == HexTokenReader::Status::End)
            break;
        if (status == HexTokenReader::Status::TooLarge)
            return HexLoadResult::TooLarge;
        if (status == HexTokenReader::Status::ReadError)
            return HexLoadResult::Unreadable;

        interpreter.interpret(token);
        switch (interpreter.state()) {
        case HexRecordInterpreter::State::Interpreting:
            break;
        case HexRecordInterpreter::State::Refused:
            return HexLoadResult::Refused;
        case HexRecordInterpreter::State::CutOff:
            return HexLoadResult::CutOff;
        }
    }

    if (!interpreter.storedData())
        return HexLoadResult::NoData;
    if (!interpreter.sawEndOfFile())
        return HexLoadResult::CutOff;

    image.bytes() = interpreter.image();
    image.setEnd(interpreter.imageEnd());
    return image.isSuitable() ? HexLoadResult::Suitable : HexLoadResult::Unsuitable;
}
