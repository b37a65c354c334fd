#!/usr/bin/env python3
"""Draw the application icon and write images/zorbelfwloader.png and .ico.

The motif (a measuring instrument with a display and a dial, and a
microchip in front of it) is drawn procedurally with signed-distance
shapes, so edges are anti-aliased by exact per-pixel coverage.  Only the
Python standard library is used and the output is byte-for-byte the same
on every run.

Usage: python3 tools/make-icons.py [output-folder]
       (default output folder: images/ in the repository root)
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZE_PX = 128
BASE_NAME = "zorbelfwloader"

# Palette (R, G, B).
BODY_EDGE = (0x1B, 0x2E, 0x42)
BODY_FILL = (0x2F, 0x5B, 0x85)
BODY_SHINE = (0x3C, 0x6E, 0x9C)
DISPLAY_BEZEL = (0x14, 0x22, 0x30)
DISPLAY_FILL = (0x9E, 0xE6, 0xB4)
DISPLAY_TRACE = (0x11, 0x5E, 0x3A)
DIAL_RING = (0x14, 0x22, 0x30)
DIAL_FACE = (0xEE, 0xF2, 0xF5)
DIAL_TICK = (0x4A, 0x5A, 0x6A)
NEEDLE = (0xE0, 0x45, 0x33)
CHIP_PIN = (0xC8, 0xCF, 0xD6)
CHIP_PIN_EDGE = (0x6E, 0x78, 0x82)
CHIP_BODY = (0x23, 0x27, 0x2C)
CHIP_TOP = (0x33, 0x39, 0x40)
CHIP_MARK = (0xF2, 0xB1, 0x34)


# ---------------------------------------------------------------------------
# Signed distance functions (negative inside, in pixels).

def sd_round_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def f(px, py):
        qx = abs(px - cx) - hx
        qy = abs(py - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        inside = min(max(qx, qy), 0.0)
        return outside + inside - r
    return f, (x0, y0, x1, y1)


def sd_circle(cx, cy, r):
    def f(px, py):
        return math.hypot(px - cx, py - cy) - r
    return f, (cx - r, cy - r, cx + r, cy + r)


def sd_polyline(points, half_width):
    segs = list(zip(points, points[1:]))

    def f(px, py):
        best = float("inf")
        for (ax, ay), (bx, by) in segs:
            dx, dy = bx - ax, by - ay
            t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
            t = min(max(t, 0.0), 1.0)
            d = math.hypot(px - ax - t * dx, py - ay - t * dy)
            if d < best:
                best = d
        return best - half_width
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return f, (min(xs) - half_width, min(ys) - half_width,
               max(xs) + half_width, max(ys) + half_width)


def sd_intersect(a, b):
    fa, ba = a
    fb, bb = b
    box = (max(ba[0], bb[0]), max(ba[1], bb[1]),
           min(ba[2], bb[2]), min(ba[3], bb[3]))
    return (lambda px, py: max(fa(px, py), fb(px, py))), box


# ---------------------------------------------------------------------------
# Canvas with premultiplied float RGBA and "over" / "erase" compositing.

class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def _cover(self, shape):
        f, (x0, y0, x1, y1) = shape
        lo_x = max(int(math.floor(x0)) - 1, 0)
        lo_y = max(int(math.floor(y0)) - 1, 0)
        hi_x = min(int(math.ceil(x1)) + 1, self.size - 1)
        hi_y = min(int(math.ceil(y1)) + 1, self.size - 1)
        for y in range(lo_y, hi_y + 1):
            for x in range(lo_x, hi_x + 1):
                cov = 0.5 - f(x + 0.5, y + 0.5)
                if cov <= 0.0:
                    continue
                yield y * self.size + x, min(cov, 1.0)

    def fill(self, shape, rgb, alpha=1.0):
        r, g, b = (c / 255.0 for c in rgb)
        for i, cov in self._cover(shape):
            a = cov * alpha
            p = self.px[i]
            k = 1.0 - a
            p[0] = r * a + p[0] * k
            p[1] = g * a + p[1] * k
            p[2] = b * a + p[2] * k
            p[3] = a + p[3] * k

    def erase(self, shape):
        for i, cov in self._cover(shape):
            k = 1.0 - cov
            p = self.px[i]
            for c in range(4):
                p[c] *= k

    def rgba_rows(self):
        """Rows top-down of straight-alpha 8-bit RGBA bytes."""
        rows = []
        for y in range(self.size):
            row = bytearray()
            for x in range(self.size):
                r, g, b, a = self.px[y * self.size + x]
                a8 = int(round(a * 255.0))
                if a8 == 0:
                    row += b"\0\0\0\0"
                    continue
                row += bytes(min(255, int(round(c / a * 255.0)))
                             for c in (r, g, b))
                row.append(a8)
            rows.append(bytes(row))
        return rows


# ---------------------------------------------------------------------------
# The motif.

def draw_icon():
    cv = Canvas(SIZE_PX)

    # Instrument body with a darker rim and a soft highlight on top.
    cv.fill(sd_round_rect(6, 4, 92, 124, 15), BODY_EDGE)
    cv.fill(sd_round_rect(9, 7, 89, 121, 12), BODY_FILL)
    cv.fill(sd_intersect(sd_round_rect(9, 7, 89, 121, 12),
                         sd_round_rect(0, 0, 128, 40, 0)), BODY_SHINE)

    # Display with a pulse trace.
    cv.fill(sd_round_rect(17, 15, 81, 53, 6), DISPLAY_BEZEL)
    cv.fill(sd_round_rect(20, 18, 78, 50, 4), DISPLAY_FILL)
    trace = [(25, 40), (33, 40), (37, 26), (43, 44), (48, 33), (52, 37),
             (59, 37), (63, 30), (67, 40), (73, 40)]
    cv.fill(sd_polyline(trace, 2.0), DISPLAY_TRACE)

    # Round dial with ticks and a needle.
    dcx, dcy, dr = 36.0, 90.0, 19.0
    cv.fill(sd_circle(dcx, dcy, dr), DIAL_RING)
    cv.fill(sd_circle(dcx, dcy, dr - 3.0), DIAL_FACE)
    for deg in range(-210, 31, 40):
        a = math.radians(deg)
        ca, sa = math.cos(a), math.sin(a)
        p0 = (dcx + ca * (dr - 8.0), dcy + sa * (dr - 8.0))
        p1 = (dcx + ca * (dr - 5.0), dcy + sa * (dr - 5.0))
        cv.fill(sd_polyline([p0, p1], 1.0), DIAL_TICK)
    a = math.radians(-50)
    tip = (dcx + math.cos(a) * (dr - 6.0), dcy + math.sin(a) * (dr - 6.0))
    cv.fill(sd_polyline([(dcx, dcy), tip], 1.8), NEEDLE)
    cv.fill(sd_circle(dcx, dcy, 3.0), DIAL_RING)

    # Microchip in front, cut free from the body by a transparent gap.
    x0, y0, x1, y1 = 72.0, 72.0, 114.0, 114.0
    pin_len, pin_w, gap = 7.0, 5.0, 4.0
    cv.erase(sd_round_rect(x0 - pin_len - gap, y0 - pin_len - gap,
                           x1 + pin_len + gap, y1 + pin_len + gap, 10))
    span = x1 - x0
    for k in range(4):
        c = x0 + span * (k + 0.5) / 4.0
        lo, hi = c - pin_w / 2.0, c + pin_w / 2.0
        pins = [
            (lo, y0 - pin_len, hi, y0 + 2),   # top
            (lo, y1 - 2, hi, y1 + pin_len),   # bottom
            (x0 - pin_len, lo, x0 + 2, hi),   # left
            (x1 - 2, lo, x1 + pin_len, hi),   # right
        ]
        for px0, py0, px1, py1 in pins:
            cv.fill(sd_round_rect(px0, py0, px1, py1, 1.5), CHIP_PIN_EDGE)
            cv.fill(sd_round_rect(px0 + 1, py0 + 1, px1 - 1, py1 - 1, 1.0),
                    CHIP_PIN)
    cv.fill(sd_round_rect(x0, y0, x1, y1, 5), CHIP_BODY)
    cv.fill(sd_round_rect(x0 + 4, y0 + 4, x1 - 4, y1 - 4, 3), CHIP_TOP)
    cv.fill(sd_circle(x0 + 10, y0 + 10, 3.2), CHIP_MARK)
    return cv


# ---------------------------------------------------------------------------
# File writers.

def png_bytes(rows, size):
    def chunk(tag, data):
        body = tag + data
        return (struct.pack(">I", len(data)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 per row
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico_bytes(rows, size):
    mask_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIB rows are stored bottom-up
        bits = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    dim = size if size < 256 else 0
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image),
                        len(icondir) + 16)
    return icondir + entry + image


def main(argv):
    repo_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description="Write the application icons.")
    ap.add_argument("outdir", nargs="?",
                    default=os.path.join(repo_root, "images"),
                    help="output folder (default: %(default)s)")
    args = ap.parse_args(argv)

    rows = draw_icon().rgba_rows()
    os.makedirs(args.outdir, exist_ok=True)
    for ext, data in (("png", png_bytes(rows, SIZE_PX)),
                      ("ico", ico_bytes(rows, SIZE_PX))):
        path = os.path.join(args.outdir, BASE_NAME + "." + ext)
        with open(path, "wb") as fh:
            fh.write(data)
        print("wrote %s (%d bytes)" % (path, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
