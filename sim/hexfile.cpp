#include "hexfile.h"

#include "flashimage.h"

#include <QRandomGenerator>

namespace {
constexpr int kTypeData = 0x00;
constexpr int kTypeEndOfFile = 0x01;
constexpr int kTypeExtendedLinearAddress = 0x04;
constexpr int kRecordDataBytes = 16;
constexpr int kByteValues = 256;
constexpr int kByteMask = 0xFF;
constexpr int kBitsPerByte = 8;
const QByteArray kLineEnd("\r\n");
} // namespace

namespace HexFile {

QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>((address >> kBitsPerByte) & kByteMask));
    bytes.append(static_cast<char>(address & kByteMask));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    int sum = 0;
    for (const char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(static_cast<char>(-sum & kByteMask));
    return ':' + bytes.toHex().toUpper();
}

QByteArray firmware(int length, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(length, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(random.bounded(kByteValues));
    for (std::size_t i = 0; i < kSignatureLength && kSignatureAddress + int(i) < length; ++i)
        bytes[kSignatureAddress + int(i)] = static_cast<char>(kSignatureBytes[i]);
    return bytes;
}

QByteArray hexText(const QByteArray &firmware, int copies)
{
    QByteArray dataRecords;
    for (int address = 0; address < firmware.size(); address += kRecordDataBytes)
        dataRecords += record(kTypeData, address, firmware.mid(address, kRecordDataBytes)) + kLineEnd;
    QByteArray text = record(kTypeExtendedLinearAddress, 0, QByteArray(2, '\0')) + kLineEnd;
    for (int i = 0; i < copies; ++i)
        text += dataRecords;
    return text + record(kTypeEndOfFile, 0, {}) + kLineEnd;
}

} // namespace HexFile
