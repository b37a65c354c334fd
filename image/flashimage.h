#pragma once

#include <QtGlobal>

#include <array>
#include <cstddef>

// The in-memory copy of the instrument's program memory: one entry per flash
// byte address, each holding one byte value. The flash writer sends the low
// 8 bits of every entry.

constexpr int kFlashImageSize = 65000;            // entries = byte addresses 0 .. 64999
constexpr qint32 kErasedByte = 0xFF;              // value of every entry before any load
constexpr int kImageEndLimit = 64511;             // 0xFBFF, highest end address the instrument takes
constexpr int kImageEndUnset = -1;                // imageEnd before any data record set it
constexpr int kFlashBlockBytes = 64;              // the instrument writes its flash in blocks of this size

// The instrument's signature: GOTO 0xFC00 (PIC18, two words, low byte first)
// at byte addresses 32 .. 35. 0xFC00 is the first address above kImageEndLimit.
constexpr int kSignatureAddress = 32;
constexpr std::size_t kSignatureLength = 4;       // bytes
constexpr std::array<qint32, kSignatureLength> kSignatureBytes = {0x00, 0xEF, 0x7E, 0xF0};

using FlashImage = std::array<qint32, kFlashImageSize>;
