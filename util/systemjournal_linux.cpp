// SystemJournal on Linux: libsystemd's sd_journal_sendv to journald's native socket.

#include "systemjournal.h"


#include <systemd/sd-journal.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <vector>

namespace {

// Where journald listens for structured entries.
constexpr const char *kJournalSocket = "/run/systemd/journal/socket";

} // namespace

bool SystemJournal::isReachable()
{
    struct stat status = {};
    return ::stat(kJournalSocket, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool SystemJournal::send(const QList<QByteArray> &fields)
{
    std::vector<iovec> entries(static_cast<size_t>(fields.size()));
    std::transform(fields.cbegin(), fields.cend(), entries.begin(), [](const QByteArray &field) {
        return iovec{const_cast<char *>(field.constData()), static_cast<size_t>(field.size())};
    });
    return ::sd_journal_sendv(entries.data(), static_cast<int>(entries.size())) == 0;
}
