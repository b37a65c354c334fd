#pragma once

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>

// Points the settings store at a temporary folder so that no test touches the
// user's real settings: QSettings's own paths, and XDG_CONFIG_HOME, from which the
// window finds its file.
class SettingsSandbox
{
public:
    SettingsSandbox() : oldConfigHome(qgetenv("XDG_CONFIG_HOME")), hadConfigHome(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path() + "/system");
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.path() + "/system");
    }
    // A sandbox made while this one lived has taken the variable over: left to it.
    ~SettingsSandbox()
    {
        if (qgetenv("XDG_CONFIG_HOME") != QFile::encodeName(dir.path()))
            return;
        if (hadConfigHome)
            qputenv("XDG_CONFIG_HOME", oldConfigHome);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    SettingsSandbox(const SettingsSandbox &) = delete;
    SettingsSandbox &operator=(const SettingsSandbox &) = delete;

    QString path() const { return dir.path(); }
    // The window's settings file.
    QString filePath() const { return dir.path() + QStringLiteral("/RUD/Lumwerk.conf"); }

    // The stored "fontsize"; an invalid variant removes the key.
    static void setFontSize(const QVariant &value)
    {
        QSettings store(QStringLiteral("RUD"), QStringLiteral("Lumwerk"));
        if (value.isValid())
            store.setValue(QStringLiteral("fontsize"), value);
        else
            store.remove(QStringLiteral("fontsize"));
        store.sync();
    }
    static QVariant fontSize()
    {
        const QSettings store(QStringLiteral("RUD"), QStringLiteral("Lumwerk"));
        return store.value(QStringLiteral("fontsize"));
    }

private:
    QTemporaryDir dir;
    QByteArray oldConfigHome;
    bool hadConfigHome;
};
