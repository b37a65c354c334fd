// Fuzzes KeyValueFile with arbitrary file content and a run of operations.
//
// Input layout: byte 0 is the length L of an operation script, bytes 1 .. L are
// the script, everything after it is the content of the file that is loaded.
// A seed that is a plain key file starts with one zero byte (empty script).
//
// Each run loads the content, plays the script (setters, removeLine, loads of
// a missing file, intermediate saves), saves, and loads the saved file into
// fresh objects. Checked on every run:
// - an entry the harness set reads back with its value, before the save,
//   after it and after loading the saved file again (doubles within the
//   decimal digits the setter writes);
// - every lookup gives the same answer on the saved object and on a fresh
//   object loaded from its file, and on one that loaded that file twice;
// - the saved file holds only entry lines, sorted, each ended by a line feed;
// - a failed load changes nothing, and an object that is loaded and only read
//   never rewrites its file.

#include "fuzzcheck.h"
#include "keyvaluefile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace {

constexpr int kMaxProbeKeys = 48;
constexpr int kMaxOperations = 96;
constexpr qsizetype kMaxSliceLength = 40;   // characters taken from the content for a key or value
// setDouble writes 10 significant digits, setDoubleExp 16; half a unit in the
// last digit, plus the final rounding to double.
constexpr double kDoubleTolerance = 5.001e-10;
constexpr double kDoubleExpTolerance = 6.2e-16;

const QString kInputName = QStringLiteral("input.kv");
const QString kMissingName = QStringLiteral("missing.kv");
// No value read from a file can hold a line feed, so this default marks "no entry".
const QString kAbsent = QStringLiteral("\n<absent>");
const QString kNoLineText = QStringLiteral("\n");

// Keys and values the script can pick besides the ones found in the content.
const QStringList kVocabulary = {
    QStringLiteral("a"), QStringLiteral("ab"), QStringLiteral("k"), QStringLiteral("Key"),
    QStringLiteral("key"), QStringLiteral(" k"), QStringLiteral("k "), QStringLiteral("x.y"),
    QStringLiteral(""), QStringLiteral("fontsize"), QStringLiteral("\u00e4\u00f6\u00fc"),
    QStringLiteral("\u20ac"), QStringLiteral("1"), QStringLiteral("-1"), QStringLiteral("0x10"),
    QStringLiteral("  7"), QStringLiteral("1e3"), QStringLiteral("true"),
};

enum class Operation : std::uint8_t {
    SetInt,
    SetLong,
    SetLongLong,
    SetBool,
    SetDouble,
    SetDoubleExp,
    SetString,
    RemoveLine,
    LoadMissing,
    Save,
    Count
};

enum class Kind { Integer, Bool, Double, DoubleExp, String };

// What the harness last set for a key whose only entry line is that one.
struct Expected
{
    Kind kind = Kind::String;
    qint64 integer = 0;
    double real = 0.0;
    QString text;
};

// Every answer the getters give for one key.
struct Lookup
{
    int asInt = 0;
    long asLong = 0;
    qint64 asLongLong = 0;
    double asDouble = 0.0;
    bool asBool = false;
    QString asString;

    bool operator==(const Lookup &other) const
    {
        const bool sameDouble = std::memcmp(&asDouble, &other.asDouble, sizeof asDouble) == 0
                || (std::isnan(asDouble) && std::isnan(other.asDouble));
        return asInt == other.asInt && asLong == other.asLong && asLongLong == other.asLongLong
                && sameDouble && asBool == other.asBool && asString == other.asString;
    }
};

Lookup lookup(const KeyValueFile &file, const QString &key)
{
    constexpr int kIntDefault = 7;
    constexpr double kDoubleDefault = 7.5;
    return {file.getInt(key, kIntDefault), file.getLong(key, kIntDefault),
            file.getLongLong(key, kIntDefault), file.getDouble(key, kDoubleDefault),
            file.getBool(key, true), file.getString(key, kAbsent)};
}

