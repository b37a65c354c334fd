#!/usr/bin/env python3
"""Write the demo's sample firmware as an Intel HEX file, or check a flash dump against it.

The sample is 12000 bytes from address 0 with the jump into the bootloader at byte
address 32 (GOTO 0xFC00, the bytes 00 EF 7E F0 the loader checks for); the rest comes
from a fixed seed, so every run writes the same bytes. The file starts with an
extended linear address record of 0000, holds 16-byte data records from address 0
upward and ends with an end-of-file record. Only the Python standard library is used.

Usage:
  make-sample-firmware.py OUTPUT.hex
      write the sample
  make-sample-firmware.py --check-dump DUMP.bin FILE.hex
      compare a flash dump (65536 bytes, as zorbelmeter-sim --dump writes it) with the
      sample over the 64-byte blocks a flash write of FILE.hex sends, and check that
      nothing was written beyond them. Exit status 0 when equal.
"""

import argparse
import sys

SIZE = 12000                      # bytes from address 0
RECORD_BYTES = 16                 # data bytes per HEX record
BLOCK_BYTES = 64                  # bytes per block of a flash write
FLASH_DUMP_BYTES = 65536          # size of a flash dump
ERASED = 0xFF                     # value of unprogrammed flash
SIGNATURE_ADDRESS = 32
SIGNATURE = bytes([0x00, 0xEF, 0x7E, 0xF0])   # GOTO 0xFC00, the bootloader
SEED = 0x5A17

REC_DATA = 0x00
REC_EOF = 0x01
REC_EXT_LINEAR = 0x04


def build_image():
    state = SEED
    image = bytearray(SIZE)
    for address in range(SIZE):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF   # a fixed generator, not random's
        image[address] = state >> 24
    image[SIGNATURE_ADDRESS:SIGNATURE_ADDRESS + len(SIGNATURE)] = SIGNATURE
    return bytes(image)


def record(kind, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper() + "\n"


def hex_text(image):
    lines = [record(REC_EXT_LINEAR, 0, b"\x00\x00")]
    for address in range(0, len(image), RECORD_BYTES):
        lines.append(record(REC_DATA, address, image[address:address + RECORD_BYTES]))
    lines.append(record(REC_EOF, 0, b""))
    return "".join(lines)


def check_dump(dump_path, hex_path):
    image = build_image()
    with open(hex_path, "r", encoding="ascii") as f:
        if f.read() != hex_text(image):
            print("%s is not the sample firmware" % hex_path)
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

    written_end = ((len(image) - 1) // BLOCK_BYTES + 1) * BLOCK_BYTES
    expected = image + bytes([ERASED]) * (FLASH_DUMP_BYTES - len(image))
    differences = [a for a in range(written_end) if dump[a] != expected[a]]
    stray = [a for a in range(written_end, FLASH_DUMP_BYTES) if dump[a] != ERASED]
    span = "0x0000-0x%04X (%d blocks of %d bytes)" % (written_end - 1, written_end // BLOCK_BYTES, BLOCK_BYTES)
    if not differences and not stray:
        print("OK: the received image equals %s over %s" % (hex_path, span))
        return 0
    if differences:
        address = differences[0]
        print("MISMATCH: %d byte(s) differ over %s; first at 0x%04X: file 0x%02X, received 0x%02X"
              % (len(differences), span, address, expected[address], dump[address]))
    if stray:
        print("MISMATCH: %d byte(s) written beyond the image, first at 0x%04X" % (len(stray), stray[0]))
    return 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check-dump", metavar="DUMP",
                        help="compare this flash dump with the sample instead of writing it")
    parser.add_argument("file", help="the HEX file to write (or, with --check-dump, the one that was written)")
    args = parser.parse_args(argv)

    if args.check_dump:
        try:
            return check_dump(args.check_dump, args.file)
        except (OSError, ValueError) as error:
            print("cannot read %s: %s" % (args.file, error), file=sys.stderr)
            return 2

    image = build_image()
    with open(args.file, "w", encoding="ascii", newline="\n") as f:
        f.write(hex_text(image))
    print("%s: %d bytes, end address %d, %d blocks"
          % (args.file, len(image), len(image) - 1, (len(image) - 1) // BLOCK_BYTES + 1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
