#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// A small text file of key=value lines, held in memory as a list of lines.
//
// An entry line is the key, "=", and the value up to the end of the line; nothing
// is trimmed and keys compare case-sensitively. A line belongs to key K when it
// begins with K followed by "=", and only the first such line counts.
//
// load() adds a file's entry lines and sorts them; getters read single entries;
// setters and removeLine() change the lines and mark the object modified. A
// modified object writes all its lines back, sorted, one per line in UTF-8, at
// the next save() or when it is destroyed. Writing goes through a temporary file
// in the same folder, so a failed write never damages the file already there; only
// where the folder takes no new files is the file written in place.
class KeyValueFile
{
public:
    KeyValueFile();
    // Runs save(): pending changes reach the file given to load().
    ~KeyValueFile();

    KeyValueFile(const KeyValueFile &) = delete;
    KeyValueFile &operator=(const KeyValueFile &) = delete;

    // Remembers fileName (even when it cannot be opened) and adds the file's entry
    // lines to those held, then sorts. Empty lines and lines without "=" are
    // skipped. True when the file could be opened for reading. Never marks the
    // object modified.
    bool load(const QString &fileName);

    // When modified: sorts the lines and replaces the file with them (in place when
    // the folder takes no new files). True when the file was written or nothing was
    // pending; false when the write failed, in which case the changes stay pending.
    bool save();

    // Removes the first line that contains text anywhere (key or value). True if
    // one was removed. Marks the object modified in either case.
    bool removeLine(const QString &text);

    // Typed reads: the default when the key has no entry, otherwise the value
    // converted in base 10; a value that does not convert gives 0 (false, empty).
    int getInt(const QString &key, int defaultValue) const;
    long getLong(const QString &key, long defaultValue) const;
    qint64 getLongLong(const QString &key, qint64 defaultValue) const;
    double getDouble(const QString &key, double defaultValue) const;
    // True when the value is a non-zero integer.
    bool getBool(const QString &key, bool defaultValue) const;
    // The value text as stored, also when it is empty.
    QString getString(const QString &key, const QString &defaultValue) const;

    // Typed writes: remove the key's first entry, if any, and append key=value.
    void setInt(const QString &key, int value);
    void setLong(const QString &key, long value);
    void setLongLong(const QString &key, qint64 value);
    // Written as 1 or 0.
    void setBool(const QString &key, bool value);
    // At most 10 significant digits, fixed or exponent form (0.1, 0.3333333333).
    void setDouble(const QString &key, double value);
    // Always exponent form with 15 decimals (1.500000000000000E+00).
    void setDoubleExp(const QString &key, double value);
    void setString(const QString &key, const QString &value);

private:
    // Index of the key's first entry line, or -1.
    qsizetype findKey(const QString &key) const;
    // Value text of the key's first entry; false when the key has none.
    bool findValue(const QString &key, QString &value) const;
    void replaceEntry(const QString &key, const QString &valueText);

    QStringList lines;
    QString fileName;
    bool modified = false;
};
