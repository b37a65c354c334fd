#include "seriallog.h"

Q_LOGGING_CATEGORY(lcSerial, "zorbel.serial")
Q_LOGGING_CATEGORY(lcSerialTrace, "zorbel.serial.trace", QtInfoMsg)
