// Every message the program logs while a LogCapture lives, for tests that check what
// was written to the log.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Keeps each message with its category and type, and passes it on to the handler it
// replaced (Qt Test's, which counts warnings and honours QTest::ignoreMessage). One at
// a time.
class LogCapture
{
public:
    struct Line
    {
        QByteArray category;
        QtMsgType type;
        QString text;
    };

    LogCapture()
    {
        const QMutexLocker lock(&s_mutex);
        s_lines.clear();
        s_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Line> lines() const
    {
        const QMutexLocker lock(&s_mutex);
        return s_lines;
    }

    // The texts of one category and type, without surrounding blanks.
    QStringList texts(const QByteArray &category, QtMsgType type) const
    {
        QStringList result;
        for (const Line &line : lines()) {
            if (line.category == category && line.type == type)
                result << line.text.trimmed();
        }
        return result;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        {
            const QMutexLocker lock(&s_mutex);
            s_lines.append({QByteArray(context.category != nullptr ? context.category : ""), type, text});
        }
        if (s_previous != nullptr)
            s_previous(type, context, text);
    }

    static inline QMutex s_mutex;
    static inline QList<Line> s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};
