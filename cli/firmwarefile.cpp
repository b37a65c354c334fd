#include "firmwarefile.h"

#include "flashwriter.h"
#include "hexloader.h"
#include "instrumentprotocol.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr int kLowByteMask = 0xFF;

QString unreadableReason(const QFileInfo &info)
{
    if (!info.exists())
        return QStringLiteral("no such file");
    if (info.isDir())
        return QStringLiteral("is a folder");
    if (!info.isReadable())
        return QStringLiteral("permission denied");
    return QStringLiteral("cannot be read");
}

QString unsuitableReason(const LoadedImage &image)
{
    if (!image.signatureInPlace()) {
        return QStringLiteral("the instrument's signature is missing at addresses %1 to %2")
            .arg(kSignatureAddress)
            .arg(kSignatureAddress + static_cast<int>(kSignatureLength) - 1);
    }
    if (!image.fitsInstrument())
        return QStringLiteral("it ends at address %1, beyond %2").arg(image.end()).arg(kImageEndLimit);
    return QStringLiteral("not suitable");
}

} // namespace

FirmwareFile::FirmwareFile()
    : m_image(std::make_shared<LoadedImage>())
{
}

FirmwareFile FirmwareFile::load(const QString &path)
{
    FirmwareFile file;
    const QFileInfo info(path);
    file.m_path = info.absoluteFilePath();
    // The one call of the loader: the window's HEX load makes the same.
    const HexLoadResult result = HexLoader::loadFile(path, *file.m_image);
    switch (result) {
    case HexLoadResult::Suitable:
        file.m_verdict = Verdict::Suitable;
        return file;
    case HexLoadResult::Unreadable:
        file.m_verdict = Verdict::Unreadable;
        file.m_reason = unreadableReason(info);
        return file;
    case HexLoadResult::Refused:
        file.m_verdict = Verdict::NotSuitable;
        file.m_reason = QStringLiteral("a data record lies outside the flash image (addresses 0 to %1)")
                            .arg(kFlashImageSize - 1);
        return file;
    case HexLoadResult::Malformed:
        file.m_verdict = Verdict::NotSuitable;
        file.m_reason = QStringLiteral("a record is malformed (a stray character, two records on one line, "
                                       "more digits than its byte count) or sets a segment other than 0");
        return file;
    case HexLoadResult::CutOff:
        file.m_verdict = Verdict::NotSuitable;
        file.m_reason = QStringLiteral("the file is cut off (no end-of-file record, or a record shorter than "
                                       "its byte count)");
        return file;
    case HexLoadResult::NoData:
        file.m_verdict = Verdict::NotSuitable;
        file.m_reason = QStringLiteral("the file stores no data the instrument takes");
        return file;
    case HexLoadResult::TooLarge:
        file.m_verdict = Verdict::NotSuitable;
        file.m_reason = QStringLiteral("the file is larger than %1 bytes").arg(HexLoader::kMaxFileBytes);
        return file;
    case HexLoadResult::Unsuitable:
        break;
    }
    file.m_verdict = Verdict::NotSuitable;
    file.m_reason = unsuitableReason(*file.m_image);
    return file;
}

int FirmwareFile::blocksToSend() const
{
    return m_image->end() < 0 ? 0 : m_image->blockCount();
}

QByteArray FirmwareFile::blockDataSha256(int blocks) const
{
    const int bytes = std::clamp(blocks * InstrumentProtocol::kBlockBytes, 0, kFlashImageSize);
    QByteArray data(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        data[i] = static_cast<char>(m_image->bytes()[static_cast<std::size_t>(i)] & kLowByteMask);
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}
