#include "firmwarefile.h"

#include "flashwriter.h"
#include "hexloader.h"
#include "instrumentprotocol.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStringList>

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

// Why the loader refused the file or judged it not suitable, and where, as it says.
QString refusalReason(const HexLoadFindings &findings, const LoadedImage &image)
{
    QString what;
    switch (findings.refusal) {
    case HexRefusal::TwoRecordsOnOneLine:
        what = QStringLiteral("two records glued together");
        break;
    case HexRefusal::TextBeforeRecord:
        what = QStringLiteral("text before a record");
        break;
    case HexRefusal::BadCharacter:
        what = QStringLiteral("a character other than a hex digit in a record");
        break;
    case HexRefusal::RecordTooLong:
        what = QStringLiteral("record longer than its byte count");
        break;
    case HexRefusal::RecordCutOff:
        what = QStringLiteral("record cut off");
        break;
    case HexRefusal::SegmentNotZero:
        what = QStringLiteral("segment address other than 0000");
        break;
    case HexRefusal::RecordAfterEnd:
        what = QStringLiteral("a record after the end-of-file record");
        break;
    case HexRefusal::OutsideImage:
        what = QStringLiteral("a data byte outside the flash image (addresses 0 to %1)").arg(kFlashImageSize - 1);
        break;
    case HexRefusal::NoEndOfFileRecord:
        return QStringLiteral("no end-of-file record");
    case HexRefusal::NoData:
        return QStringLiteral("the file stores no data the instrument takes");
    case HexRefusal::NoSignature:
        return QStringLiteral("the instrument's signature is missing at addresses %1 to %2")
            .arg(kSignatureAddress)
            .arg(kSignatureAddress + static_cast<int>(kSignatureLength) - 1);
    case HexRefusal::PastInstrumentEnd:
        return QStringLiteral("it ends at address %1, beyond %2").arg(image.end()).arg(kImageEndLimit);
    case HexRefusal::TooLarge:
        return QStringLiteral("the file is larger than %1 bytes").arg(HexLoader::kMaxFileBytes);
    case HexRefusal::None:
    case HexRefusal::Unreadable:
        return QStringLiteral("not suitable");
    }
    if (findings.line == HexLoadFindings::kNoLine)
        return what;
    return QStringLiteral("line %1: %2").arg(findings.line).arg(what);
}

} // namespace

FirmwareFile::FirmwareFile()
    : m_image(std::make_shared<LoadedImage>())
{
}

FirmwareFile FirmwareFile::load(const QString &path, Checksums checksums)
{
    FirmwareFile file;
    const QFileInfo info(path);
    file.m_path = info.absoluteFilePath();
    // The one call of the loader: the window's HEX load makes the same.
    file.m_verdict = HexLoader::verdictOf(HexLoader::loadFile(path, *file.m_image, &file.m_findings));
    switch (file.m_verdict) {
    case HexVerdict::Suitable:
        if (checksums == Checksums::Refuse && file.m_findings.badChecksums > 0) {
            file.m_verdict = HexVerdict::NotSuitable;
            file.m_reason = file.checksumWarning() + QStringLiteral(" (--strict)");
        }
        break;
    case HexVerdict::Unreadable:
        file.m_reason = unreadableReason(info);
        break;
    case HexVerdict::NotSuitable:
        file.m_reason = refusalReason(file.m_findings, *file.m_image);
        break;
    }
    return file;
}

QString FirmwareFile::checksumWarning() const
{
    const int count = m_findings.badChecksums;
    if (count == 0)
        return {};
    QStringList lines;
    for (const int line : m_findings.badChecksumLines)
        lines.append(QString::number(line));
    const QString where = count == 1 ? QStringLiteral("line %1").arg(lines.value(0))
                          : count > lines.size() ? QStringLiteral("the first at lines %1").arg(lines.join(QStringLiteral(", ")))
                                                 : QStringLiteral("lines %1").arg(lines.join(QStringLiteral(", ")));
    return QStringLiteral("%1 record%2 with a wrong checksum (%3)")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"), where);
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
