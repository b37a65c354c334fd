#include "loadedimage.h"

LoadedImage::LoadedImage()
    : m_bytes(std::make_unique<FlashImage>())
{
    m_bytes->fill(kErasedByte);
}

LoadedImage::LoadedImage(const FlashImage &bytes, int end)
    : m_bytes(std::make_unique<FlashImage>(bytes))
    , m_end(end)
{
}

LoadedImage::LoadedImage(const LoadedImage &other)
    : LoadedImage(other.bytes(), other.m_end)
{
}

LoadedImage &LoadedImage::operator=(const LoadedImage &other)
{
    if (this != &other) {
        *m_bytes = other.bytes();
        m_end = other.m_end;
    }
    return *this;
}

LoadedImage::~LoadedImage() = default;

bool LoadedImage::signatureInPlace() const
{
    for (std::size_t i = 0; i < kSignatureLength; ++i) {
        if ((*m_bytes)[kSignatureAddress + i] != kSignatureBytes[i])
            return false;
    }
    return true;
}

int LoadedImage::blockCountFor(int end)
{
    return end / kFlashBlockBytes + 1;
}
