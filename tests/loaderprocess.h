#pragma once

#include <QProcessEnvironment>
#include <QSettings>
#include <QString>

// The loader started as a program of its own: headless, with the given port map, its
// settings under configHome and every debug category on.
inline QProcessEnvironment loaderEnvironment(const QString &ports, const QString &configHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ZORBEL_PORTS", ports);
    env.insert("XDG_CONFIG_HOME", configHome);
    env.insert("QT_LOGGING_RULES", "*.debug=true");
    return env;
}

// The settings store of a loader started with XDG_CONFIG_HOME=configHome.
inline QSettings loaderSettings(const QString &configHome)
{
    return QSettings(configHome + QStringLiteral("/RUD/Lumwerk.conf"), QSettings::IniFormat);
}