// Reads the script bytes; zeros once they run out.
class Script
{
public:
    Script(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    template<typename T>
    T number()
    {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            bits |= std::uint64_t(byte()) << (8 * i);
        T value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

bool closeTo(double read, double written, double tolerance)
{
    if (std::isnan(written))
        return std::isnan(read);
    if (std::isinf(written))
        return read == written;
    // The last digit can round past the largest double, which then reads back
    // as infinity of the same sign.
    if (std::isinf(read))
        return std::signbit(read) == std::signbit(written)
                && std::fabs(written) * (1.0 + tolerance) >= std::numeric_limits<double>::max();
    return std::fabs(read - written)
            <= tolerance * std::fabs(written) + std::numeric_limits<double>::denorm_min();
}

void verify(const KeyValueFile &file, const QString &key, const Expected &expected, const char *when)
{
    const QByteArray name = fuzz::printable(key);
    FUZZ_CHECK(file.getString(key, kAbsent) != kAbsent, "%s: entry '%s' is missing", when,
               name.constData());
    switch (expected.kind) {
    case Kind::Integer:
        FUZZ_CHECK(file.getLongLong(key, 0) == expected.integer,
                   "%s: '%s' reads %lld, set %lld", when, name.constData(),
                   static_cast<long long>(file.getLongLong(key, 0)),
                   static_cast<long long>(expected.integer));
        // getBool reads the value as an int: within that range it is "not zero".
        if (expected.integer >= std::numeric_limits<int>::min()
            && expected.integer <= std::numeric_limits<int>::max())
            FUZZ_CHECK(file.getBool(key, expected.integer == 0) == (expected.integer != 0),
                       "%s: '%s' as bool", when, name.constData());
        break;
    case Kind::Bool:
        FUZZ_CHECK(file.getBool(key, expected.integer == 0) == (expected.integer != 0),
                   "%s: '%s' reads %d, set %d", when, name.constData(),
                   int(file.getBool(key, false)), int(expected.integer != 0));
        FUZZ_CHECK(file.getInt(key, -1) == (expected.integer != 0 ? 1 : 0),
                   "%s: '%s' bool as int", when, name.constData());
        break;
    case Kind::Double:
    case Kind::DoubleExp: {
        const double read = file.getDouble(key, 0.0);
        const double tolerance =
                expected.kind == Kind::Double ? kDoubleTolerance : kDoubleExpTolerance;
        FUZZ_CHECK(closeTo(read, expected.real, tolerance), "%s: '%s' reads %.17g, set %.17g",
                   when, name.constData(), read, expected.real);
        break;
    }
    case Kind::String:
        FUZZ_CHECK(file.getString(key, kAbsent) == expected.text,
                   "%s: '%s' reads '%s', set '%s'", when, name.constData(),
                   fuzz::printable(file.getString(key, kAbsent)).constData(),
                   fuzz::printable(expected.text).constData());
        break;
    }
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

void writeBytes(const QString &path, const char *data, qsizetype size)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly), "cannot write %s", qPrintable(path));
    FUZZ_CHECK(file.write(data, size) == size, "short write to %s", qPrintable(path));
}

// Keys a lookup can meet in the content: the text of each line up to its
// first and up to its second "=".
void addProbeKeys(const QString &content, QStringList &probes)
{
    const QStringList contentLines = content.split(u'\n');
    for (const QString &line : contentLines) {
        const qsizetype first = line.indexOf(u'=');
        if (first < 0)
            continue;
        probes.append(line.left(first));
        const qsizetype second = line.indexOf(u'=', first + 1);
        if (second >= 0)
            probes.append(line.left(second));
        if (probes.size() >= kMaxProbeKeys)
            break;
    }
}

// A line holds exactly one key=value entry; keys cannot hold "=" or a line
// feed, values no line feed and no trailing carriage return (it would read
// back as part of the line ending).
QString keyText(QString text)
{
    text.remove(u'=');
    text.remove(u'\n');
    return text;
}

QString valueText(QString text)
{
    text.remove(u'\n');
    while (text.endsWith(u'\r'))
        text.chop(1);
    return text;
}

// Checks the saved file: entry lines only, ascending, each ended by a line feed.
void checkSavedFile(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    FUZZ_CHECK(bytes.endsWith('\n'), "saved file does not end with a line feed");
    const QStringList saved = QString::fromUtf8(bytes.left(bytes.size() - 1)).split(u'\n');
    for (qsizetype i = 0; i < saved.size(); ++i) {
        FUZZ_CHECK(saved.at(i).contains(u'='), "saved line %lld '%s' is no entry",
                   static_cast<long long>(i), fuzz::printable(saved.at(i)).constData());
        if (i > 0)
            FUZZ_CHECK(saved.at(i - 1) <= saved.at(i), "saved lines %lld and %lld out of order",
                       static_cast<long long>(i - 1), static_cast<long long>(i));
    }
}

class Run
{
public:
    Run(const std::uint8_t *script, std::size_t scriptSize, const QByteArray &content)
        : m_script(script, scriptSize), m_content(content)
    {
        const QDir dir(fuzz::scratchDir().path());
        m_inputPath = dir.filePath(kInputName);
        m_missingPath = dir.filePath(kMissingName);
        QFile::remove(m_missingPath);
        writeBytes(m_inputPath, content.constData(), content.size());
        m_contentText = QString::fromUtf8(content);
        addProbeKeys(m_contentText, m_probes);
        m_probes.append(kVocabulary);
    }

