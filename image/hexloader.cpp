#include "hexloader.h"

#include "hexrecordinterpreter.h"
#include "hextokenreader.h"

#include <QFile>
#include <QIODevice>
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

// The refusal that a verdict reached before or without the records tells of.
HexRefusal refusalFor(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::TooLarge:
        return HexRefusal::TooLarge;
    case HexLoadResult::Unreadable:
        return HexRefusal::Unreadable;
    case HexLoadResult::NoData:
        return HexRefusal::NoData;
    case HexLoadResult::Suitable:
    case HexLoadResult::Unsuitable:
    case HexLoadResult::Refused:
    case HexLoadResult::Malformed:
    case HexLoadResult::CutOff:
        break;
    }
    return HexRefusal::None;
}

// Reads the device's tokens into the interpreter: the verdict of the records alone
// (Suitable for a file the image's own test is still to judge).
HexLoadResult interpretTokens(QIODevice& device, HexRecordInterpreter& interpreter)
{
    HexTokenReader reader(device, HexLoader::kMaxFileBytes);
    QString token;
    while (interpreter.state() != HexRecordInterpreter::State::Ended) {
        const HexTokenReader::Status status = reader.next(token);
        if (status == HexTokenReader::Status::End)
            break;
        if (status == HexTokenReader::Status::TooLarge)
            return HexLoadResult::TooLarge;
        if (status == HexTokenReader::Status::ReadError)
            return HexLoadResult::Unreadable;

        interpreter.interpret(token, reader.line(), reader.recordMarkCutOff());
        switch (interpreter.state()) {
        case HexRecordInterpreter::State::Interpreting:
        case HexRecordInterpreter::State::Ended: // nothing after the mark is read
            break;
        case HexRecordInterpreter::State::Refused:
            return interpreter.refusal() == HexRefusal::OutsideImage ? HexLoadResult::Refused
                                                                      : HexLoadResult::Malformed;
        case HexRecordInterpreter::State::CutOff:
            return HexLoadResult::CutOff;
        }
    }

    if (!interpreter.storedData())
        return HexLoadResult::NoData;
    if (!interpreter.sawEndOfFile())
        return HexLoadResult::CutOff;
    return HexLoadResult::Suitable; // the image's own test decides
}

} // namespace

HexLoadResult HexLoader::loadFile(const QString& path, LoadedImage& image, HexLoadFindings* findings)
{
    const auto judged = [findings](HexLoadResult result) {
        if (findings != nullptr) {
            *findings = HexLoadFindings();
            findings->refusal = refusalFor(result);
        }
        return result;
    };

#ifdef Q_OS_UNIX
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat status {};
    if (::stat(nativePath.constData(), &status) != 0)
        return judged(HexLoadResult::Unreadable);
    if (const auto verdict = judgeBeforeReading(status))
        return judged(*verdict);

    // O_NONBLOCK: should the path have become a pipe or a device since the look
    // above, opening it must not wait for a writer or a carrier.
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return judged(HexLoadResult::Unreadable);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return judged(HexLoadResult::Unreadable);
    }
    // Judge what was opened, not what the path named a moment before.
    if (::fstat(fd, &status) != 0)
        return judged(HexLoadResult::Unreadable);
    if (const auto verdict = judgeBeforeReading(status))
        return judged(*verdict);
#else
    // Elsewhere through QFile alone: the same look before opening and after it, without
    // the guarantee that opening a path that has just turned into a device cannot wait.
    const QFileInfo info(path);
    if (const auto verdict = judgeBeforeReading(info.isFile(), info.size()))
        return judged(*verdict);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return judged(HexLoadResult::Unreadable);
    if (const auto verdict = judgeBeforeReading(true, file.size()))
        return judged(*verdict);
#endif
    return loadDevice(file, image, findings);
}

HexLoadResult HexLoader::loadDevice(QIODevice& device, LoadedImage& image, HexLoadFindings* findings)
{
    HexLoadFindings found;
    const HexLoadResult result = load(device, image, found);
    if (findings != nullptr)
        *findings = found;
    return result;
}

HexLoadResult HexLoader::load(QIODevice& device, LoadedImage& image, HexLoadFindings& found)
{
    if (!device.isReadable()) {
        found.refusal = HexRefusal::Unreadable;
        return HexLoadResult::Unreadable;
    }

    HexRecordInterpreter interpreter;
    const HexLoadResult result = interpretTokens(device, interpreter);
    found.badChecksums = interpreter.badChecksums();
    found.badChecksumLines = interpreter.badChecksumLines();
    switch (result) {
    case HexLoadResult::Refused:
    case HexLoadResult::Malformed:
    case HexLoadResult::CutOff:
        if (interpreter.refusal() != HexRefusal::None) {
            found.refusal = interpreter.refusal();
            found.line = interpreter.refusalLine();
        } else { // the file ended without an end-of-file record
            found.refusal = HexRefusal::NoEndOfFileRecord;
            found.line = interpreter.lastLine();
        }
        return result;
    case HexLoadResult::NoData:
    case HexLoadResult::TooLarge:
    case HexLoadResult::Unreadable:
        found.refusal = refusalFor(result);
        return result;
    case HexLoadResult::Suitable:
    case HexLoadResult::Unsuitable:
        break;
    }

    image.bytes() = interpreter.image();
    image.setEnd(interpreter.imageEnd());
    if (!image.signatureInPlace()) {
        found.refusal = HexRefusal::NoSignature;
    } else if (!image.fitsInstrument()) {
        found.refusal = HexRefusal::PastInstrumentEnd;
        found.line = interpreter.firstLineBeyondLimit();
    }
    return image.isSuitable() ? HexLoadResult::Suitable : HexLoadResult::Unsuitable;
}
