#include "keyvaluefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class KeyValueFileTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void getters_data();
    void getters();
    void setters_data();
    void setters();
    void setterMovesFirstEntryToEnd();
    void removeLine_data();
    void removeLine();
    void loadKeepsEveryEntry_data();
    void loadKeepsEveryEntry();
    void readOnlyUseNeverWrites();
    void loadTwiceHoldsLinesTwice();
    void firstRunCreatesFileOnDestruction();
    void neverLoadedWritesNothing();
    void failedSaveRetries();
    void failedSaveKeepsOldFile();
    void saveAsUnprivilegedUser_data();
    void saveAsUnprivilegedUser();
    void nonAsciiSurvives_data();
    void nonAsciiSurvives();
    void oddFilesReadBackAfterSave_data();
    void oddFilesReadBackAfterSave();

private:
    QString path(const QString &name = QStringLiteral("values.txt")) const { return dir->filePath(name); }
    static void writeFile(const QString &fileName, const QByteArray &bytes);
    static QByteArray readFile(const QString &fileName);

    std::unique_ptr<QTemporaryDir> dir;
};

// removeLine() marks the object modified even when nothing matches; no line in
// these tests holds this character.
static const QString kAbsentText = QStringLiteral("\a");

void KeyValueFileTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void KeyValueFileTest::cleanup()
{
    dir.reset();
}

