#pragma once

// UsbLatency: low-latency mode of USB-serial adapters, asked for and described.

#include <QString>

// Low-latency mode of USB-serial adapters on Linux.
//
// An adapter's driver holds received bytes back for a few milliseconds (16 ms by
// default for FTDI chips) before passing them on. The instrument asks for each flash
// block with a single byte, so that delay is paid once per block. In low-latency mode
// (ASYNC_LOW_LATENCY) the driver passes bytes on at once. Asking for it is best
// effort: not every driver supports it, and the transfer works without.
class UsbLatency
{
public:
    enum class State {
        Enabled,     // the driver took the request
        AlreadyOn,   // the mode was on before
        Unsupported, // the device or its driver has no such setting
        Failed       // the driver refused; see systemError
    };

    struct Outcome
    {
        State state = State::Unsupported;
        int systemError = 0;   // errno of the failed request, 0 otherwise
        int previousFlags = 0; // the driver's serial flags before an Enabled request
    };

    // True for the device path of a USB-serial adapter as Linux names it:
    // /dev/ttyUSB<n> or /dev/ttyACM<n>. Give it the path with symlinks resolved.
    static bool isAdapterPath(const QString &canonicalPath);

    // The resolved device path (symlinks such as /dev/serial/by-id/... followed)
    // when devicePath leads to a USB-serial adapter; empty otherwise.
    static QString adapterDevice(const QString &devicePath);

    // Asks the driver behind an open terminal descriptor for low-latency mode.
    // Linux only; elsewhere the answer is Unsupported.
    static Outcome requestLowLatency(int fd);

    // Puts back the serial flags a request found (only after one that answered
    // Enabled; otherwise there is nothing to undo and the answer is true). False when
    // the driver refused or the descriptor is gone.
    static bool restore(int fd, const Outcome &request);

    // One line for the debug output, e.g. "on" or "not supported by the driver".
    static QString describe(const Outcome &outcome);
};
