#!/usr/bin/env python3
"""Writes samples/textured: a turned cube with a checker image on each face
(OBJ, its MTL and a PNG), with the standard library only.

Usage: make_textured_sample.py FOLDER
"""
import math
import os
import struct
import sys
import zlib

SIZE, CELL = 64, 8
DARK, LIGHT = (200, 70, 30), (240, 225, 190)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def checker_png():
    rows = b""
    for y in range(SIZE):
        rows += b"\0"  # no filter
        for x in range(SIZE):
            rows += bytes(DARK if (x // CELL + y // CELL) % 2 else LIGHT)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def turned(x, y, z):
    # Turned about the vertical, then tipped towards the viewer, so that
    # three faces show from the front.
    a, b = math.radians(35), math.radians(25)
    x, z = x * math.cos(a) + z * math.sin(a), -x * math.sin(a) + z * math.cos(a)
    y, z = y * math.cos(b) - z * math.sin(b), y * math.sin(b) + z * math.cos(b)
    return x, y, z


def cube_obj():
    lines = ["# A turned cube with a checker image on each face.", "mtllib checker_cube.mtl"]
    for k in range(8):
        p = turned(1 if k in (1, 2, 5, 6) else -1, 1 if k in (2, 3, 6, 7) else -1,
                   1 if k >= 4 else -1)
        lines.append("v %.6f %.6f %.6f" % p)
    lines += ["vt 0 0", "vt 1 0", "vt 1 1", "vt 0 1", "usemtl checker"]
    for f in ((5, 6, 7, 8), (2, 1, 4, 3), (6, 2, 3, 7), (1, 5, 8, 4), (8, 7, 3, 4), (1, 2, 6, 5)):
        lines.append("f " + " ".join("%d/%d" % (v, i + 1) for i, v in enumerate(f)))
    return "\n".join(lines) + "\n"


out = sys.argv[1]
os.makedirs(out, exist_ok=True)
with open(os.path.join(out, "checker.png"), "wb") as f:
    f.write(checker_png())
with open(os.path.join(out, "checker_cube.obj"), "w") as f:
    f.write(cube_obj())
with open(os.path.join(out, "checker_cube.mtl"), "w") as f:
    f.write("newmtl checker\nKd 1 1 1\nmap_Kd checker.png\n")
