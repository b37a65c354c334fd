// TerminationSignals on Windows: there are no such signals to catch (a console's
// Ctrl+C keeps its usual effect), so the object does nothing.

#include "terminationsignals.h"

#include <QSocketNotifier>

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::takePending() {}
