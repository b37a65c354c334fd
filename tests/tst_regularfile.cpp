// RegularFile, the opener of the HEX, --log and settings files: what a look finds, and
// which paths each access opens. Nothing here may wait: a FIFO is never opened.

#include "regularfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Kind = RegularFile::Kind;
using Result = RegularFile::Result;

class TstRegularFile : public QObject
{
    Q_OBJECT

private slots:
    void lookAndOpen_data();
    void lookAndOpen();

private:
    // Makes what a row names at path (inside a fresh folder); false when it could not.
    static bool make(const QString &what, const QString &path);
};

namespace {
constexpr qint64 kFileBytes = 10;
}

bool TstRegularFile::make(const QString &what, const QString &path)
{
    const QString target = path + QStringLiteral(".target");
    QFile file(what == QLatin1String("link to file") ? target : path);
    if (what == QLatin1String("nothing"))
        return true;
    if (what == QLatin1String("link to nothing"))
        return QFile::link(target, path);
    if (what == QLatin1String("folder"))
        return QDir().mkdir(path);
    if (what == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) == 0;
    const bool written = file.open(QIODevice::WriteOnly) && file.write(QByteArray(kFileBytes, 'x')) == kFileBytes;
    file.close();
    return written && (what != QLatin1String("link to file") || QFile::link(target, path));
}

void TstRegularFile::lookAndOpen_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<bool>("isLink");
    QTest::addColumn<Result>("read");
    QTest::addColumn<Result>("append");

    const qint64 any = RegularFile::kNoSizeLimit;
    QTest::newRow("file") << "file" << any << Kind::Regular << false << Result::Opened << Result::Opened;
    QTest::newRow("file at the bound") << "file" << kFileBytes << Kind::Regular << false << Result::Opened
                                       << Result::Opened;
    QTest::newRow("file past the bound") << "file" << kFileBytes - 1 << Kind::Regular << false << Result::TooLarge
                                         << Result::TooLarge;
    QTest::newRow("link to a file") << "link to file" << any << Kind::Regular << true << Result::Opened
                                    << Result::Opened;
    // Appending makes the file: where nothing is, and where a link leads to nothing.
    QTest::newRow("nothing") << "nothing" << any << Kind::Missing << false << Result::NotRegular << Result::Opened;
    QTest::newRow("link to nothing") << "link to nothing" << any << Kind::Unreachable << true << Result::NotRegular
                                     << Result::Opened;
    QTest::newRow("folder") << "folder" << any << Kind::Folder << false << Result::NotRegular << Result::NotRegular;
    QTest::newRow("fifo") << "fifo" << any << Kind::Fifo << false << Result::NotRegular << Result::NotRegular;
}

void TstRegularFile::lookAndOpen()
{
    QFETCH(QString, what);
    QFETCH(qint64, maxBytes);
    QFETCH(Kind, kind);
    QFETCH(bool, isLink);
    QFETCH(Result, read);
    QFETCH(Result, append);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("f"));
    QVERIFY(make(what, path));

    const RegularFile::Look look = RegularFile::look(path);
    QCOMPARE(look.kind, kind);
    QCOMPARE(look.isLink, isLink);

    const RegularFile::Opened forReading = RegularFile::open(path, RegularFile::Access::Read, maxBytes);
    QCOMPARE(forReading.result, read);
    QCOMPARE(forReading.file != nullptr, read == Result::Opened);
    if (forReading.file)
        QCOMPARE(forReading.file->readAll(), QByteArray(kFileBytes, 'x'));

    const RegularFile::Opened forAppending = RegularFile::open(path, RegularFile::Access::Append, maxBytes);
    QCOMPARE(forAppending.result, append);
    if (append != Result::Opened)
        return;
    QVERIFY(forAppending.file->write("y") == 1);
    QVERIFY(RegularFile::isOpenAt(*forAppending.file, path));
    QCOMPARE(RegularFile::look(path).size, (look.kind == Kind::Regular ? look.size : 0) + 1);
    // A file put in its place is another file.
    QVERIFY(QFile::remove(path) && make(QStringLiteral("file"), path));
    QVERIFY(!RegularFile::isOpenAt(*forAppending.file, path));
}

QTEST_GUILESS_MAIN(TstRegularFile)
#include "tst_regularfile.moc"
