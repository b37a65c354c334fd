#pragma once

#include <QLoggingCategory>

// Debug output of the serial layer: port map, open outcomes, line set-up.
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
