#pragma once

#include "instrumentreport.h"
#include "portscan.h"

#include <QString>

class FlashJob;
class StationMode;
class StationProfile;
class VersionReply;

// The words zorbelflash uses for instruments, ports and outcomes, in one place.
namespace InstrumentTexts {

// "1.23", as the instrument answered.
QString firmware(const VersionReply &reply);
// "1.23" for version 123.
QString firmware(int version);
// "Zorbelmeter FW V1.23"
QString instrument(const VersionReply &reply);
// What a port answered, for list and for the messages of write.
QString answer(const PortScan::PortResult &result);
// Why a write was not written: "no answer", "connection lost", ...
QString abort(InstrumentReport::Outcome outcome);
// The line that closes a write's progress row.
QString closing(const FlashJob &job);
// Why a station profile was refused: "line1.conf line 3: unknown key 'ports'".
QString profileError(const StationProfile &profile);
// A station's summary at its end: "12 written, 1 incomplete (COM4); refused: COM7".
QString stationSummary(const StationMode &station);

} // namespace InstrumentTexts
