#!/usr/bin/env python3
"""Draws the application icon (a teal rounded square with a white V) as velmora.ico.

The icon is committed; run this again only to change it: python3 make_icon.py velmora.ico

It has three colours and hard edges, so each image is stored with 4 bits per pixel (a 16-entry
palette) and the clear corners in the AND mask, not as 32-bit colour with alpha: the same
picture in 1,078 bytes instead of 5,430, which the installer carries in every download.
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


PALETTE = (CLEAR, TEAL, WHITE)  # CLEAR draws as black under a set mask bit, i.e. not at all


def image(size):
    """One 4-bit image: header, 16-entry palette, colour rows and mask rows, bottom-up."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 0, 0)
    palette = b"".join(bytes(colour[:3]) + b"\0" for colour in PALETTE)
    palette += bytes(4 * (16 - len(PALETTE)))
    colour_row = ((size * 4 + 31) // 32) * 4
    mask_row = ((size + 31) // 32) * 4
    rows, mask = b"", b""
    for y in reversed(range(size)):
        indices = [PALETTE.index(pixel(x, y, size)) for x in range(size)]
        row = bytes(indices[x] << 4 | indices[x + 1] for x in range(0, size, 2))
        rows += row.ljust(colour_row, b"\0")
        bits = 0
        for x in range(size):
            bits = bits << 1 | (indices[x] == 0)
        mask += bits.to_bytes((size + 7) // 8, "big").ljust(mask_row, b"\0")
    return header + palette + rows + mask


def main(path):
    sizes = (32, 16)
    images = [image(size) for size in sizes]
    offset = 6 + 16 * len(images)
    directory = b""
    for size, data in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(struct.pack("<HHH", 0, 1, len(images)) + directory + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "velmora.ico")
