#include "signalwatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::array<int, 2> g_pipe = {-1, -1}; // read end, write end
constexpr std::array<int, 2> kWatchedSignals = {SIGINT, SIGTERM};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto token = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &token, 1);
    errno = savedErrno;
}

} // namespace
#endif

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::pipe2(g_pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kWatchedSignals)
        ::sigaction(signalNumber, &action, nullptr);
    // A reader that goes away (zorbelflash ... | head -1) must not end a write midway:
    // output to it just fails.
    ::signal(SIGPIPE, SIG_IGN);
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
#endif
}

SignalWatcher::~SignalWatcher()
{
#ifdef Q_OS_UNIX
    for (int signalNumber : kWatchedSignals)
        ::signal(signalNumber, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    delete m_notifier;
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
#endif
}

void SignalWatcher::onReadable()
{
#ifdef Q_OS_UNIX
    unsigned char token = 0;
    while (::read(g_pipe[0], &token, 1) == 1)
        emit signalled(token);
#endif
}
