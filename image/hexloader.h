#pragma once

#include "hexloadfindings.h"
#include "loadedimage.h"

#include <QtGlobal>

class QIODevice;
class QString;

enum class HexLoadResult {
    Suitable,   // file accepted; the image passes the suitability test
    Unsuitable, // file accepted; the image fails the suitability test
    Refused,    // a data byte lay outside the image
    Malformed,  // a record breaks the format the loader reads, sets a segment other than 0,
                // or follows the end-of-file record
    CutOff,     // no end-of-file record, or a data record shorter than its byte count
    NoData,     // the file stores no data byte in the image
    TooLarge,   // the file is larger than HexLoader::kMaxFileBytes
    Unreadable  // not a regular file, or it could not be opened or read
};

// What a load means to whoever chose the file, the same for the window and zorbelflash:
// HexLoader::verdictOf folds the results into these. Why a file is not suitable is in
// the load's HexLoadFindings (refusal and line).
enum class HexVerdict {
    Suitable,    // the image may be written
    NotSuitable, // not to be written: not for the instrument, refused, malformed, cut
                 // off, without data, or too large to be read
    Unreadable,  // not a regular file, or it could not be opened or read
};

// Loads one Intel HEX file into a flash image. Every load starts from a fresh
// image (every entry kErasedByte); a file that is accepted (Suitable or
// Unsuitable) replaces the image whole, its end becoming the highest address the
// file stored a byte at. Any other result leaves the image exactly as it was.
class HexLoader
{
public:
    // Bound on the size of a file that is read at all. A complete image for the
    // instrument is under 200 kB as HEX text.
    static constexpr qint64 kMaxFileBytes = qint64(64) * 1024 * 1024;

    // Reads only a regular file (after following links) of at most
    // kMaxFileBytes. Anything else is judged without being read: a pipe,
    // device, socket or folder is Unreadable and is not opened; a larger file
    // is TooLarge. A path that turns into something else after it was looked at
    // is found out after opening, before any read; on POSIX systems opening it
    // never waits (elsewhere the file is opened through QFile alone).
    // findings, when given, receives where and why the file was refused and the
    // records with a wrong checksum.
    static HexLoadResult loadFile(const QString& path, LoadedImage& image,
                                  HexLoadFindings* findings = nullptr);

    // Reads from a device already open for reading, as text split at white
    // space (as QTextStream extraction splits it), in chunks, and at most
    // kMaxFileBytes of it (TooLarge beyond). A device not open for reading, or
    // one whose read fails, is Unreadable.
    static HexLoadResult loadDevice(QIODevice& device, LoadedImage& image,
                                    HexLoadFindings* findings = nullptr);

    // The verdict on a load's result, the one folding both front ends use.
    static HexVerdict verdictOf(HexLoadResult result);

private:
    // loadDevice, into fresh findings.
    static HexLoadResult load(QIODevice& device, LoadedImage& image, HexLoadFindings& found);
};
