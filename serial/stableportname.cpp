#include "stableportname.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

QString StablePortName::of(const QString &devicePath, const QString &folder)
{
    if (devicePath.isEmpty() || folder.isEmpty())
        return {};
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return {}; // gone
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    const auto link = std::find_if(entries.cbegin(), entries.cend(), [&device](const QFileInfo &entry) {
        return entry.isSymLink() && entry.canonicalFilePath() == device;
    });
    return link == entries.cend() ? QString() : link->absoluteFilePath();
}