void KeyValueFileTest::writeFile(const QString &fileName, const QByteArray &bytes)
{
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray KeyValueFileTest::readFile(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void KeyValueFileTest::getters_data()
{
    // Defaults: 7 for the integers, 7.5, true and "dflt".
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("getter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("found after sorting") << QByteArray("b=2\na=1\n") << "int" << "a" << "1";
    QTest::newRow("missing key gives default") << QByteArray("b=2\na=1\n") << "int" << "c" << "7";
    QTest::newRow("ab is not key a") << QByteArray("ab=1\n") << "int" << "a" << "7";
    QTest::newRow("Key is not key key") << QByteArray("Key=1\n") << "int" << "key" << "7";
    QTest::newRow("both cases held apart") << QByteArray("key=2\nKey=1\n") << "int" << "key" << "2";
    QTest::newRow("blank before key") << QByteArray(" k=1\n") << "int" << "k" << "7";
    QTest::newRow("blank is part of key") << QByteArray(" k=1\n") << "int" << " k" << "1";
    QTest::newRow("blank after key") << QByteArray("k =1\n") << "int" << "k" << "7";
    QTest::newRow("first match only") << QByteArray("k=2\nk=1\n") << "int" << "k" << "1";
    QTest::newRow("value holds =") << QByteArray("k=a=b\n") << "string" << "k" << "a=b";
    QTest::newRow("key holds =") << QByteArray("k=a=b\n") << "string" << "k=a" << "b";
    QTest::newRow("int fails to 0") << QByteArray("k=abc\n") << "int" << "k" << "0";
    QTest::newRow("long fails to 0") << QByteArray("k=abc\n") << "long" << "k" << "0";
    QTest::newRow("longlong fails to 0") << QByteArray("k=abc\n") << "longlong" << "k" << "0";
    QTest::newRow("double fails to 0") << QByteArray("k=abc\n") << "double" << "k" << "0";
    QTest::newRow("bool fails to false") << QByteArray("k=abc\n") << "bool" << "k" << "false";
    QTest::newRow("string of abc") << QByteArray("k=abc\n") << "string" << "k" << "abc";
    QTest::newRow("empty value is no default") << QByteArray("k=\n") << "string" << "k" << "";
    QTest::newRow("hex is not decimal") << QByteArray("k=0x10\n") << "int" << "k" << "0";
    QTest::newRow("int overflow fails") << QByteArray("k=3000000000\n") << "int" << "k" << "0";
    QTest::newRow("longlong beyond int") << QByteArray("k=3000000000\n") << "longlong" << "k" << "3000000000";
    QTest::newRow("longlong min") << QByteArray("k=-9223372036854775808\n") << "longlong" << "k"
                                  << "-9223372036854775808";
    QTest::newRow("long negative") << QByteArray("k=-123456\n") << "long" << "k" << "-123456";
    QTest::newRow("bool 2") << QByteArray("k=2\n") << "bool" << "k" << "true";
    QTest::newRow("bool -1") << QByteArray("k=-1\n") << "bool" << "k" << "true";
    QTest::newRow("bool 0") << QByteArray("k=0\n") << "bool" << "k" << "false";
    QTest::newRow("bool true is no number") << QByteArray("k=true\n") << "bool" << "k" << "false";
    QTest::newRow("double exp form") << QByteArray("k=1.500000000000000E+00\n") << "double" << "k" << "1.5";
    QTest::newRow("double fixed") << QByteArray("k=-0.25\n") << "double" << "k" << "-0.25";
    QTest::newRow("crlf line ends") << QByteArray("a=1\r\nb=x y\r\n") << "string" << "b" << "x y";
}

void KeyValueFileTest::getters()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, getter);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    writeFile(path(), file);
    KeyValueFile kv;
    QVERIFY(kv.load(path()));

    QString actual;
    if (getter == "int")
        actual = QString::number(kv.getInt(key, 7));
    else if (getter == "long")
        actual = QString::number(kv.getLong(key, 7));
    else if (getter == "longlong")
        actual = QString::number(kv.getLongLong(key, 7));
    else if (getter == "double")
        actual = QString::number(kv.getDouble(key, 7.5));
    else if (getter == "bool")
        actual = kv.getBool(key, true) ? "true" : "false";
    else
        actual = kv.getString(key, QStringLiteral("dflt"));
    QCOMPARE(actual, expected);
}

void KeyValueFileTest::setters_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("setter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("double 0.1") << QByteArray() << "double" << "x" << "0.1" << QByteArray("x=0.1\n");
    QTest::newRow("double one third") << QByteArray() << "double" << "x" << "0.3333333333333333"
                                      << QByteArray("x=0.3333333333\n");
    QTest::newRow("double large") << QByteArray() << "double" << "x" << "1e20" << QByteArray("x=1e+20\n");
    QTest::newRow("doubleExp 1.5") << QByteArray() << "doubleExp" << "x" << "1.5"
                                   << QByteArray("x=1.500000000000000E+00\n");
    QTest::newRow("doubleExp tiny negative") << QByteArray() << "doubleExp" << "x" << "-1.5e-100"
                                             << QByteArray("x=-1.500000000000000E-100\n");
    QTest::newRow("bool true") << QByteArray() << "bool" << "x" << "true" << QByteArray("x=1\n");
    QTest::newRow("bool false") << QByteArray() << "bool" << "x" << "false" << QByteArray("x=0\n");
    QTest::newRow("int negative") << QByteArray() << "int" << "x" << "-42" << QByteArray("x=-42\n");
    QTest::newRow("long") << QByteArray() << "long" << "x" << "123456" << QByteArray("x=123456\n");
    QTest::newRow("longlong min") << QByteArray() << "longlong" << "x" << "-9223372036854775808"
                                  << QByteArray("x=-9223372036854775808\n");
    QTest::newRow("string with =") << QByteArray() << "string" << "x" << "a=b" << QByteArray("x=a=b\n");
    QTest::newRow("string empty") << QByteArray() << "string" << "x" << "" << QByteArray("x=\n");
    QTest::newRow("replaced and sorted") << QByteArray("a=1\nk=1\nz=9\n") << "int" << "k" << "5"
                                         << QByteArray("a=1\nk=5\nz=9\n");
    QTest::newRow("only first entry replaced") << QByteArray("k=1\nk=2\n") << "int" << "k" << "5"
                                               << QByteArray("k=2\nk=5\n");
    QTest::newRow("same value still saves") << QByteArray("b=1\na=1\n") << "int" << "a" << "1"
                                            << QByteArray("a=1\nb=1\n");
    QTest::newRow("blank key is another key") << QByteArray("k=1\n") << "int" << " k" << "2"
                                              << QByteArray(" k=2\nk=1\n");
    QTest::newRow("case-sensitive key") << QByteArray("Key=1\n") << "int" << "key" << "2"
                                        << QByteArray("Key=1\nkey=2\n");
    QTest::newRow("sorted by code value") << QByteArray("b=1\n_=1\na=1\nA=1\n0=1\n") << "int" << "B" << "1"
                                          << QByteArray("0=1\nA=1\nB=1\n_=1\na=1\nb=1\n");
}

void KeyValueFileTest::setters()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, setter);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);

    if (!file.isNull())
        writeFile(path(), file);
    KeyValueFile kv;
    QCOMPARE(kv.load(path()), !file.isNull());

    if (setter == "int")
        kv.setInt(key, value.toInt());
    else if (setter == "long")
        kv.setLong(key, value.toLong());
    else if (setter == "longlong")
        kv.setLongLong(key, value.toLongLong());
    else if (setter == "double")
        kv.setDouble(key, value.toDouble());
    else if (setter == "doubleExp")
        kv.setDoubleExp(key, value.toDouble());
    else if (setter == "bool")
        kv.setBool(key, value == "true");
    else
        kv.setString(key, value);

    QVERIFY(kv.save());
    QCOMPARE(readFile(path()), expected);
}

