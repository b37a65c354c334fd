#pragma once

// StandardStreams: what a command-line program does with its standard streams before it
// writes to them. The platform's side: standardstreams_posix.cpp and
// standardstreams_win.cpp.

namespace StandardStreams {

// The descriptor numbers of standard output and standard error.
constexpr int kOutput = 1;
constexpr int kError = 2;

// A standard stream the caller closed is held by /dev/null, opened for reading
// only: otherwise the next file opened (the event loop's, the log, a serial port) would
// take its number and receive what is meant for standard output. Writing to it fails,
// so a record that cannot be kept is noticed. Called first thing, before anything opens
// a file. Unix only; on Windows it does nothing.
void holdClosed();

// A reader that goes away (zorbelflash ... | head -1) must not end the program midway
// through a write: output to it just fails. Unix only (SIGPIPE ignored); on Windows it
// does nothing.
void ignoreBrokenPipe();

// Whether the descriptor fd is a terminal.
bool isTerminal(int fd);

} // namespace StandardStreams
