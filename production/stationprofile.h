#pragma once

#include "portscan.h"

#include <QList>
#include <QString>

#include <chrono>

// A station's profile: the firmware file, the version it brings, the log, the ports
// and a label for each, set once for a line. A text file of key=value lines, as
// KeyValueFile writes them, read strictly so that a typo stops the station instead of
// changing what it does:
//
//   # comment lines begin with '#'; blank lines are skipped
//   firmware=zm-1.24.hex        the HEX file (a relative path starts at the profile's folder)
//   expect-version=1.24         a unit that answers it is done
//   log=/var/log/zorbel/line1.jsonl   optional: the records, one JSON line each
//   restart-wait=15             optional: seconds a unit is waited for after its write
//   port1=/dev/ttyUSB0          the ports, 1 to kMaxPorts: a device path or a COM name
//   label1=Slot A               optional: what the station calls the port
//
// Without any portN the station watches every port present (ZORBEL_PORTS applies).
class StationProfile
{
public:
    static constexpr int kMaxPorts = 48;

    enum class Error {
        None,
        NotReadable,    // the file cannot be read (errorDetail says why)
        NotKeyValue,    // a line that is neither key=value, a comment nor blank
        UnknownKey,     // a key the profile does not know
        RepeatedKey,    // a key given twice
        BadValue,       // a value the key cannot take (a version, seconds, a port number)
        LabelWithoutPort, // labelN without portN
        NoFirmware,     // no firmware line
        NoVersion,      // no expect-version line
    };

    struct Port
    {
        int number = 0;  // N of portN
        QString port;    // a COM name or a device path, as written
        QString label;   // empty: none given
    };

    // Reads and checks the profile at path.
    static StationProfile load(const QString &path);

    Error error() const { return m_error; }
    bool isValid() const { return m_error == Error::None; }
    // The line (from 1) that made the error, 0 when it is not one line's; its key and
    // the system's words for NotReadable.
    int errorLine() const { return m_errorLine; }
    QString errorDetail() const { return m_errorDetail; }

    QString path() const { return m_path; }
    QString firmwarePath() const { return m_firmwarePath; }
    int expectedVersion() const { return m_expectedVersion; }
    QString logPath() const { return m_logPath; } // empty: none
    std::chrono::milliseconds restartWait() const { return m_restartWait; }
    QList<Port> ports() const { return m_ports; }
    // The ports to watch, taken afresh every round: the profile's ports, or every port
    // present when it names none.
    PortScan::CandidateSource source() const;

private:
    bool fail(Error error, int line, const QString &detail);
    // One key=value line of the file.
    struct Entry
    {
        int line = 0; // from 1
        QString key;
        QString value;
    };
    bool take(const Entry &entry);
    QString resolved(const QString &path) const;

    QString m_path;
    Error m_error = Error::None;
    int m_errorLine = 0;
    QString m_errorDetail;
    QString m_firmwarePath;
    int m_expectedVersion = -1;
    QString m_logPath;
    std::chrono::milliseconds m_restartWait;
    QList<Port> m_ports;
};
