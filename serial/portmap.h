#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Maps the COM names the loader uses (COM1, COM2, ...) to this platform's devices.
//
// Windows: a COM name is the device name as it stands.
// Linux and macOS: if the environment variable ZORBEL_PORTS is set, it alone defines
// the map ("COM1=/dev/ttyUSB0,COM7=/tmp/ttyV0"; set but empty means no ports at all).
// Otherwise COM1, COM2, ... are the serial devices present, USB adapters first, then
// the rest, each group in natural number order.
//
// The map is taken when refresh() is called; devicePath() only looks it up.
class PortMap
{
public:
    // Outcome of reading a ZORBEL_PORTS text.
    struct ParseResult
    {
        QMap<int, QString> devices; // COM number -> device path
        QStringList rejected;       // the pairs skipped, as written
        QStringList reasons;        // why each of them was skipped, in the same order
    };

    static constexpr const char *kEnvironmentVariable = "ZORBEL_PORTS";
    // The loader scans COM1 to COM50; higher names are never asked for.
    static constexpr int kHighestComNumber = 50;

    // Reads "COMn=path,COMm=path,..."; blanks around pairs and around '=' are ignored,
    // empty entries are skipped silently; a malformed pair (no '=', no path, not COMn
    // with n >= 1 written without leading zeros), a COM name beyond COM50 or a second
    // pair for the same COM name is skipped and listed in `rejected`.
    static ParseResult parse(const QString &text);

    // The order in which enumerated device names (e.g. "ttyUSB0", "ttyS1",
    // "cu.usbserial-1410") become COM1, COM2, ...: USB adapters (ttyUSB*, ttyACM*,
    // cu.usb*) first, then the rest, each group in natural order ("ttyS2" before
    // "ttyS10"). A macOS dial-in name "tty.X" is dropped when its call-out twin "cu.X"
    // is listed. Duplicates are dropped.
    static QStringList orderDevices(const QStringList &names);

    // The number n of "COMn" (n >= 1, no leading zeros, "com" in any case), or 0.
    static int comNumber(const QString &name);
    // "COM7" for 7.
    static QString comName(int number);

    // Takes the map afresh: ZORBEL_PORTS if set, else the devices present. The map
    // and the pairs skipped go to the debug output when they differ from last time.
    void refresh();

    // The device path behind a COM name; empty when the name has no device.
    QString devicePath(const QString &comName) const;

    // True when the last refresh() took the map from ZORBEL_PORTS.
    bool fromEnvironment() const { return m_fromEnvironment; }

    // The current map (COM number -> device path); empty on Windows.
    QMap<int, QString> devices() const { return m_devices; }

private:
    void logChanges(QStringList rejected, const QStringList &reasons);

    QMap<int, QString> m_devices;
    bool m_fromEnvironment = false;
    bool m_logged = false; // the state below has been written once
    QMap<int, QString> m_loggedDevices;
    bool m_loggedFromEnvironment = false;
    QStringList m_loggedRejected;
};
