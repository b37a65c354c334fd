// TerminationSignals on Unix: sigaction() handlers that write into a pipe the event
// loop watches.

#include "terminationsignals.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcSignals, "zorbel.signals")

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};
// Signals arriving faster than the event loop reads them; more are dropped (one is
// enough to close).
constexpr int kReadChunk = 16;

std::array<int, 2> g_pipe = {-1, -1}; // read end, write end
std::atomic<int> g_writeEnd{-1};
std::array<struct sigaction, kSignals.size()> g_previous{};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd.load(), &byte, 1);
    errno = savedErrno;
}

bool makePipe()
{
    if (::pipe(g_pipe.data()) != 0)
        return false;
    return std::all_of(g_pipe.cbegin(), g_pipe.cend(), [](int fd) {
        return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
    });
}

void closePipe()
{
    g_writeEnd = -1;
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

const char *nameOf(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (!makePipe()) {
        closePipe();
        return;
    }
    g_writeEnd = g_pipe[1];
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::takePending);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        ::sigaction(kSignals.at(i), &action, &g_previous.at(i));
}

TerminationSignals::~TerminationSignals()
{
    // Without the pipe no handler was put in place, and there is nothing to put back.
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        ::sigaction(kSignals.at(i), &g_previous.at(i), nullptr);
    m_notifier.reset();
    closePipe();
}

void TerminationSignals::takePending()
{
    std::array<unsigned char, kReadChunk> numbers{};
    const ssize_t count = ::read(g_pipe[0], numbers.data(), numbers.size());
    for (ssize_t i = 0; i < count; ++i) {
        const int signalNumber = numbers.at(static_cast<std::size_t>(i));
        qCInfo(lcSignals, "%s received", nameOf(signalNumber));
        emit received(signalNumber);
    }
}
