#pragma once

#include <QString>

#include <optional>

// The window's font size in the user's settings file: the file QSettings gives the
// organization "RUD" and the application "Lumwerk" (on Linux
// $XDG_CONFIG_HOME/RUD/Lumwerk.conf, else ~/.config/RUD/Lumwerk.conf; on Windows the
// registry, read and written as it is).
//
// The file is looked at before anything opens it. One that is not a regular file
// (a pipe, a device, a folder, a link to none of these or to nothing) or is larger
// than kMaxFileBytes is neither read nor written: the window keeps its defaults, and
// one warning goes to the log category zorbel.settings. A link to a regular file is
// read through. The size is written only when the file does not already hold it, so
// an unchanged setting leaves the file (and a link to it) as it was; and through a
// link only when the file it points to holds a size already (a write replaces the
// file the link points to).
class FontSizeSetting
{
public:
    // A settings file holds a few lines; a larger one is not read at all.
    static constexpr qint64 kMaxFileBytes = qint64(64) * 1024;

    FontSizeSetting();

    // The stored size, when the file may be read and holds a whole number that fits
    // an int; nothing otherwise.
    std::optional<int> stored();
    // Writes pixels when the file may be written and does not hold it already.
    void store(int pixels);

    QString fileName() const { return m_fileName; }

private:
    // Whether the file may be opened: missing, or a regular file within the bound.
    bool fileUsable();
    // Logs the problem, the first time there is one.
    void warn(const QString &problem);

    QString m_fileName; // empty on Windows
    bool m_warned = false;
};
