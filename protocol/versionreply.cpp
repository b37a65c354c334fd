#include "versionreply.h"

#include "instrumentprotocol.h"

namespace {
constexpr int kVersionScale = 100;
}

VersionReply VersionReply::judge(const char *bytes, int count)
{
    VersionReply reply;
    if (count != InstrumentProtocol::kVersionReplyBytes || bytes == nullptr)
        return reply;
    reply.complete = true;
    reply.letterText = QString(QLatin1Char(bytes[0]));
    reply.version = static_cast<unsigned char>(bytes[1]);
    reply.accepted = reply.letterText == QLatin1Char(InstrumentProtocol::kIdentificationLetter)
                     && reply.version >= InstrumentProtocol::kMinimumFirmwareVersion;
    return reply;
}

int VersionReply::majorVersion() const
{
    return version / kVersionScale;
}

int VersionReply::minorVersion() const
{
    return version % kVersionScale;
}
