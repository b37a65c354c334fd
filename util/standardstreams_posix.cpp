// StandardStreams on Unix: a closed stream held by /dev/null, SIGPIPE ignored, isatty().

#include "standardstreams.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <unistd.h>

static_assert(StandardStreams::kOutput == STDOUT_FILENO && StandardStreams::kError == STDERR_FILENO);

namespace StandardStreams {

void holdClosed()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

void ignoreBrokenPipe()
{
    ::signal(SIGPIPE, SIG_IGN);
}

bool isTerminal(int fd)
{
    return ::isatty(fd) != 0;
}

} // namespace StandardStreams
