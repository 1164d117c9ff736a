#!/usr/bin/env python3
"""Draws the program icon (resources/krelvon.ico): a blue shield with a white
check mark, at 16, 32 and 48 pixels, as 32-bit images with alpha. Run it
after changing the drawing; the icon file is kept in the repository so that
builds need no Python."""
import struct
import sys

SAMPLES = 4  # supersampling per axis, for smooth edges


def inside_shield(x, y):
    """Unit square coordinates (0..1, y down): a shield with a flat top and
    a point at the bottom."""
    if y < 0.08 or y > 0.95:
        return False
    half = 0.40
    if y > 0.50:
        # the sides curve in towards the point at (0.5, 0.95)
        t = (y - 0.50) / 0.45
        half = 0.40 * (1.0 - t * t)
    return abs(x - 0.5) <= half


def near_segment(x, y, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2


def inside_check(x, y):
    w = 0.12
    return near_segment(x, y, 0.30, 0.50, 0.45, 0.66, w) or near_segment(x, y, 0.45, 0.66, 0.71, 0.32, w)


def pixel(size, px, py):
    """BGRA of one pixel, averaged over the samples."""
    r = g = b = a = 0.0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if not inside_shield(x, y):
                continue
            if inside_check(x, y):
                cr, cg, cb = 255, 255, 255
            elif not inside_shield(0.5 + (x - 0.5) * 1.12, 0.08 + (y - 0.08) * 1.06):
                cr, cg, cb = 12, 40, 100  # dark rim
            else:
                shade = 1.0 - 0.45 * y  # lighter at the top
                cr, cg, cb = 30 * shade, 90 * shade, 210 * shade
            r, g, b, a = r + cr, g + cg, b + cb, a + 255
    n = SAMPLES * SAMPLES
    if a == 0:
        return bytes((0, 0, 0, 0))
    cover = a / 255.0
    return bytes((int(b / cover), int(g / cover), int(r / cover), int(a / n)))


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((size + 31) // 32) * 4
    for py in reversed(range(size)):
        row = b"".join(pixel(size, px, py) for px in range(size))
        rows.append(row)
        bits = bytearray(mask_stride)
        for px in range(size):
            if row[px * 4 + 3] == 0:
                bits[px // 8] |= 0x80 >> (px % 8)
        mask_rows.append(bytes(bits))
    return header + b"".join(rows) + b"".join(mask_rows)


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/krelvon.ico")
