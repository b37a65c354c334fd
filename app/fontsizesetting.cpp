// FontSizeSetting: the window's font size, read and written through QSettings; its file
// is looked at (RegularFile) before QSettings opens it.

#include "fontsizesetting.h"

#include "regularfile.h"

#include <QLoggingCategory>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

namespace {

Q_LOGGING_CATEGORY(lcSettings, "zorbel.settings")

const char *const kOrganization = "RUD";
const char *const kApplication = "Lumwerk";
const char *const kFileSuffix = ".conf";
const char *const kFontSizeKey = "fontsize";

} // namespace

#ifdef Q_OS_WIN
// Windows keeps the setting in the registry, where no file can block or be replaced.
std::optional<int> FontSizeSetting::stored()
{
    const QSettings settings(QString::fromLatin1(kOrganization), QString::fromLatin1(kApplication));
    bool converted = false;
    const int pixels = settings.value(QString::fromLatin1(kFontSizeKey)).toInt(&converted);
    return converted ? std::optional<int>(pixels) : std::nullopt;
}

void FontSizeSetting::store(int pixels)
{
    if (stored() == pixels)
        return;
    QSettings settings(QString::fromLatin1(kOrganization), QString::fromLatin1(kApplication));
    settings.setValue(QString::fromLatin1(kFontSizeKey), pixels);
}

FontSizeSetting::FontSizeSetting() = default;
#else

FontSizeSetting::FontSizeSetting()
    : m_fileName(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
                 + QLatin1String(kOrganization) + QLatin1Char('/') + QLatin1String(kApplication)
                 + QLatin1String(kFileSuffix))
{
}

bool FontSizeSetting::fileUsable()
{
    const RegularFile::Look look = RegularFile::look(m_fileName);
    QString problem;
    switch (look.kind) {
    case RegularFile::Kind::Missing:
        return true; // no file yet: a write makes it
    case RegularFile::Kind::Unreachable:
        problem = QStringLiteral("cannot be looked at, or is a link to nothing");
        break;
    case RegularFile::Kind::Regular:
        if (look.size <= kMaxFileBytes)
            return true;
        problem = QStringLiteral("is larger than %1 bytes").arg(kMaxFileBytes);
        break;
    case RegularFile::Kind::Folder:
    case RegularFile::Kind::Fifo:
    case RegularFile::Kind::Device:
    case RegularFile::Kind::Other:
        problem = QStringLiteral("is not a regular file");
        break;
    }
    warn(problem);
    return false;
}

void FontSizeSetting::warn(const QString &problem)
{
    if (m_warned)
        return;
    qCWarning(lcSettings).noquote()
        << QStringLiteral("%1 %2: left alone, the default font size is used").arg(m_fileName, problem);
    m_warned = true;
}

std::optional<int> FontSizeSetting::stored()
{
    if (!fileUsable())
        return std::nullopt;
    const QSettings settings(m_fileName, QSettings::IniFormat);
    const QVariant value = settings.value(QString::fromLatin1(kFontSizeKey));
    if (!value.isValid())
        return std::nullopt;
    // The store hands back text; a number that does not fit an int does not convert
    // (QVariant alone would cut it down to some other number).
    bool converted = false;
    const int pixels = value.typeId() == QMetaType::QString ? value.toString().toInt(&converted)
                                                            : value.toInt(&converted);
    return converted ? std::optional<int>(pixels) : std::nullopt;
}

void FontSizeSetting::store(int pixels)
{
    const std::optional<int> current = stored();
    if (current == pixels || !fileUsable())
        return;
    // A write follows the link and replaces what it points to: only a file that is
    // evidently these settings (it holds a size already) is replaced that way.
    if (!current && RegularFile::look(m_fileName).isLink) {
        warn(QStringLiteral("is a link to a file without a font size"));
        return;
    }
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.setValue(QString::fromLatin1(kFontSizeKey), pixels);
    settings.sync();
}
#endif