    void play()
    {
        auto file = std::make_unique<KeyValueFile>();
        FUZZ_CHECK(file->load(m_inputPath), "load of an existing file failed");
        m_path = m_inputPath;

        for (int i = 0; i < kMaxOperations && !m_script.atEnd(); ++i)
            step(*file, static_cast<Operation>(m_script.byte() % std::uint8_t(Operation::Count)));
        // No line holds a line feed: this only marks the object modified, so that
        // save() writes the lines exactly as loaded and changed by the script.
        FUZZ_CHECK(!file->removeLine(kNoLineText), "removeLine removed a line it is not in");

        FUZZ_CHECK(file->save(), "save into the scratch folder failed");
        verifyAll(*file, "after save");
        const QByteArray saved = readBytes(m_path);
        checkSavedFile(saved);
        const QList<Lookup> before = lookupAll(*file);
        file.reset();
        FUZZ_CHECK(readBytes(m_path) == saved, "destroying a saved object rewrote the file");

        for (int times = 1; times <= 2; ++times) {
            auto again = std::make_unique<KeyValueFile>();
            for (int i = 0; i < times; ++i)
                FUZZ_CHECK(again->load(m_path), "load of the saved file failed");
            verifyAll(*again, times == 1 ? "after reload" : "after loading twice");
            const QList<Lookup> after = lookupAll(*again);
            for (qsizetype p = 0; p < m_probes.size(); ++p) {
                FUZZ_CHECK(after.at(p) == before.at(p),
                           "key '%s' reads '%s' after %d load(s) of the saved file, '%s' before",
                           fuzz::printable(m_probes.at(p)).constData(),
                           fuzz::printable(after.at(p).asString).constData(), times,
                           fuzz::printable(before.at(p).asString).constData());
            }
            again.reset();
            FUZZ_CHECK(readBytes(m_path) == saved, "an object that was only read rewrote its file");
        }
    }

private:
    template<typename Setter>
    void set(KeyValueFile &file, const QString &key, const Expected &expected, Setter setter)
    {
        // The harness knows the value only while the key's entry is the one it set.
        const bool single = m_tracked.contains(key) || file.getString(key, kAbsent) == kAbsent;
        setter(file, key);
        if (single) {
            m_tracked.insert(key, expected);
            verify(file, key, expected, "after set");
        } else {
            m_tracked.remove(key);
        }
        if (!m_probes.contains(key) && m_probes.size() < kMaxProbeKeys * 2)
            m_probes.append(key);
    }

    // A word of the vocabulary, or a slice of the content.
    QString pickText() { return pickText(m_script.byte()); }
    QString pickText(std::uint8_t choice)
    {
        if (choice < kVocabulary.size() || m_contentText.isEmpty())
            return kVocabulary.at(choice % kVocabulary.size());
        const qsizetype start = m_script.number<std::uint16_t>() % m_contentText.size();
        const qsizetype length = m_script.byte() % (kMaxSliceLength + 1);
        // A slice can cut a surrogate pair in two; the round trip through UTF-8
        // turns such a half into a valid character, as callers only pass valid text.
        return QString::fromUtf8(m_contentText.mid(start, length).toUtf8());
    }

    QString pickKey()
    {
        const std::uint8_t choice = m_script.byte();
        if (choice >= 0x80)
            return keyText(m_probes.at(choice % m_probes.size()));
        return keyText(pickText(choice));
    }

