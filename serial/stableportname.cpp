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
    return byDevice(folder).value(device);
}

QHash<QString, QString> StablePortName::byDevice(const QString &folder)
{
    QHash<QString, QString> links;
    if (folder.isEmpty())
        return links;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString device = entry.canonicalFilePath();
        if (entry.isSymLink() && !device.isEmpty() && !links.contains(device))
            links.insert(device, entry.absoluteFilePath());
    }
    return links;
}
