// StandardStreams on Windows: closed streams are left as they are and there is no SIGPIPE
// to ignore; only the terminal is asked about (_isatty()).

#include "standardstreams.h"

#include <io.h>

namespace StandardStreams {

void holdClosed() {}

void ignoreBrokenPipe() {}

bool isTerminal(int fd)
{
    return ::_isatty(fd) != 0;
}

} // namespace StandardStreams
