#pragma once

#include <QLoggingCategory>

// Debug output of the serial layer: port map, open outcomes, line set-up. An open
// outcome is written here when it changes for a device; the port map when it changes.
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
// Every open attempt on a device, also when its outcome is the same as last time.
// Off unless switched on (QT_LOGGING_RULES="zorbel.serial.trace.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcSerialTrace)
