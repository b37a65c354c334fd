#pragma once

#include <QByteArray>
#include <QRandomGenerator>

// Builds Intel HEX text and matching images for the tests.
namespace HexFixture {

inline QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char((address >> 8) & 0xFF));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(char((-sum) & 0xFF));
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

// A firmware of `length` bytes from address 0 carrying the instrument's signature,
// with reproducible pseudo-random content.
inline QByteArray firmware(int length, quint32 seed = 1)
{
    QRandomGenerator random(seed);
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char(random.bounded(256));
    const char signature[] = {0x00, char(0xEF), 0x7E, char(0xF0)};
    for (int i = 0; i < 4 && 32 + i < length; ++i)
        bytes[32 + i] = signature[i];
    return bytes;
}

// The HEX text of a firmware image placed at address 0, in 16-byte records.
inline QByteArray hexText(const QByteArray &firmware)
{
    QByteArray text = record(0x04, 0, QByteArray("\x00\x00", 2));
    for (int address = 0; address < firmware.size(); address += 16)
        text += record(0x00, address, firmware.mid(address, 16));
    text += record(0x01, 0, {});
    return text;
}

} // namespace HexFixture
