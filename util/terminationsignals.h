#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (closing the terminal, logging out, Ctrl+C), caught and
// handed to the event loop: the handler only writes the signal's number into a pipe,
// which a QSocketNotifier watches, so the program can end the way its user would.
// Any event loop that runs, also a nested one, delivers them. One object per
// process; the handlers that were in place before it come back when it goes. Should
// the pipe fail, the signals keep their earlier effect. Used by the window and by
// zorbelflash alike. Unix only (terminationsignals_posix.cpp); on Windows
// (terminationsignals_win.cpp) the object does nothing.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

signals:
    void received(int signalNumber);

private:
    void takePending();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
