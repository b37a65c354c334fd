#!/usr/bin/env python3
"""Write a sample Zorbelmeter firmware as an Intel HEX file, or check a flash dump.

The sample looks like what the instrument's toolchain produces for a PIC18:
reset and interrupt vectors, the jump into the bootloader at byte address 32
(GOTO 0xFC00, the bytes 00 EF 7E F0 the loader checks for), a body of code
words, a text table with the firmware name and a checksum word. It is made
from a fixed seed, so every run writes the same bytes. Only the Python
standard library is used.

The HEX file starts with an extended linear address record of 0000, holds
16-byte data records from address 0 upward and ends with an end-of-file
record, as the loader expects.

Usage:
  make-sample-firmware.py [--version V] [--size BYTES] OUTPUT.hex
      write the sample (default: version 1.24, 12000 bytes)
  make-sample-firmware.py --check-dump DUMP.bin FILE.hex
      compare a flash dump (65536 bytes, as zorbelmeter-sim --dump writes it)
      with the bytes of FILE.hex over the range a flash write sends: the
      64-byte blocks from address 0 up to the block holding the file's last
      byte, 0xFF where the file has no data. Exit status 0 when equal.
"""

import argparse
import struct
import sys

RECORD_BYTES = 16                 # data bytes per HEX record
BLOCK_BYTES = 64                  # bytes per block of a flash write
FLASH_DUMP_BYTES = 65536          # size of a flash dump
ERASED = 0xFF                     # value of unprogrammed flash
IMAGE_END_LIMIT = 64511           # highest end address the instrument takes (0xFBFF)
SIGNATURE_ADDRESS = 32
BOOTLOADER_ADDRESS = 0xFC00       # the signature is GOTO to this address
DEFAULT_SIZE = 12000              # bytes
DEFAULT_VERSION = "1.24"
SEED = 0x5A17

REC_DATA = 0x00
REC_EOF = 0x01
REC_EXT_LINEAR = 0x04

HIGH_ISR_ADDRESS = 0x0008
LOW_ISR_ADDRESS = 0x0018
CODE_START = 0x0040


