#pragma once

// SystemJournal: structured entries for the system's journal. The platform's side:
// systemjournal_linux.cpp (journald, through libsystemd) and systemjournal_win.cpp
// (elsewhere: there is no journal to reach).

#include <QByteArray>
#include <QList>

class SystemJournal
{
public:
    // Whether a journal takes entries here now (on Linux: journald's socket is there).
    static bool isReachable();
    // Sends one entry; each field is "NAME=value" (value any bytes). False when the
    // journal did not take it.
    static bool send(const QList<QByteArray> &fields);
};
