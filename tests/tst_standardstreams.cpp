// StandardStreams: a standard stream the caller closed is held before any file opened
// later can take its number.

#include "standardstreams.h"

#include <QTemporaryFile>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class TstStandardStreams : public QObject
{
    Q_OBJECT

private slots:
    void closedStreamIsHeld_data();
    void closedStreamIsHeld();
};

void TstStandardStreams::closedStreamIsHeld_data()
{
    QTest::addColumn<int>("fd");
    QTest::newRow("standard input") << int(STDIN_FILENO);
    QTest::newRow("standard output") << StandardStreams::kOutput;
    QTest::newRow("standard error") << StandardStreams::kError;
}

// The stream is closed, held, and a file opened next: nothing is said meanwhile (the
// test's own output may be the stream), and the test's stream is put back before any
// verdict.
void TstStandardStreams::closedStreamIsHeld()
{
    QFETCH(int, fd);
    QTemporaryFile later;
    const int saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    QVERIFY(saved >= 0);
    ::close(fd);
    StandardStreams::holdClosed();
    const int flags = ::fcntl(fd, F_GETFL);
    const bool laterOpened = later.open();
    const int laterFd = later.handle();
    later.close();
    ::dup2(saved, fd);
    ::close(saved);

    QVERIFY(flags != -1);
    QCOMPARE(flags & O_ACCMODE, O_RDONLY); // writing to it fails
    QVERIFY(laterOpened);
    QVERIFY(laterFd != fd);
}

QTEST_GUILESS_MAIN(TstStandardStreams)
#include "tst_standardstreams.moc"
