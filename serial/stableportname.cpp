#include "stableportname.h"

#include <QDir>
#include <QFileInfo>

QString StablePortName::of(const QString &devicePath, const QString &folder)
{
    if (devicePath.isEmpty() || folder.isEmpty())
        return {};
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return {}; // gone
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() && entry.canonicalFilePath() == device)
            return entry.absoluteFilePath();
    }
    return {};
}
