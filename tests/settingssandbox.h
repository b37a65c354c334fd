#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>

// Points the settings store at a temporary folder so that no test touches the
// user's real settings.
class SettingsSandbox
{
public:
    SettingsSandbox()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path() + "/system");
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.path() + "/system");
    }
    QString path() const { return dir.path(); }

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
};
