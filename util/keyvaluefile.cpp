#include "keyvaluefile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringConverter>
#include <QTextStream>

#include <utility>

namespace {

constexpr QChar kSeparator = u'=';
constexpr char16_t kLineFeed = u'\n';
constexpr int kNumberBase = 10;
// setDouble: general format, at most 10 significant digits.
constexpr char kDoubleFormat = 'g';
constexpr int kDoublePrecision = 10;
// setDoubleExp: one digit, point, 15 digits, E, sign, at least two exponent digits.
constexpr const char *kDoubleExpPattern = "%0.15E";
constexpr QStringConverter::Encoding kFileEncoding = QStringConverter::Utf8;
constexpr QChar kCarriageReturn = u'\r';
constexpr QChar kByteOrderMark = QChar(0xFEFF);

QString entryLine(const QString &key, const QString &valueText)
{
    return key + kSeparator + valueText;
}

} // namespace

KeyValueFile::KeyValueFile() = default;

KeyValueFile::~KeyValueFile()
{
    save();
}

bool KeyValueFile::load(const QString &name)
{
    // Kept also when the file cannot be opened, so that a first save creates it.
    fileName = name;

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;

    QTextStream in(&file);
    in.setEncoding(kFileEncoding);
    in.setAutoDetectUnicode(false); // always UTF-8, whatever the first bytes look like
    while (!in.atEnd()) {
        QString line = in.readLine();
        // Line ends converted twice leave carriage returns behind; they are not text.
        while (line.endsWith(kCarriageReturn))
            line.chop(1);
        // Empty lines and lines without "=" are dropped; reading goes on after them.
        if (line.contains(kSeparator))
            lines.append(line);
    }
    file.close();
    lines.sort();
    return true;
}

bool KeyValueFile::save()
{
    if (!modified)
        return true;

    lines.sort();
    if (fileName.isEmpty())
        return false;

    // The old file is replaced only by commit(), once every line is written. A folder
    // that takes no new files (the file itself being writable) gets the lines written
    // into the file in place instead, rather than losing the change.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;

    QTextStream out(&file);
    out.setEncoding(kFileEncoding);
    // The reader drops one byte-order mark at the start of a file; a first line that
    // itself begins with one keeps it behind an extra mark.
    if (!lines.isEmpty() && lines.first().startsWith(kByteOrderMark))
        out << kByteOrderMark;
    for (const QString &line : std::as_const(lines))
        out << line << kLineFeed;
    out.flush();
    if (out.status() != QTextStream::Ok) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return false;

    modified = false;
    return true;
}

bool KeyValueFile::removeLine(const QString &text)
{
    modified = true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.at(i).contains(text)) {
            lines.removeAt(i);
            return true;
        }
    }
    return false;
}

qsizetype KeyValueFile::findKey(const QString &key) const
{
    const QString needle = key + kSeparator;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(needle))
            return i;
    }
    return -1;
}

bool KeyValueFile::findValue(const QString &key, QString &value) const
{
    const qsizetype index = findKey(key);
    if (index < 0)
        return false;
    value = lines.at(index).mid(key.size() + 1);
    return true;
}

void KeyValueFile::replaceEntry(const QString &key, const QString &valueText)
{
    modified = true;
    const qsizetype index = findKey(key);
    if (index >= 0)
        lines.removeAt(index);
    lines.append(entryLine(key, valueText));
}

int KeyValueFile::getInt(const QString &key, int defaultValue) const
{
    QString value;
    return findValue(key, value) ? value.toInt(nullptr, kNumberBase) : defaultValue;
}

long KeyValueFile::getLong(const QString &key, long defaultValue) const
{
    QString value;
    return findValue(key, value) ? value.toLong(nullptr, kNumberBase) : defaultValue;
}

qint64 KeyValueFile::getLongLong(const QString &key, qint64 defaultValue) const
{
    QString value;
    return findValue(key, value) ? value.toLongLong(nullptr, kNumberBase) : defaultValue;
}

double KeyValueFile::getDouble(const QString &key, double defaultValue) const
{
    QString value;
    return findValue(key, value) ? value.toDouble() : defaultValue;
}

bool KeyValueFile::getBool(const QString &key, bool defaultValue) const
{
    QString value;
    return findValue(key, value) ? value.toInt(nullptr, kNumberBase) != 0 : defaultValue;
}

QString KeyValueFile::getString(const QString &key, const QString &defaultValue) const
{
    QString value;
    return findValue(key, value) ? value : defaultValue;
}

void KeyValueFile::setInt(const QString &key, int value)
{
    replaceEntry(key, QString::number(value, kNumberBase));
}

void KeyValueFile::setLong(const QString &key, long value)
{
    replaceEntry(key, QString::number(value, kNumberBase));
}

void KeyValueFile::setLongLong(const QString &key, qint64 value)
{
    replaceEntry(key, QString::number(value, kNumberBase));
}

void KeyValueFile::setBool(const QString &key, bool value)
{
    replaceEntry(key, QString::number(value ? 1 : 0, kNumberBase));
}

void KeyValueFile::setDouble(const QString &key, double value)
{
    replaceEntry(key, QString::number(value, kDoubleFormat, kDoublePrecision));
}

void KeyValueFile::setDoubleExp(const QString &key, double value)
{
    replaceEntry(key, QString::asprintf(kDoubleExpPattern, value));
}

void KeyValueFile::setString(const QString &key, const QString &value)
{
    replaceEntry(key, value);
}
