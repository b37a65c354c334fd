// HexLoader: which paths are read, and the verdict on the records of a HEX file.

#include "hexloader.h"

#include "hexrecordinterpreter.h"
#include "hextokenreader.h"
#include "regularfile.h"

#include <QFile>
#include <QIODevice>
#include <QString>

namespace {

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

    // Only a regular file within the bound is read, and opening it never waits.
    const RegularFile::Opened opened = RegularFile::open(path, RegularFile::Access::Read, kMaxFileBytes);
    switch (opened.result) {
    case RegularFile::Result::Opened:
        break;
    case RegularFile::Result::TooLarge:
        return judged(HexLoadResult::TooLarge);
    case RegularFile::Result::NotRegular:
    case RegularFile::Result::Failed:
        return judged(HexLoadResult::Unreadable);
    }
    return loadDevice(*opened.file, image, findings);
}

HexVerdict HexLoader::verdictOf(HexLoadResult result)
{
    switch (result) {
    case HexLoadResult::Suitable:
        return HexVerdict::Suitable;
    case HexLoadResult::Unreadable:
        return HexVerdict::Unreadable;
    case HexLoadResult::Unsuitable:
    case HexLoadResult::Refused:
    case HexLoadResult::Malformed:
    case HexLoadResult::CutOff:
    case HexLoadResult::NoData:
    case HexLoadResult::TooLarge:
        break;
    }
    return HexVerdict::NotSuitable;
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
