#include "hexloader.h"

#include "hexrecordinterpreter.h"

#include <QFile>
#include <QFileDevice>
#include <QString>
#include <QTextStream>

HexLoadResult HexLoader::loadFile(const QString& path, FlashImage& image, int& imageEnd)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return HexLoadResult::Unreadable;
    return loadDevice(file, image, imageEnd);
}

HexLoadResult HexLoader::loadDevice(QIODevice& device, FlashImage& image, int& imageEnd)
{
    if (!device.isReadable())
        return HexLoadResult::Unreadable;

    HexRecordInterpreter interpreter(image, imageEnd);
    QTextStream stream(&device);
    QString token;
    for (;;) {
        // Extraction skips white space and reads at least one character, so an
        // empty token means the end of the text.
        stream >> token;
        if (token.isEmpty())
            break;
        interpreter.interpret(token);
        if (interpreter.state() == HexRecordInterpreter::State::Refused)
            return HexLoadResult::Refused;
    }

    // A read error ends the text early, just like the end of the file does.
    const auto* fileDevice = qobject_cast<const QFileDevice*>(&device);
    if (fileDevice != nullptr && fileDevice->error() != QFileDevice::NoError)
        return HexLoadResult::Unreadable;

    image = interpreter.image();
    imageEnd = interpreter.imageEnd();
    return isSuitable(image, imageEnd) ? HexLoadResult::Suitable : HexLoadResult::Unsuitable;
}
