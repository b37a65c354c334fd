#pragma once

#include "flashimage.h"

#include <memory>

// A flash image with its end address, as a HEX load leaves it: the 65000 entries and
// the address of the image's last byte, with the rules that go with that address.
// Copies are deep (a move copies too: an image is never left without its entries);
// the entries live on the heap.
class LoadedImage
{
public:
    // Every entry kErasedByte, the end unset.
    LoadedImage();
    LoadedImage(const FlashImage &bytes, int end);
    LoadedImage(const LoadedImage &other);
    LoadedImage &operator=(const LoadedImage &other);
    ~LoadedImage();

    const FlashImage &bytes() const { return *m_bytes; }
    FlashImage &bytes() { return *m_bytes; }
    int end() const { return m_end; }
    void setEnd(int end) { m_end = end; }

    bool hasEnd() const { return m_end != kImageEndUnset; }
    bool signatureInPlace() const;
    bool fitsInstrument() const { return endFitsInstrument(m_end); }
    // The signature is in place and the end fits the instrument.
    bool isSuitable() const { return signatureInPlace() && fitsInstrument(); }
    int blockCount() const { return blockCountFor(m_end); }

    // The end-address rules, also for an end that is kept apart from its image.
    // The instrument takes images that end at kImageEndLimit or below.
    static bool endFitsInstrument(int end) { return end <= kImageEndLimit; }
    // The 64-byte blocks covering addresses 0..end (1 for an unset end, whose
    // transfer sends no block).
    static int blockCountFor(int end);

private:
    std::unique_ptr<FlashImage> m_bytes;
    int m_end = kImageEndUnset;
};
