#pragma once

#include <QString>

// The instrument's answer to the version query, as judged by discovery.
class VersionReply
{
public:
    // bytes: what was read; count: how many (0 to 2 are meaningful).
    static VersionReply judge(const char *bytes, int count);

    bool isComplete() const { return complete; }  // two bytes arrived
    bool isAccepted() const { return accepted; }  // letter and version fit the instrument
    QString letter() const { return letterText; } // first byte as a one-character text
    int firmwareVersion() const { return version; } // second byte, 0..255
    int majorVersion() const;
    int minorVersion() const;

private:
    bool complete = false;
    bool accepted = false;
    QString letterText;
    int version = 0;
};
