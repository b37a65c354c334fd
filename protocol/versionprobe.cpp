#include "versionprobe.h"

#include "instrumentprotocol.h"
#include "modem.h"

#include <QtGlobal>

#include <array>

using namespace InstrumentProtocol;

namespace {
constexpr int kDropChunkBytes = 4096; // taken from the input per read when dropping it
constexpr int kMaxDropReads = 16;     // a device that never stops sending cannot hold us here
} // namespace

bool VersionProbe::sendQuery(Modem &modem)
{
    dropInput(modem);
    return repeatQuery(modem);
}

bool VersionProbe::repeatQuery(Modem &modem)
{
    return modem.queueTty(kVersionQuery, static_cast<int>(qstrlen(kVersionQuery)));
}

bool VersionProbe::queryTaken(const Modem &modem)
{
    return modem.pendingOutput() == 0;
}

VersionReply VersionProbe::readReply(Modem &modem)
{
    if (!queryTaken(modem))
        return {};
    std::array<char, kVersionReplyBytes> reply{};
    const int received = modem.readTty(reply.data(), kVersionReplyBytes);
    return VersionReply::judge(reply.data(), received);
}

void VersionProbe::dropInput(Modem &modem)
{
    std::array<char, kDropChunkBytes> scratch{};
    for (int read = 0; read < kMaxDropReads; ++read) {
        if (modem.readTty(scratch.data(), kDropChunkBytes) <= 0)
            return;
    }
}
