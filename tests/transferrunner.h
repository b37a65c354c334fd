#pragma once

#include "flashwriter.h"
#include "simulatedinstrument.h"

#include <QSignalSpy>

// Runs a transfer to its end on the calling thread's event loop, as the window and the
// command-line tool do. False when it has not finished within limitMs.
inline bool runTransfer(FlashWriter &writer, int limitMs = 30000)
{
    QSignalSpy finished(&writer, &FlashWriter::finished);
    writer.start();
    if (writer.state() != FlashWriter::State::Finished)
        finished.wait(limitMs);
    return writer.state() == FlashWriter::State::Finished && finished.size() == 1;
}

// An instrument with the transfer faults the flash-write tests go through; a negative
// block count (or no noise) leaves that fault out.
inline SimulatedInstrument::Config faultyInstrument(int stallAfter, int hangUpAfter, int receiveStopAfter,
                                                    int noiseBytes)
{
    SimulatedInstrument::Config config;
    config.stallAfterBlocks = stallAfter;
    config.hangUpAfterBlocks = hangUpAfter;
    config.receiveStopAfterBlocks = receiveStopAfter;
    config.noiseBytes = noiseBytes;
    return config;
}