void KeyValueFileTest::setterMovesFirstEntryToEnd()
{
    writeFile(path(), "k=2\nk=1\n");
    KeyValueFile kv;
    QVERIFY(kv.load(path()));

    kv.setInt("k", 5); // k=1 goes, k=5 follows k=2
    QCOMPARE(kv.getInt("k", 0), 2);
    kv.setInt("k", 6); // now k=2 goes
    QCOMPARE(kv.getInt("k", 0), 5);

    kv.setDouble("x", 0.1);
    QCOMPARE(kv.getString("x", {}), QString("0.1"));
    kv.setDoubleExp("x", 1.5);
    QCOMPARE(kv.getString("x", {}), QString("1.500000000000000E+00"));

    QVERIFY(kv.save());
    QCOMPARE(readFile(path()), QByteArray("k=5\nk=6\nx=1.500000000000000E+00\n"));
}

void KeyValueFileTest::removeLine_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no lines still dirty") << QByteArray() << "x" << false << QByteArray("");
    QTest::newRow("miss still dirty") << QByteArray("b=1\na=1\n") << "A" << false << QByteArray("a=1\nb=1\n");
    QTest::newRow("text in value") << QByteArray("c=1\nb=a\n") << "a" << true << QByteArray("c=1\n");
    QTest::newRow("first of several") << QByteArray("b=1\na=1\n") << "=1" << true << QByteArray("b=1\n");
    QTest::newRow("empty text takes first") << QByteArray("b=1\na=1\n") << "" << true << QByteArray("b=1\n");
}

void KeyValueFileTest::removeLine()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, text);
    QFETCH(bool, removed);
    QFETCH(QByteArray, expected);

    if (!file.isNull())
        writeFile(path(), file);
    {
        KeyValueFile kv;
        kv.load(path());
        QCOMPARE(kv.removeLine(text), removed);
    } // destruction writes
    QCOMPARE(readFile(path()), expected);
}

void KeyValueFileTest::loadKeepsEveryEntry_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("after empty line") << QByteArray("a=1\n\nb=2\n") << QByteArray("a=1\nb=2\n");
    QTest::newRow("after line without =") << QByteArray("a=1\nno entry\nb=2\n") << QByteArray("a=1\nb=2\n");
    QTest::newRow("leading empty lines") << QByteArray("\n\nc=3\n") << QByteArray("c=3\n");
    QTest::newRow("crlf") << QByteArray("b=2\r\na=1\r\n") << QByteArray("a=1\nb=2\n");
    QTest::newRow("no final line feed") << QByteArray("b=2\na=1") << QByteArray("a=1\nb=2\n");
    QTest::newRow("blanks kept as read") << QByteArray("=v\n k = 1 \n") << QByteArray(" k = 1 \n=v\n");
}

void KeyValueFileTest::loadKeepsEveryEntry()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);

    writeFile(path(), file);
    KeyValueFile kv;
    QVERIFY(kv.load(path()));
    kv.removeLine(kAbsentText);
    QVERIFY(kv.save());
    QCOMPARE(readFile(path()), expected);
}

void KeyValueFileTest::readOnlyUseNeverWrites()
{
    const QByteArray unsorted("z=9\na=abc\n\nm=1.5\n");
    writeFile(path(), unsorted);
    {
        KeyValueFile kv;
        QVERIFY(kv.load(path()));
        QCOMPARE(kv.getInt("z", 0), 9);
        QCOMPARE(kv.getDouble("m", 0), 1.5);
        QCOMPARE(kv.getString("a", {}), QString("abc"));
        QVERIFY(!kv.getBool("a", true));
        QVERIFY(kv.save());
    }
    QCOMPARE(readFile(path()), unsorted);
}

