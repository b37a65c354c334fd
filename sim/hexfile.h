#pragma once

#include <QByteArray>
#include <QtGlobal>

// Intel HEX files as the instrument's tool chain writes them, for the tests and the
// benchmarks: records with correct checksums, a firmware with the instrument's
// signature, and the text of a whole file.
namespace HexFile {

// One record as text without a line end: ':', byte count, address, type, data and
// checksum, in upper-case hexadecimal digits.
QByteArray record(int type, int address, const QByteArray &data);

// A firmware of length bytes from address 0 that carries the instrument's signature,
// with pseudo-random content that is the same for the same seed.
QByteArray firmware(int length, quint32 seed = 1);

// The text of a file holding firmware at address 0: an extended linear address record
// of 0, data records of 16 bytes (all of them `copies` times over) and the end-of-file
// record, each line ended by CR LF.
QByteArray hexText(const QByteArray &firmware, int copies = 1);

} // namespace HexFile
