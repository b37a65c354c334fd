#pragma once

#include <QHash>
#include <QString>

// The stable name of a serial adapter: the link in /dev/serial/by-id/ that points at
// its device (named by the adapter's maker, model and serial number, the same in
// whichever socket and under whichever ttyUSBn it appears), as Linux keeps them. Elsewhere,
// and for devices without such a link (built-in ports, pseudo-terminals), none.
class StablePortName
{
public:
    static constexpr const char *kByIdFolder = "/dev/serial/by-id";

    // The link in `folder` that resolves to devicePath (which may itself be a link),
    // as an absolute path; empty when there is none.
    static QString of(const QString &devicePath, const QString &folder = QString::fromLatin1(kByIdFolder));
    // Every link in `folder` (absolute), by the device it resolves to; where two lead to
    // one device, the first by name. For looking up many devices with one listing.
    static QHash<QString, QString> byDevice(const QString &folder = QString::fromLatin1(kByIdFolder));
};
