#!/usr/bin/env python3
"""Draws the application icon (a teal rounded square with a white V) as velmora.ico.

The icon is committed; run this again only to change it: python3 make_icon.py velmora.ico
"""
import struct
import sys

TEAL = (0x8a, 0x7a, 0x0f, 0xff)   # BGRA
WHITE = (0xff, 0xff, 0xff, 0xff)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, size):
    """Colour at (x, y), y counted from the top."""
    corner = size // 6
    inside = True
    for cx, cy in ((corner, corner), (size - 1 - corner, corner),
                   (corner, size - 1 - corner), (size - 1 - corner, size - 1 - corner)):
        if (x < corner or x > size - 1 - corner) and (y < corner or y > size - 1 - corner):
            if (x - cx) ** 2 + (y - cy) ** 2 > corner ** 2 and \
                    abs(x - cx) <= corner and abs(y - cy) <= corner:
                inside = False
    if not inside:
        return CLEAR
    # The V: two strokes from the top corners to the bottom middle.
    top, bottom = size * 0.22, size * 0.78
    if top <= y <= bottom:
        t = (y - top) / (bottom - top)
        left = size * 0.22 + t * (size * 0.5 - size * 0.22)
        right = size * 0.78 - t * (size * 0.78 - size * 0.5)
        half = max(1.0, size * 0.08)
        if abs(x + 0.5 - left) <= half or abs(x + 0.5 - right) <= half:
            return WHITE
    return TEAL


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(bytes(channel for x in range(size) for channel in pixel(x, y, size))
                    for y in reversed(range(size)))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)
    return header + rows + mask


def main(path):
    sizes = (32, 16)
    images = [image(size) for size in sizes]
    offset = 6 + 16 * len(images)
    directory = b""
    for size, data in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(struct.pack("<HHH", 0, 1, len(images)) + directory + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "velmora.ico")
