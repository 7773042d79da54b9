#!/usr/bin/env python3
"""Draws the launcher's window icon and writes it as a Windows .ico file.

    make_icon.py OUTPUT.ico

The picture: a four-pointed gold star on a rounded tile in the launcher's own green-grey, drawn from
shapes at every size (so small sizes stay sharp) with 4x4 supersampling. Sizes up to 64 pixels are
stored as 32-bit bitmaps, 256 pixels as PNG, as Windows expects. Only the standard library is used.
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)
SAMPLES = 4

TILE_TOP = (96, 110, 86)
TILE_BOTTOM = (62, 70, 55)
TILE_EDGE = (41, 44, 33)
STAR = (196, 181, 80)
STAR_CORE = (246, 236, 170)


def rounded_tile(x, y, inset, radius):
    """True inside a square from inset to 1 - inset with rounded corners."""
    lo, hi = inset + radius, 1.0 - inset - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and inset <= x <= 1 - inset and inset <= y <= 1 - inset


def star(x, y, reach, waist):
    """True inside a four-pointed star centred on the tile: an astroid, slightly fattened."""
    dx, dy = abs(x - 0.5) / reach, abs(y - 0.5) / reach
    return dx ** waist + dy ** waist <= 1.0


def colour_at(x, y):
    """The RGBA colour of one sample, or None where the icon is transparent."""
    if not rounded_tile(x, y, 0.03, 0.2):
        return None
    if not rounded_tile(x, y, 0.075, 0.16):
        return TILE_EDGE + (255,)
    if star(x, y, 0.13, 0.75):
        return STAR_CORE + (255,)
    if star(x, y, 0.40, 0.62):
        return STAR + (255,)
    t = (y - 0.075) / 0.85
    return tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM)) + (255,)


def render(size):
    """Rows of RGBA pixels, top row first."""
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px * SAMPLES + sx + 0.5) * step, (py * SAMPLES + sy + 0.5) * step)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            n = SAMPLES * SAMPLES
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                # Colour averaged over the covered samples, coverage as alpha.
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
        rows.append(row)
    return rows


def bitmap(rows):
    """An icon image as a 32-bit DIB: header, pixels bottom-up in BGRA, then an all-clear AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows) if size >= 256 else bitmap(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
