#pragma once

#include <QByteArray>
#include <QString>

// The instrument's answer to the version query, as judged by discovery.
class VersionReply
{
public:
    // bytes: what was read; count: how many (0 to 2 are meaningful).
    static VersionReply judge(const char *bytes, int count);

    QByteArray received() const { return m_received; } // the bytes read, at most two
    bool isComplete() const { return m_complete; }  // two bytes arrived
    bool isAccepted() const { return m_accepted; }  // letter and version fit the instrument
    QString letter() const { return m_letterText; } // first byte as a one-character text
    int firmwareVersion() const { return m_version; } // second byte, 0..255
    int majorVersion() const;
    int minorVersion() const;
    // A firmware version as the instrument's records write it: 124 is "1.24".
    static QString versionText(int version);
    // The version in "1.24" or "V1.24" (124); -1 when the text is no version the
    // instrument can answer (1.00 to 2.55).
    static int parseVersionText(const QString &text);

private:
    QByteArray m_received;
    bool m_complete = false;
    bool m_accepted = false;
    QString m_letterText;
    int m_version = 0;
};
