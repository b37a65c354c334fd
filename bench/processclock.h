#pragma once

// The CPU time a process has used, for the benches that measure another program.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>

// User and system time of process pid so far, in clock ticks (sysconf(_SC_CLK_TCK) a
// second), from /proc; -1 where it cannot be read.
inline long long clockTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime, stime
}
