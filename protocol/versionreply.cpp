#include "versionreply.h"

#include "instrumentprotocol.h"

#include <QRegularExpression>

namespace {
constexpr int kVersionScale = 100;
constexpr int kHighestVersion = 255; // one byte on the line
}

VersionReply VersionReply::judge(const char *bytes, int count)
{
    VersionReply reply;
    if (bytes == nullptr)
        return reply;
    reply.m_received = QByteArray(bytes, qBound(0, count, InstrumentProtocol::kVersionReplyBytes));
    if (count != InstrumentProtocol::kVersionReplyBytes)
        return reply;
    reply.m_complete = true;
    reply.m_letterText = QString(QLatin1Char(bytes[0]));
    reply.m_version = static_cast<unsigned char>(bytes[1]);
    reply.m_accepted = reply.m_letterText == QLatin1Char(InstrumentProtocol::kIdentificationLetter)
                       && reply.m_version >= InstrumentProtocol::kMinimumFirmwareVersion;
    return reply;
}

int VersionReply::majorVersion() const
{
    return m_version / kVersionScale;
}

int VersionReply::minorVersion() const
{
    return m_version % kVersionScale;
}

QString VersionReply::versionText(int version)
{
    return QString::asprintf("%i.%02i", version / kVersionScale, version % kVersionScale);
}

int VersionReply::parseVersionText(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[Vv]?(\\d)\\.(\\d\\d)$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    const int version = match.captured(1).toInt() * kVersionScale + match.captured(2).toInt();
    return version >= InstrumentProtocol::kMinimumFirmwareVersion && version <= kHighestVersion ? version : -1;
}
