#include "flashimage.h"

bool isSuitable(const FlashImage& image, int imageEnd)
{
    for (std::size_t i = 0; i < kSignatureLength; ++i) {
        if (image[kSignatureAddress + i] != kSignatureBytes[i])
            return false;
    }
    return imageEnd <= kImageEndLimit;
}
