#!/usr/bin/env python3
"""Where a page's ink is: the quadrant (top-left, top-right, bottom-left,
bottom-right) of a 1-bit PNG page with the most black, and the page's
shape (portrait or landscape).

    quadrant.py PAGE.png
"""
import struct
import sys
import zlib


def rows(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, width, height, depth = 8, b"", 0, 0, 0
    while at < len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + size]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", body[:10])
            assert depth == 1 and color == 0, "not 1-bit gray"
        elif kind == b"IDAT":
            idat += body
        at += 12 + size
    raw = zlib.decompress(idat)
    stride = (width + 7) // 8
    previous = bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 1] if i else 0
            b, c = previous[i], previous[i - 1] if i else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xff
            elif kind == 2:
                line[i] = (line[i] + b) & 0xff
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xff
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xff
        previous = line
        yield width, height, line


def main():
    counts = {"top-left": 0, "top-right": 0, "bottom-left": 0, "bottom-right": 0}
    width = height = 0
    for width, height, line, y in ((w, h, l, i) for i, (w, h, l) in enumerate(rows(sys.argv[1]))):
        half = (width + 7) // 16
        # In the PNG, 0 bits are black.
        left = sum(8 - bin(v).count("1") for v in line[:half])
        right = sum(8 - bin(v).count("1") for v in line[half:])
        row = "top" if y < height // 2 else "bottom"
        counts[row + "-left"] += left
        counts[row + "-right"] += right
    print(max(counts, key=counts.get), "portrait" if height >= width else "landscape")


if __name__ == "__main__":
    main()
