#pragma once

#include "flashimage.h"

class QIODevice;
class QString;

enum class HexLoadResult {
    Suitable,   // file accepted; the image passes the suitability test
    Unsuitable, // file accepted; the image fails the suitability test
    Refused,    // a data byte lay outside the image; image and end unchanged
    Unreadable  // the file could not be opened or read; image and end unchanged
};

// Loads Intel HEX files into a flash image. The image is never cleared: a
// load overwrites only the addresses its data records name, and imageEnd
// becomes the end of the file's last stored data record. A file that is
// refused or cannot be read leaves both exactly as they were.
class HexLoader
{
public:
    static HexLoadResult loadFile(const QString& path, FlashImage& image, int& imageEnd);

    // Reads from a device already open for reading, as text split at white
    // space (as QTextStream extraction splits it). Read errors are detected on
    // file devices (QFileDevice::error()); a device not open for reading is
    // Unreadable.
    static HexLoadResult loadDevice(QIODevice& device, FlashImage& image, int& imageEnd);
};
