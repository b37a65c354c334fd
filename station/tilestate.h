#pragma once

#include "instrumentreport.h"
#include "portscan.h"

#include <QString>

#include <optional>

// One slot of the station as its tile shows it: what the station's events and the
// writes' outcomes say about the port, turned into one large word, one line of detail
// and a colour role. No widget: the tile only paints what this says.
//
// A unit's result (PASS, FAIL, current, named for a check) stays until the unit is
// taken out (the port seen empty, or its device gone) or the next write starts on the
// port. A port that cannot be used (busy, refused, another device) shows that over the
// result until it answers otherwise; a port without its device shows that over both.
// A write holds its port: while it runs, nothing else is shown.
class TileState
{
public:
    // What the unit in the slot came to.
    enum class Unit {
        None,       // no unit seen since the slot was last empty
        Writing,    // the blocks are going out
        Restarting, // written; the unit is waited for until it answers after its restart
        Passed,     // written and answered the expected version
        Failed,     // the write or its confirmation failed
        Stopped,    // the station was ended while it wrote or waited
        Current,    // answered the expected version when plugged in: not written
        Check,      // written twice and still not at the expected version
    };

    // The colour of the tile's background.
    enum class Role {
        Waiting,    // neutral
        Writing,
        Restarting,
        Pass,
        Fail,
        Current,
        Check,
        Unavailable, // busy, refused, another device: dark
        Absent,      // no device behind the port
    };

    struct Progress
    {
        int done = 0;         // blocks sent
        int total = 0;        // blocks of the image
        qint64 elapsedMs = 0; // since the write command
    };

    explicit TileState(int expectedVersion = -1);

    // Who the slot is.
    struct Identity
    {
        QString label;    // empty: none
        QString portName; // the COM name
        QString byIdLink; // the adapter's link in the folder of stable names; empty: none
    };

    void setIdentity(const Identity &identity);
    // The port's device is there, or gone.
    void setPresent(bool present);

    void writeStarted(int blockTotal);
    void writeProgressed(const Progress &progress, bool restarting);
    void writeFinished(const InstrumentReport &report, int blockTotal);
    void unitCurrent(int version);
    void needsCheck(int version);
    // state: Busy, PermissionDenied or OtherReply.
    void unavailable(PortScan::PortState state);
    void available();
    void emptied();

    Unit unit() const { return m_unit; }
    bool isPresent() const { return m_present; }
    bool holdsWrite() const { return m_unit == Unit::Writing || m_unit == Unit::Restarting; }
    Role role() const;
    QString word() const;
    QString detail() const;
    // Whether the progress bar is shown, and how far it is.
    bool showsProgress() const { return m_unit == Unit::Writing; }
    Progress progress() const { return m_progress; }

    // The tile's title: the label, or the COM name when it has none.
    QString title() const;
    // The line under the title: the COM name (when the label is the title) and the adapter.
    QString subtitle() const;
    QString portName() const { return m_portName; }

    // The short name of an adapter from its stable link: the maker, model and serial
    // number without the folder, the bus prefix and the interface suffix
    // ("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0" -> "FTDI FT232R USB UART A12345").
    static QString adapterName(const QString &byIdLink);

private:
    QString failDetail() const;

    int m_expectedVersion;
    QString m_label;
    QString m_portName;
    QString m_adapter;
    bool m_present = true;
    Unit m_unit = Unit::None;
    std::optional<PortScan::PortState> m_condition; // busy, refused, another device
    Progress m_progress;
    InstrumentReport m_report; // of the last write (Passed, Failed, Stopped)
    int m_blockTotal = 0;
    int m_version = -1; // answered (Current, Check)
};
