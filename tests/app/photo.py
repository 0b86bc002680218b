"""Test photos and what reached the paper.

  photo.py exif IN.jpg OUT.jpg ORIENTATION   IN with an EXIF segment (big-endian)
  photo.py page PAGE.png                     where the ink lies on a 1-bit page at 600 dpi:
      VERTICAL HORIZONTAL WIDTHxHEIGHT PAGE
  VERTICAL is top, bottom or even (the half with over twice the other's ink),
  HORIZONTAL left, right or even, the ink's box in millimetres, and PAGE the
  page's size in pixels.
  photo.py diff A.png B.png                  the sizes of two pages and how many pixels differ
"""
import struct
import sys
import zlib

DPI = 600
INVERT = bytes(255 - i for i in range(256))
BITS = bytes(bin(i).count("1") for i in range(256))


def exif(src, dst, orientation):
    data = open(src, "rb").read()
    assert data[:2] == b"\xff\xd8", "not a JPEG"
    ifd = struct.pack(">H", 1) + struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + b"\0\0\0\0"
    payload = b"Exif\0\0" + b"MM\0\x2a" + struct.pack(">I", 8) + ifd
    app1 = b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload
    open(dst, "wb").write(data[:2] + app1 + data[2:])


def rows(path):
    """The rows of a 1-bit gray PNG, as bytes with 1 for ink."""
    data = open(path, "rb").read()
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", body[:10])
            assert (depth, color) == (1, 0), "not a 1-bit gray PNG"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, prev, out = zlib.decompress(idat), (width + 7) // 8, None, []
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        up = prev or bytearray(stride)
        for i in range(stride if kind else 0):
            left = line[i - 1] if i else 0
            if kind == 1: line[i] = (line[i] + left) & 255
            elif kind == 2: line[i] = (line[i] + up[i]) & 255
            elif kind == 3: line[i] = (line[i] + (left + up[i]) // 2) & 255
            elif kind == 4:
                ul = up[i - 1] if i else 0
                p = left + up[i] - ul
                pa, pb, pc = abs(p - left), abs(p - up[i]), abs(p - ul)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up[i] if pb <= pc else ul)) & 255
        prev = line
        out.append(bytes(line).translate(INVERT))  # PNG gray: 0 is black
    return width, out


def side(first, second, names):
    if first > 2 * second: return names[0]
    if second > 2 * first: return names[1]
    return "even"


def page(path):
    width, lines = rows(path)
    height = len(lines)
    ink = [0, 0, 0, 0]  # top, bottom, left, right
    box = [width, height, -1, -1]
    half = (width + 7) // 16
    for y, line in enumerate(lines):
        count = sum(line.translate(BITS))
        if not count: continue
        ink[0 if y < height // 2 else 1] += count
        ink[2] += sum(line[:half].translate(BITS))
        ink[3] += sum(line[half:].translate(BITS))
        first = next(i for i, b in enumerate(line) if b)
        last = max(i for i, b in enumerate(line) if b)
        box = [min(box[0], first * 8 + 8 - line[first].bit_length()), min(box[1], y),
               max(box[2], last * 8 + 7 - (line[last] & -line[last]).bit_length() + 1), y]
    mm = lambda px: round(px * 25.4 / DPI)
    print(side(ink[0], ink[1], ("top", "bottom")), side(ink[2], ink[3], ("left", "right")),
          f"{mm(box[2] - box[0] + 1)}x{mm(box[3] - box[1] + 1)}", f"{width}x{height}")


def diff(first, second):
    (width_a, a), (width_b, b) = rows(first), rows(second)
    differ = sum(sum(bytes(x ^ y for x, y in zip(p, q)).translate(BITS)) for p, q in zip(a, b))
    print(f"{width_a}x{len(a)} {width_b}x{len(b)} {differ}")


if __name__ == "__main__":
    if sys.argv[1] == "exif":
        exif(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1] == "diff":
        diff(sys.argv[2], sys.argv[3])
    else:
        page(sys.argv[2])
