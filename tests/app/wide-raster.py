"""Writes a raster page far wider than any paper, 8-bit gray, as PWG or
Apple raster (wide-raster.py pwg|urf WIDTH ROWS FILE): a hostile client's."""
import struct
import sys

kind, width, rows, path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
# A line of one gray: runs of 128 equal pixels (count byte 127 = 128 times).
runs, rest = divmod(width, 128)
line = b"\x00" + (b"\x7f\x80" * runs) + (bytes([rest - 1, 0x80]) if rest else b"")
with open(path, "wb") as out:
    if kind == "pwg":
        header = bytearray(1796)
        header[0:3] = b"PwgRaster"[:0] or b""
        struct.pack_into(">II", header, 276, 600, 600)  # HWResolution
        struct.pack_into(">I", header, 372, width)  # cupsWidth
        struct.pack_into(">I", header, 376, rows)  # cupsHeight
        struct.pack_into(">III", header, 384, 8, 8, width)  # bits/color, bits/pixel, bytes/line
        struct.pack_into(">II", header, 396, 0, 18)  # chunky, sgray
        header[0:9] = b"PwgRaster"
        out.write(b"RaS2" + bytes(header))
    else:
        out.write(b"UNIRAST\x00" + struct.pack(">I", 1))
        out.write(struct.pack(">BBBBBBBBIII", 8, 0, 1, 4, 0, 0, 0, 0, width, rows, 600))
        out.write(bytes(8))
    out.write(line * rows)
