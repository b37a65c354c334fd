#include "seriallog.h"

Q_LOGGING_CATEGORY(lcSerial, "zorbel.serial")