    void step(KeyValueFile &file, Operation operation)
    {
        switch (operation) {
        case Operation::SetInt: {
            const QString key = pickKey();
            const auto value = m_script.number<std::int32_t>();
            set(file, key, Expected{Kind::Integer, value, 0.0, {}},
                [value](KeyValueFile &f, const QString &k) { f.setInt(k, value); });
            break;
        }
        case Operation::SetLong: {
            const QString key = pickKey();
            const auto value = static_cast<long>(m_script.number<std::int64_t>());
            set(file, key, Expected{Kind::Integer, value, 0.0, {}},
                [value](KeyValueFile &f, const QString &k) { f.setLong(k, value); });
            break;
        }
        case Operation::SetLongLong: {
            const QString key = pickKey();
            const auto value = m_script.number<qint64>();
            set(file, key, Expected{Kind::Integer, value, 0.0, {}},
                [value](KeyValueFile &f, const QString &k) { f.setLongLong(k, value); });
            break;
        }
        case Operation::SetBool: {
            const QString key = pickKey();
            const bool value = m_script.byte() & 1;
            set(file, key, Expected{Kind::Bool, value ? 1 : 0, 0.0, {}},
                [value](KeyValueFile &f, const QString &k) { f.setBool(k, value); });
            break;
        }
        case Operation::SetDouble:
        case Operation::SetDoubleExp: {
            const QString key = pickKey();
            const auto value = m_script.number<double>();
            if (operation == Operation::SetDouble)
                set(file, key, Expected{Kind::Double, 0, value, {}},
                    [value](KeyValueFile &f, const QString &k) { f.setDouble(k, value); });
            else
                set(file, key, Expected{Kind::DoubleExp, 0, value, {}},
                    [value](KeyValueFile &f, const QString &k) { f.setDoubleExp(k, value); });
            break;
        }
        case Operation::SetString: {
            const QString key = pickKey();
            const QString value = valueText(pickText());
            set(file, key, Expected{Kind::String, 0, 0.0, value},
                [value](KeyValueFile &f, const QString &k) { f.setString(k, value); });
            break;
        }
        case Operation::RemoveLine: {
            const QString text = pickText();
            // Tracked entries whose line holds the text; only one of them may go.
            QStringList candidates;
            for (auto it = m_tracked.cbegin(); it != m_tracked.cend(); ++it) {
                if ((it.key() + u'=' + file.getString(it.key(), kAbsent)).contains(text))
                    candidates.append(it.key());
            }
            file.removeLine(text);
            qsizetype gone = 0;
            for (const QString &key : std::as_const(candidates)) {
                if (file.getString(key, kAbsent) == kAbsent) {
                    m_tracked.remove(key);
                    ++gone;
                }
            }
            FUZZ_CHECK(gone <= 1, "removeLine('%s') removed %lld entries",
                       fuzz::printable(text).constData(), static_cast<long long>(gone));
            // Every other tracked entry is untouched.
            verifyAll(file, "after removeLine");
            break;
        }
        case Operation::LoadMissing: {
            QFile::remove(m_missingPath); // an earlier save may have created it
            const QList<Lookup> before = lookupAll(file);
            FUZZ_CHECK(!file.load(m_missingPath), "load of a missing file succeeded");
            FUZZ_CHECK(lookupAll(file) == before, "a failed load changed the entries");
            m_path = m_missingPath; // the next save goes there
            break;
        }
        case Operation::Save: {
            FUZZ_CHECK(file.save(), "intermediate save failed");
            verifyAll(file, "after intermediate save");
            break;
        }
        case Operation::Count:
            break;
        }
    }

    void verifyAll(const KeyValueFile &file, const char *when) const
    {
        for (auto it = m_tracked.cbegin(); it != m_tracked.cend(); ++it)
            verify(file, it.key(), it.value(), when);
    }

    QList<Lookup> lookupAll(const KeyValueFile &file) const
    {
        QList<Lookup> result;
        result.reserve(m_probes.size());
        for (const QString &key : m_probes)
            result.append(lookup(file, key));
        return result;
    }

    Script m_script;
    QByteArray m_content;
    QString m_contentText;
    QString m_inputPath;
    QString m_missingPath;
    QString m_path;
    QStringList m_probes;
    QHash<QString, Expected> m_tracked;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t scriptSize = qMin<std::size_t>(data[0], size - 1);
    const std::uint8_t *script = data + 1;
    const char *content = reinterpret_cast<const char *>(script + scriptSize);
    const auto contentSize = static_cast<qsizetype>(size - 1 - scriptSize);
    Run run(script, scriptSize, QByteArray(content, contentSize));
    run.play();
    return 0;
}