void KeyValueFileTest::loadTwiceHoldsLinesTwice()
{
    writeFile(path(), "b=2\na=1\n");
    KeyValueFile kv;
    QVERIFY(kv.load(path()));
    QVERIFY(kv.load(path()));
    kv.removeLine(kAbsentText);
    QVERIFY(kv.save());
    QCOMPARE(readFile(path()), QByteArray("a=1\na=1\nb=2\nb=2\n"));
}

void KeyValueFileTest::firstRunCreatesFileOnDestruction()
{
    {
        KeyValueFile kv;
        QVERIFY(!kv.load(path()));
        kv.setString("name", "x");
        kv.setInt("count", 3);
        QVERIFY(!QFile::exists(path()));
    }
    QCOMPARE(readFile(path()), QByteArray("count=3\nname=x\n"));
}

void KeyValueFileTest::neverLoadedWritesNothing()
{
    // An empty file name would resolve against the working folder, so look there.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    int value = 0;
    bool saved = true;
    {
        KeyValueFile kv;
        kv.setInt("a", 1);
        value = kv.getInt("a", 0);
        saved = kv.save();
    }
    QDir::setCurrent(previous);
    QCOMPARE(value, 1);
    QVERIFY(!saved);
    QVERIFY(QDir(dir->path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

void KeyValueFileTest::failedSaveRetries()
{
    const QString fileName = path("later/values.txt");
    KeyValueFile kv;
    QVERIFY(!kv.load(fileName));
    kv.setInt("a", 1);
    QVERIFY(!kv.save()); // the folder does not exist yet
    QVERIFY(QDir(dir->path()).mkdir("later"));
    QVERIFY(kv.save());  // the change is still pending and now lands
    QCOMPARE(readFile(fileName), QByteArray("a=1\n"));
}

void KeyValueFileTest::failedSaveKeepsOldFile()
{
    // A name this long leaves no room for a temporary name beside it, so the
    // replacement cannot be written even though the old file can be opened.
    const QString name(250, u'n');
    const QByteArray old("b=2\na=1\n");
    QFile probe(path(name));
    if (!probe.open(QIODevice::WriteOnly))
        QSKIP("file system does not take 250-character names");
    probe.close();
    writeFile(path(name), old);
    {
        KeyValueFile kv;
        QVERIFY(kv.load(path(name)));
        kv.setInt("c", 3);
        QVERIFY(!kv.save());
        QCOMPARE(readFile(path(name)), old);
    } // destruction tries once more, just as safely
    QCOMPARE(readFile(path(name)), old);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

void KeyValueFileTest::saveAsUnprivilegedUser_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("sameFile"); // written in place rather than replaced
    QTest::newRow("writable folder: replaced whole") << 0700 << 0600 << true << false;
    QTest::newRow("folder takes no new files: written in place") << 0500 << 0600 << true << true;
    QTest::newRow("nothing writable: refused, file kept") << 0500 << 0400 << false << true;
}

// save() run by an ordinary user (the tests may run as root, to whom every folder is
// writable): a child process drops to the user nobody and saves a change.
void KeyValueFileTest::saveAsUnprivilegedUser()
{
    QFETCH(int, folderMode);
    QFETCH(int, fileMode);
    QFETCH(bool, saved);
    QFETCH(bool, sameFile);
    constexpr uid_t kNobody = 65534;
    constexpr int kCannotDrop = 77;
    constexpr int kStillPrivileged = 78;

    const QString folder = path(QStringLiteral("conf"));
    const QString fileName = folder + QStringLiteral("/values.txt");
    QVERIFY(QDir().mkdir(folder));
    writeFile(fileName, "a=1\n");
    const QByteArray folderPath = QFile::encodeName(folder);
    const QByteArray filePath = QFile::encodeName(fileName);
    const bool root = ::geteuid() == 0;
    if (root) {
        QCOMPARE(::chmod(QFile::encodeName(dir->path()).constData(), 0711), 0);
        QCOMPARE(::chown(folderPath.constData(), kNobody, kNobody), 0);
        QCOMPARE(::chown(filePath.constData(), kNobody, kNobody), 0);
    }
    QCOMPARE(::chmod(filePath.constData(), mode_t(fileMode)), 0);
    QCOMPARE(::chmod(folderPath.constData(), mode_t(folderMode)), 0);
    struct stat before = {};
    QCOMPARE(::stat(filePath.constData(), &before), 0);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(kCannotDrop);
        // The folder's mode must hold for this user, or the test shows nothing.
        if ((folderMode & 0200) == 0 && ::access(folderPath.constData(), W_OK) == 0)
            ::_exit(kStillPrivileged);
        KeyValueFile values;
        values.load(fileName);
        values.setInt(QStringLiteral("b"), 2);
        ::_exit(values.save() ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QCOMPARE(::chmod(folderPath.constData(), 0700), 0); // so the folder can go again
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannotDrop)
        QSKIP("cannot switch to the user nobody here");
    if (WEXITSTATUS(status) == kStillPrivileged)
        QSKIP("this user may write to any folder");
    QCOMPARE(WEXITSTATUS(status) == 0, saved);

    QCOMPARE(readFile(fileName), saved ? QByteArray("a=1\nb=2\n") : QByteArray("a=1\n"));
    struct stat after = {};
    QCOMPARE(::stat(filePath.constData(), &after), 0);
    QCOMPARE(after.st_ino == before.st_ino, sameFile);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("values.txt")});
}

void KeyValueFileTest::nonAsciiSurvives_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("umlauts") << QString("Größe") << QString("äöü ß");
    QTest::newRow("latin-1 top") << QString("é") << QString("ÿ\u00a0x");
    QTest::newRow("euro and cjk") << QString("name") << QString("€ 漢字");
    QTest::newRow("outside bmp") << QString("emoji") << QString("😀=ok");
}