class Lcg:
    """A small fixed generator, so the sample never depends on Python's random module."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self, bound):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.state >> 8) % bound


def goto(address):
    """PIC18 GOTO to a byte address: two words, each low byte first."""
    word_address = address >> 1
    first = 0xEF00 | (word_address & 0xFF)
    second = 0xF000 | ((word_address >> 8) & 0x0FFF)
    return struct.pack("<HH", first, second)


def call(address):
    word_address = address >> 1
    return struct.pack("<HH", 0xEC00 | (word_address & 0xFF), 0xF000 | ((word_address >> 8) & 0x0FFF))


def code_words(rng, length, code_end):
    """Plausible PIC18 code: literal moves, register moves, bit operations, calls, returns."""
    out = bytearray()
    while len(out) < length:
        pick = rng.next(100)
        if pick < 22:
            word = 0x0E00 | rng.next(256)                 # MOVLW k
        elif pick < 40:
            word = 0x6E00 | rng.next(256)                 # MOVWF f
        elif pick < 52:
            word = 0x5000 | rng.next(256)                 # MOVF f, W
        elif pick < 62:
            word = 0x8000 | (rng.next(8) << 9) | rng.next(256)   # BSF f, b
        elif pick < 72:
            word = 0x9000 | (rng.next(8) << 9) | rng.next(256)   # BCF f, b
        elif pick < 78:
            word = 0xA000 | (rng.next(8) << 9) | rng.next(256)   # BTFSS f, b
        elif pick < 84:
            word = 0x2800 | rng.next(256)                 # INCF f
        elif pick < 88:
            word = 0xD000 | rng.next(0x800)               # BRA n
        elif pick < 92:
            out += call(CODE_START + 2 * rng.next((code_end - CODE_START) // 2))
            continue
        elif pick < 96:
            word = 0x0012                                 # RETURN
        else:
            word = 0x0000                                 # NOP
        out += struct.pack("<H", word)
    return bytes(out[:length])


def text_table(version):
    texts = [
        "ZORBELMETER",
        "FW V" + version,
        "Messbereich",
        "Kalibrierung",
        "Batterie leer",
        "Bootloader",
    ]
    table = bytearray()
    for text in texts:
        table += text.encode("ascii") + b"\x00"
    if len(table) % 2:
        table += b"\x00"
    return bytes(table)


def build_image(size, version):
    if size < CODE_START + 64:
        raise ValueError("size must be at least %d bytes" % (CODE_START + 64))
    if size - 1 > IMAGE_END_LIMIT:
        raise ValueError("size must be at most %d bytes" % (IMAGE_END_LIMIT + 1))
    rng = Lcg(SEED)
    image = bytearray([ERASED]) * size
    table = text_table(version)
    checksum_at = size - 2
    table_at = (checksum_at - len(table)) & ~1
    code_end = table_at

    image[0:4] = goto(CODE_START)                          # reset vector
    image[4:8] = b"\x00\x00\x00\x00"                       # NOP NOP
    image[HIGH_ISR_ADDRESS:HIGH_ISR_ADDRESS + 4] = goto(CODE_START + 0x200)
    image[LOW_ISR_ADDRESS:LOW_ISR_ADDRESS + 4] = goto(CODE_START + 0x300)
    image[SIGNATURE_ADDRESS:SIGNATURE_ADDRESS + 4] = goto(BOOTLOADER_ADDRESS)
    image[CODE_START:code_end] = code_words(rng, code_end - CODE_START, code_end)
    image[table_at:table_at + len(table)] = table
    total = sum(image[:checksum_at]) & 0xFFFF
    image[checksum_at:checksum_at + 2] = struct.pack("<H", total)
    return bytes(image)


def record(kind, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\n"


def hex_text(image):
    lines = [record(REC_EXT_LINEAR, 0, b"\x00\x00")]
    for address in range(0, len(image), RECORD_BYTES):
        lines.append(record(REC_DATA, address, image[address:address + RECORD_BYTES]))
    lines.append(record(REC_EOF, 0, b""))
    return "".join(lines)


def read_hex(path):
    """The bytes a HEX file puts into the flash (address -> byte) and its end address.

    Reads the same subset the loader stores: data records while the extended
    linear address is 0; the end address is that of the last data record.
    """
    data = {}
    end = None
    upper = None
    with open(path, "r", encoding="ascii", errors="replace") as f:
        for line_number, line in enumerate(f, 1):
            line = line.strip()
            if not line.startswith(":"):
                continue
            try:
                raw = bytes.fromhex(line[1:])
            except ValueError:
                raise ValueError("%s:%d: not a HEX record" % (path, line_number))
            if len(raw) < 5 or len(raw) != raw[0] + 5:
                raise ValueError("%s:%d: record length does not match its byte count" % (path, line_number))
            if sum(raw) & 0xFF:
                raise ValueError("%s:%d: checksum wrong" % (path, line_number))
            count, address, kind = raw[0], (raw[1] << 8) | raw[2], raw[3]
            payload = raw[4:4 + count]
            if kind == REC_EXT_LINEAR:
                upper = (payload[0] << 8) | payload[1]
            elif kind == REC_DATA and upper == 0:
                for k, value in enumerate(payload):
                    data[address + k] = value
                end = address + count - 1
    return data, end


def check_dump(dump_path, hex_path):
    data, end = read_hex(hex_path)
    if end is None:
        print("%s holds no data records the loader would store" % hex_path)
        return 1
    try:
        with open(dump_path, "rb") as f:
            dump = f.read()
    except OSError as error:
        print("no flash image received (%s): the flash was not written" % error.strerror)
        return 1
    if len(dump) != FLASH_DUMP_BYTES:
        print("flash dump has %d bytes, expected %d" % (len(dump), FLASH_DUMP_BYTES))
        return 1

    written_end = (end // BLOCK_BYTES + 1) * BLOCK_BYTES
    differences = []
    for address in range(written_end):
        expected = data.get(address, ERASED)
        if dump[address] != expected:
            differences.append((address, expected, dump[address]))
    stray = [a for a in range(written_end, FLASH_DUMP_BYTES) if dump[a] != ERASED]

    span = "0x0000-0x%04X (%d blocks of %d bytes)" % (written_end - 1, written_end // BLOCK_BYTES, BLOCK_BYTES)
    if not differences and not stray:
        print("OK: the received image equals %s over %s" % (hex_path, span))
        return 0
    if differences:
        address, expected, received = differences[0]
        print("MISMATCH: %d byte(s) differ over %s; first at 0x%04X: file 0x%02X, received 0x%02X"
              % (len(differences), span, address, expected, received))
    if stray:
        print("MISMATCH: %d byte(s) written beyond the image, first at 0x%04X" % (len(stray), stray[0]))
    return 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", default=DEFAULT_VERSION,
                        help="firmware version written into the text table (default %s)" % DEFAULT_VERSION)
    parser.add_argument("--size", type=int, default=DEFAULT_SIZE,
                        help="image size in bytes from address 0 (default %d)" % DEFAULT_SIZE)
    parser.add_argument("--check-dump", metavar="DUMP",
                        help="compare this flash dump with the HEX file instead of writing one")
    parser.add_argument("file", help="the HEX file to write (or, with --check-dump, to compare with)")
    args = parser.parse_args(argv)

    if args.check_dump:
        try:
            return check_dump(args.check_dump, args.file)
        except (OSError, ValueError) as error:
            print("cannot read %s: %s" % (args.file, error), file=sys.stderr)
            return 2

    try:
        image = build_image(args.size, args.version)
    except ValueError as error:
        parser.error(str(error))
    with open(args.file, "w", encoding="ascii", newline="\n") as f:
        f.write(hex_text(image))
    print("%s: %d bytes, end address %d, %d blocks"
          % (args.file, len(image), len(image) - 1, (len(image) - 1) // BLOCK_BYTES + 1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
