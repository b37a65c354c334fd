#pragma once

#include "flashimage.h"

// The instrument's side of the serial line: what it is sent and what it answers.

namespace InstrumentProtocol {

// The line: 19200 bit/s, 8 data bits, no parity, one stop bit.
inline constexpr int kLineSpeedBaud = 19200;

// Discovery: "@v;" is answered by the identification letter and the firmware version.
inline constexpr const char *kVersionQuery = "@v;";
inline constexpr char kIdentificationLetter = 'Z';
inline constexpr int kVersionReplyBytes = 2;
inline constexpr int kMinimumFirmwareVersion = 100; // version x 100: 100 is V1.00

// Discovery pacing, each counted from the end of the previous step.
inline constexpr int kReplyWaitMs = 300;      // after a query, before its reply is read
inline constexpr int kMissingPortDelayMs = 100; // after a port that does not open
inline constexpr int kRejectedPortDelayMs = 200; // after a port whose reply is rejected
// Asking many ports at once (zorbelflash): a reply is taken as soon as it is whole; a
// port that has not answered is waited for this long, since a slow instrument answers
// within about a second.
inline constexpr int kSlowReplyWaitMs = 1200;

// Flash write: "@w#####;", then one 'k' per block the instrument wants.
inline constexpr const char *kWriteCommand = "@w#####;";
inline constexpr char kBlockRequest = 'k';
inline constexpr int kBlockBytes = kFlashBlockBytes;
inline constexpr int kEndMarkerByte = 0xFF; // sent twice where the next block address would stand
inline constexpr int kAddressBytes = 2;     // low byte first

// One cycle of the flash write may take this long: waiting for the next 'k' and getting
// the answer (a block, or the end marker) taken by the driver, counted from the end of
// the previous cycle (or the start).
inline constexpr int kRequestTimeoutMs = 5000;

} // namespace InstrumentProtocol
