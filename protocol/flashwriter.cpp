#include "flashwriter.h"

#include "instrumentprotocol.h"
#include "modem.h"

#include <QElapsedTimer>

#include <algorithm>

using namespace InstrumentProtocol;

namespace {
constexpr int kLowByteMask = 0xFF;
constexpr int kBitsPerByte = 8;
} // namespace

FlashWriter::FlashWriter(Modem &modem, const FlashImage &image, int imageEnd)
    : modem(modem)
    , image(image)
    , imageEnd(imageEnd)
    , total(blockTotalFor(imageEnd))
{
}

int FlashWriter::blockTotalFor(int imageEnd)
{
    return imageEnd / kBlockBytes + 1;
}

bool FlashWriter::canWrite(bool portOpen, int imageEnd)
{
    return portOpen && imageEnd <= kImageEndLimit;
}

bool FlashWriter::sendCommand()
{
    return modem.writeTty(kWriteCommand);
}

FlashWriter::Outcome FlashWriter::transferBlocks()
{
    acks = 0;
    sent = 0;
    if (imageEnd > kImageEndLimit)
        return Outcome::NotPossible;

    QElapsedTimer sinceLastBlock;
    sinceLastBlock.start();
    int blockAddress = 0;
    while (blockAddress <= imageEnd) {
        char byte = 0;
        switch (waitForByte(byte, sinceLastBlock)) {
        case WaitResult::Byte:
            break;
        case WaitResult::TimedOut:
            return Outcome::NoAnswer;
        case WaitResult::PortFailed:
            return Outcome::ConnectionLost;
        }
        ++acks;
        emit progress(acks, total);
        if (byte != kBlockRequest) {
            // Anything else is counted but not answered; it does not restart the clock.
            continue;
        }
        if (!sendBlock(blockAddress))
            return Outcome::ConnectionLost;
        ++sent;
        blockAddress += kBlockBytes;
        sinceLastBlock.restart();
    }

    modem.writeTtyByte(kEndMarkerByte);
    modem.writeTtyByte(kEndMarkerByte);
    if (modem.portFailed())
        return Outcome::ConnectionLost;
    emit progress(acks, total);
    return Outcome::Written;
}

FlashWriter::WaitResult FlashWriter::waitForByte(char &byte, const QElapsedTimer &sinceLastBlock)
{
    for (;;) {
        if (modem.readTty(&byte, 1) == 1)
            return WaitResult::Byte;
        if (modem.portFailed())
            return WaitResult::PortFailed;
        const qint64 remaining = kRequestTimeoutMs - sinceLastBlock.elapsed();
        if (remaining <= 0)
            return WaitResult::TimedOut;
        modem.waitForInput(static_cast<int>(std::min<qint64>(remaining, kWaitSliceMs)));
        emit waiting();
    }
}

bool FlashWriter::sendBlock(int address)
{
    // Never read past the image, whatever imageEnd claims.
    if (address < 0 || address + kBlockBytes > kFlashImageSize)
        return false;
    bool ok = modem.writeTtyByte(address & kLowByteMask);
    ok = modem.writeTtyByte((address >> kBitsPerByte) & kLowByteMask) && ok;
    const auto first = static_cast<std::size_t>(address);
    for (std::size_t offset = 0; offset < kBlockBytes; ++offset)
        ok = modem.writeTtyByte(image[first + offset]) && ok;
    // A byte the driver would not take is only fatal when the port itself has failed.
    return ok || !modem.portFailed();
}