void KeyValueFileTest::nonAsciiSurvives()
{
    QFETCH(QString, key);
    QFETCH(QString, value);

    {
        KeyValueFile kv;
        kv.load(path());
        kv.setString(key, value);
    }
    const QString line = key + '=' + value;
    QCOMPARE(readFile(path()), (line + '\n').toUtf8());

    KeyValueFile reloaded;
    QVERIFY(reloaded.load(path()));
    QCOMPARE(reloaded.getString(key, {}), value);
    QVERIFY(reloaded.removeLine(value));
}

// Files that other tools wrote: whatever a key reads as after load, it reads the same
// after a save and a second load.
void KeyValueFileTest::oddFilesReadBackAfterSave_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("line ends converted twice") << QByteArray("k=v\r\r\n") << "k" << "v";
    QTest::newRow("CRLF") << QByteArray("k=v\r\n") << "k" << "v";
    QTest::newRow("byte-order mark at the start") << QByteArray("\xEF\xBB\xBFk=v\n") << "k" << "v";
    QTest::newRow("key that begins with U+FEFF") << QByteArray("x\n\xEF\xBB\xBFk=v\n")
                                                 << QString(QChar(0xFEFF)) + "k" << "v";
    QTest::newRow("UTF-16 marker is not obeyed")
        << QByteArray("\xFF\xFEk\0=\0\0\xD8\n\0", 10) << QString() << QString();
}

void KeyValueFileTest::oddFilesReadBackAfterSave()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, key);
    QFETCH(QString, value);

    writeFile(path(), bytes);
    QString before;
    {
        KeyValueFile kv;
        QVERIFY(kv.load(path()));
        if (!key.isNull())
            QCOMPARE(kv.getString(key, QStringLiteral("<none>")), value);
        before = kv.getString(QStringLiteral("k"), QStringLiteral("<none>"));
        kv.removeLine(kAbsentText); // marks it modified, so it saves
    }
    KeyValueFile reloaded;
    QVERIFY(reloaded.load(path()));
    QCOMPARE(reloaded.getString(QStringLiteral("k"), QStringLiteral("<none>")), before);
    if (!key.isNull())
        QCOMPARE(reloaded.getString(key, QStringLiteral("<none>")), value);
}

QTEST_GUILESS_MAIN(KeyValueFileTest)
#include "tst_keyvaluefile.moc"
