#!/usr/bin/env python3
"""Writes the small seed files of fuzz/seeds/<target>/: a few valid inputs
per format, each a few hundred bytes, covering the variants each parser
branches on. Run it again after changing it; the files are committed."""
import os
import shutil
import struct
import sys
import zipfile
import tarfile
import gzip
import bz2
import io

ROOT = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(ROOT)
SEEDS = os.path.join(ROOT, "seeds")


def put(target, name, data):
    d = os.path.join(SEEDS, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


TRI = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]


def utf16(text):
    """The text as UTF-16 with a byte-order mark, in both byte orders."""
    return {"le": b"\xff\xfe" + text.encode("utf-16-le"), "be": b"\xfe\xff" + text.encode("utf-16-be")}


def stl():
    text = ("solid cube\r\n facet normal 0 0 1\r\n  outer loop\r\n   vertex 0 0 0\r\n"
            "   vertex 1 0 0\r\n   vertex 1 1 0\r\n  endloop\r\n endfacet\r\nendsolid cube\r\n")
    for order, data in utf16(text).items():
        put("reader_stl", "utf16%s.stl" % order, data)
    put("reader_stl", "text.stl",
        "solid cube\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n"
        "   vertex 1 1 0\n  endloop\n endfacet\n facet normal 0 0 1\n  outer loop\n"
        "   vertex 0 0 0\n   vertex 1 1 0\n   vertex 0 1 0\n  endloop\n endfacet\nendsolid cube\n")
    body = b""
    for tri in ((0, 1, 2), (0, 2, 3)):
        body += struct.pack("<3f", 0, 0, 1)
        for i in tri:
            body += struct.pack("<3f", *TRI[i])
        body += struct.pack("<H", 0x8000 | 31)
    put("reader_stl", "binary.stl", b"binary".ljust(80, b" ") + struct.pack("<I", 2) + body)
    put("reader_stl", "binary_solid.stl",
        b"solid but binary COLOR=\xff\x00\x00\xff".ljust(80, b" ") + struct.pack("<I", 2) + body)


def obj():
    put("reader_obj", "square.obj",
        "# square\nmtllib none.mtl\ng one\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
        "usemtl red\nf 1/1/1 2/1/1 3/1/1\nf -4//1 -2//1 -1//1\ns off\nf 1 2 3 4 \\\n\n")
    # The library is the model itself (the fuzzer's input file), so that the
    # same bytes reach the library parser too.
    put("reader_obj", "textured.obj",
        "mtllib input.obj\nnewmtl red\nKd 1 0 0\nd 0.5\nmap_Kd -s 1 1 1 red.png\n"
        "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
        "usemtl red\nf 1/1 2/2 3/3\nf 1/-4/1 3/-2 4/9\nusemtl none\nf 4/4 1/1 2/2\n")
    text = "# square \u00e9\r\nv 0 0 0\r\nv 1 0 0\r\nv 1 1 0\r\nv 0 1 0\r\nf 1 2 3 4\r\n"
    for order, data in utf16(text).items():
        put("reader_obj", "utf16%s.obj" % order, data)


def dxf():
    def face(pts):
        s = "0\n3DFACE\n8\n0\n"
        for k, p in enumerate(pts):
            s += "1%d\n%g\n2%d\n%g\n3%d\n%g\n" % (k, p[0], k, p[1], k, p[2])
        return s
    put("reader_dxf", "faces.dxf",
        "0\nSECTION\n2\nENTITIES\n" + face(TRI) + face(TRI[:3] + [TRI[2]]) +
        "0\nPOLYLINE\n8\n0\n66\n1\n70\n64\n71\n3\n72\n1\n"
        "0\nVERTEX\n8\n0\n10\n0\n20\n0\n30\n0\n70\n192\n"
        "0\nVERTEX\n8\n0\n10\n1\n20\n0\n30\n0\n70\n192\n"
        "0\nVERTEX\n8\n0\n10\n0\n20\n1\n30\n0\n70\n192\n"
        "0\nVERTEX\n8\n0\n10\n0\n20\n0\n30\n0\n70\n128\n71\n1\n72\n2\n73\n3\n"
        "0\nSEQEND\n0\nENDSEC\n0\nEOF\n")
    # Binary: codes of 2 bytes, or of 1 byte (255 escaping wider ones) in
    # files of older releases; doubles, 16-bit integers, strings.
    groups = [(0, "SECTION"), (2, "ENTITIES"), (0, "3DFACE"), (8, "0")]
    for k, p in enumerate(TRI):
        groups += [(10 + k, p[0]), (20 + k, p[1]), (30 + k, p[2])]
    groups += [(1001, "APP"), (1070, 3), (0, "POLYLINE"), (66, 1), (70, 16), (71, 2), (72, 2)]
    for p in TRI:
        groups += [(0, "VERTEX"), (10, p[0]), (20, p[1]), (30, p[2]), (70, 64)]
    groups += [(0, "SEQEND"), (0, "ENDSEC"), (0, "EOF")]
    for name, narrow in (("binary.dxf", False), ("binary_narrow.dxf", True)):
        out = b"AutoCAD Binary DXF\r\n\x1a\0"
        for code, value in groups:
            if not narrow:
                out += struct.pack("<H", code)
            elif code < 255:
                out += bytes([code])
            else:
                out += b"\xff" + struct.pack("<H", code)
            if 10 <= code <= 59:
                out += struct.pack("<d", value)
            elif 60 <= code <= 79 or 1060 <= code <= 1070:
                out += struct.pack("<h", value)
            else:
                out += value.encode() + b"\0"
        put("reader_dxf", name, out)


def chunk3ds(cid, payload):
    return struct.pack("<HI", cid, 6 + len(payload)) + payload


def tds():
    pts = chunk3ds(0x4110, struct.pack("<H", 4) + b"".join(struct.pack("<3f", *p) for p in TRI))
    faces = chunk3ds(0x4120, struct.pack("<H", 2) + struct.pack("<4H", 0, 1, 2, 7) +
                     struct.pack("<4H", 0, 2, 3, 7) +
                     chunk3ds(0x4130, b"red\0" + struct.pack("<H", 1) + struct.pack("<H", 0)))
    mesh = chunk3ds(0x4100, pts + faces)
    obj = chunk3ds(0x4000, b"square\0" + mesh)
    mat = chunk3ds(0xAFFF, chunk3ds(0xA000, b"red\0") +
                   chunk3ds(0xA020, chunk3ds(0x0011, bytes([255, 0, 0]))))
    put("reader_3ds", "square.3ds", chunk3ds(0x4D4D, chunk3ds(0x0002, struct.pack("<I", 3)) +
                                             chunk3ds(0x3D3D, mat + obj)))
    # Materials with every colour, transparency and texture chunk, mapping
    # coordinates and two face groups.
    uv = chunk3ds(0x4140, struct.pack("<H", 4) + b"".join(struct.pack("<2f", p[0], p[1]) for p in TRI))
    faces2 = chunk3ds(0x4120, struct.pack("<H", 2) + struct.pack("<4H", 0, 1, 2, 7) +
                      struct.pack("<4H", 0, 2, 3, 7) +
                      chunk3ds(0x4130, b"red\0" + struct.pack("<3H", 2, 0, 1)) +
                      chunk3ds(0x4130, b"glass\0" + struct.pack("<2H", 1, 1)))
    obj2 = chunk3ds(0x4000, b"square\0" + chunk3ds(0x4100, uv + pts + faces2))
    red = chunk3ds(0xAFFF, chunk3ds(0xA000, b"red\0") +
                   chunk3ds(0xA020, chunk3ds(0x0011, bytes([255, 0, 0])) +
                            chunk3ds(0x0012, bytes([250, 0, 0]))) +
                   chunk3ds(0xA050, chunk3ds(0x0030, struct.pack("<h", 25))) +
                   chunk3ds(0xA200, chunk3ds(0xA300, b"BRICK.PNG\0") +
                            chunk3ds(0xA351, struct.pack("<H", 0))))
    glass = chunk3ds(0xAFFF, chunk3ds(0xA000, b"glass\0") +
                     chunk3ds(0xA020, chunk3ds(0x0010, struct.pack("<3f", 0, 0.5, 1))) +
                     chunk3ds(0xA050, chunk3ds(0x0031, struct.pack("<f", 80))))
    put("reader_3ds", "textured.3ds", chunk3ds(0x4D4D, chunk3ds(0x0002, struct.pack("<I", 3)) +
                                               chunk3ds(0x3D3D, red + obj2 + glass)))


def iff(cid, payload):
    if len(payload) % 2:
        payload += b"\0"
    return cid + struct.pack(">I", len(payload)) + payload


def lwo():
    pnts = iff(b"PNTS", b"".join(struct.pack(">3f", *p) for p in TRI))
    pols1 = iff(b"POLS", struct.pack(">5h", 4, 0, 1, 2, 3, ) + struct.pack(">h", 1))
    srfs = iff(b"SRFS", b"red\0")
    surf = iff(b"SURF", b"red\0" + b"COLR" + struct.pack(">H", 4) + bytes([255, 0, 0, 0]))
    put("reader_lwo", "v1.lwo", iff(b"FORM", b"LWOB" + pnts + srfs + pols1 + surf))
    layr = iff(b"LAYR", struct.pack(">HH", 0, 0) + b"".join(struct.pack(">f", 0) for _ in range(3)) + b"\0")
    pols2 = iff(b"POLS", b"FACE" + struct.pack(">H", 3) + bytes([0, 1, 2]) +
                struct.pack(">H", 3) + bytes([0, 2, 3]))
    ptag = iff(b"PTAG", b"SURF" + struct.pack(">HH", 0, 0) + struct.pack(">HH", 1, 0))
    tags = iff(b"TAGS", b"red\0")
    surf2 = iff(b"SURF", b"red\0\0\0" + b"COLR" + struct.pack(">H", 14) +
                struct.pack(">3f", 1, 0, 0) + struct.pack(">H", 0))
    put("reader_lwo", "v2.lwo", iff(b"FORM", b"LWO2" + tags + layr + pnts + pols2 + ptag + surf2))
    # LWO3: the same chunks; the surface is a FORM with 32-bit sub-chunk lengths.
    surf3 = iff(b"FORM", b"SURF" + b"red\0\0\0" + iff(b"VERS", struct.pack(">I", 950)) +
                iff(b"FORM", b"NODS" + iff(b"NROT", bytes(8))) +
                iff(b"COLR", struct.pack(">3f", 1, 0, 0) + struct.pack(">H", 0)))
    pols3 = iff(b"POLS", b"FACE" + struct.pack(">4H", 3, 0, 1, 2) + struct.pack(">4H", 3, 0, 2, 3))
    put("reader_lwo", "v3.lwo", iff(b"FORM", b"LWO3" + tags + layr + pnts + pols3 + ptag + surf3))
    # LWO2 with a UV map, a per-polygon override, an image clip and a
    # surface whose colour block maps that clip by UV.
    def sub(cid, payload):
        return cid + struct.pack(">H", len(payload)) + payload + (b"\0" if len(payload) % 2 else b"")
    vmap = iff(b"VMAP", b"TXUV" + struct.pack(">H", 2) + b"UV\0\0" +
               b"".join(struct.pack(">H2f", i, p[0], p[1]) for i, p in enumerate(TRI)))
    vmad = iff(b"VMAD", b"TXUV" + struct.pack(">H", 2) + b"UV\0\0" + struct.pack(">HH2f", 2, 1, 0.5, 0.5))
    clip = iff(b"CLIP", struct.pack(">I", 1) + sub(b"STIL", b"images/red.png\0\0"))
    imap = sub(b"IMAP", b"\x80\0" + sub(b"CHAN", b"COLR") + sub(b"ENAB", struct.pack(">H", 1)))
    blok = sub(b"BLOK", imap + sub(b"PROJ", struct.pack(">H", 5)) + sub(b"IMAG", struct.pack(">H", 1)) +
               sub(b"VMAP", b"UV\0\0"))
    surf4 = iff(b"SURF", b"red\0\0\0" + b"COLR" + struct.pack(">H", 14) +
                struct.pack(">3f", 1, 0, 0) + struct.pack(">H", 0) + blok)
    put("reader_lwo", "v2_textured.lwo",
        iff(b"FORM", b"LWO2" + clip + tags + layr + pnts + vmap + pols2 + ptag + vmad + surf4))


def mqo():
    put("reader_mqo", "square.mqo",
        "Metasequoia Document\nFormat Text Ver 1.0\n\nScene {\n\tpos 0 0 1500\n}\n"
        "Material 2 {\n\t\"red\" col(1.000 0.000 0.000 1.000) dif(0.800)\n"
        "\t\"blue\" col(0.000 0.000 1.000 1.000)\n}\n"
        "Object \"obj1\" {\n\tvisible 15\n\tmirror 1\n\tmirror_axis 1\n\tvertex 4 {\n"
        "\t\t0.0 0.0 0.0\n\t\t1.0 0.0 0.0\n\t\t1.0 1.0 0.0\n\t\t0.0 1.0 0.0\n\t}\n"
        "\tface 3 {\n\t\t3 V(0 1 2) M(0) UV(0 0 1 0 1 1)\n\t\t4 V(0 1 2 3) M(1)\n\t\t2 V(0 3)\n\t}\n}\nEof\n")
    put("reader_mqo", "textured.mqo",
        "Metasequoia Document\nFormat Text Ver 1.0\n\n"
        "Material 2 {\n\t\"skin\" col(1.000 0.500 0.250 0.600) dif(0.800) tex(\"skin.png\")\n"
        "\t\"plain\" col(0 0 1 1) aplane_tex(\"x.png\")\n}\n"
        "Object \"obj1\" {\n\tvertex 4 {\n"
        "\t\t0.0 0.0 0.0\n\t\t1.0 0.0 0.0\n\t\t1.0 1.0 0.0\n\t\t0.0 1.0 0.0\n\t}\n"
        "\tface 2 {\n\t\t3 V(0 1 2) M(0) UV(0 0 1 0 1 1)\n\t\t4 V(0 1 2 3) M(1) UV(0 0 1 0)\n\t}\n}\nEof\n")


def rok():
    for name in ("cube.rok", "cube_palette.rok", "square.rok"):
        shutil.copy(os.path.join(REPO, "tests", "fixtures", "rok", name),
                    os.path.join(SEEDS, "reader_rok", name))


def ply_files():
    head = ("ply\nformat %s 1.0\ncomment seed\nobj_info none\nelement vertex 4\n"
            "property float x\nproperty float y\nproperty float z\nproperty uchar red\n"
            "element face 2\nproperty list uchar int vertex_indices\nend_header\n")
    ascii_body = "".join("%g %g %g 200\n" % p for p in TRI) + "3 0 1 2\n4 0 1 2 3\n"
    out = {"ascii.ply": (head % "ascii") + ascii_body}
    for enc, e in (("binary_little_endian", "<"), ("binary_big_endian", ">")):
        body = b"".join(struct.pack(e + "3fB", *p, 200) for p in TRI)
        body += struct.pack(e + "B3i", 3, 0, 1, 2) + struct.pack(e + "B4i", 4, 0, 1, 2, 3)
        out[enc + ".ply"] = (head % enc).encode() + body
    out["tristrips.ply"] = ("ply\nformat ascii 1.0\nelement vertex 4\nproperty double x\n"
                            "property double y\nproperty double z\nelement tristrips 1\n"
                            "property list int int vertex_indices\nend_header\n" +
                            "".join("%g %g %g\n" % p for p in TRI) + "5 0 1 2 -1 3\n")
    out["textured.ply"] = ("ply\nformat ascii 1.0\ncomment TextureFile wood.png\nelement vertex 4\n"
                           "property float x\nproperty float y\nproperty float z\n"
                           "property float s\nproperty float t\nelement face 2\n"
                           "property list uchar int vertex_indices\n"
                           "property list uchar float texcoord\nend_header\n" +
                           "".join("%g %g %g %g %g\n" % (p + p[:2]) for p in TRI) +
                           "3 0 1 2 6 0 0 1 0 1 1\n4 0 1 2 3 2 0 0\n")
    for target in ("reader_ply", "ply_lib"):
        for n, d in out.items():
            put(target, n, d)


def cob():
    put("reader_cob", "text.cob",
        "Caligari V00.01ALH             \n"
        "PolH V0.08 Id 7 Parent 0 Size 00000300\nName square\ncenter 0 0 0\n"
        "x axis 1 0 0\ny axis 0 1 0\nz axis 0 0 1\nTransform\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"
        "World Vertices 4\n0 0 0\n1 0 0\n1 1 0\n0 1 0\nTexture Vertices 1\n0 0\n"
        "Faces 2\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n"
        "Hole verts 3 flags 0 mat 0\n<0,0> <2,0> <3,0>\n"
        "Mat1 V0.06 Id 8 Parent 7 Size 00000100\nmat# 0\nshader: phong facet: auto32\n"
        "rgb 1,0,0\nalpha 1 ka 0.1 ks 0.5 exp 0 ior 1\nEND V1.00 Id 0 Parent 0 Size 0\n")
    # Binary: the same object as chunks with a little-endian size.
    def bchunk(kind, major, minor, cid, parent, body):
        return kind + struct.pack("<hhiii", major, minor, cid, parent, len(body)) + body
    def bstr(s):
        return struct.pack("<h", len(s)) + s
    body = struct.pack("<hh", 0, 0) + bstr(b"square")
    body += struct.pack("<3f", 0, 0, 0) + struct.pack("<9f", 1, 0, 0, 0, 1, 0, 0, 0, 1)
    body += struct.pack("<12f", 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0)
    body += struct.pack("<i", 4) + b"".join(struct.pack("<3f", *p) for p in TRI)
    body += struct.pack("<i", 0) + struct.pack("<i", 1)
    body += bytes([0]) + struct.pack("<hh", 3, 0) + b"".join(struct.pack("<ii", i, 0) for i in (0, 1, 2))
    put("reader_cob", "binary.cob", b"Caligari V00.01BLH             \n" +
        bchunk(b"PolH", 0, 8, 7, 0, body) + bchunk(b"END ", 1, 0, 0, 0, b""))


def mtl():
    put("mtl", "two.mtl",
        "# two materials\r\nnewmtl wood\r\nKa 0 0 0\r\nKd 0.5 0.25 1\r\nd 0.75\r\nTr 0.9\r\n"
        "map_Kd -s 1 1 1 -clamp on wood.png\r\nnewmtl glass pane\r\nKd 0.2\r\nTr 0.25\r\n"
        "map_Kd my texture.jpg\r\n")
    put("mtl", "odd.mtl",
        "\ufeffnewmtl a\nKd spectral x.spd\nd nan\nKd 1e39 -1 inf\nmap_Kd -bm 1\nnewmtl\nmap_kd\n")


def off():
    put("plugin_off", "square.off", "OFF\n# square\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n"
        "3 0 1 2 1 0 0\n4 0 1 2 3 255 0 0 255\n")
    put("plugin_off", "coff.off", "COFF\n3 1 3\n0 0 0 1 0 0 1\n1 0 0 0 1 0 1\n0 1 0 0 0 1 1\n3 0 1 2\n")
    put("plugin_off", "nsoff.off", "4nOFF\n4\n2 1 0\n0 0 0 1\n1 0 0 1\n0 1 0 1\n0 0 1 1\n3 0 1 2\n")


def loader_reply():
    # The loader's memory file: counts, then vertices, polygon offsets,
    # corners, materials and colours; then the appearance: material per
    # polygon, coordinates per corner, the table of materials and images
    # (records, then texture names and hints) and the images' bytes.
    def model(verts, polys, look=None):
        starts, corners = [0], []
        for idx, _, _ in polys:
            corners += idx
            starts.append(len(corners))
        arrays = (b"".join(struct.pack("<3f", *v) for v in verts) +
                  struct.pack("<%dI" % len(starts), *starts) +
                  struct.pack("<%di" % len(corners), *corners) +
                  b"".join(struct.pack("<i", m) for _, m, _ in polys) +
                  b"".join(struct.pack("<3f", *c) for _, _, c in polys))
        mats, per_polygon, uvs, images = look or ([], [], [], [])
        head = 8 * 9
        table_len = (20 * len(mats) + 24 * len(images) + sum(len(t) for *_, t in mats) +
                     sum(len(h) for h, _ in images))
        at = head + len(arrays) + 4 * len(per_polygon) + 8 * len(uvs) + table_len
        records = b""
        for h, data in images:
            records += struct.pack("<QQII", at, len(data), len(h), 0)
            at += len(data)
        table = (b"".join(struct.pack("<4fI", r, g, b, a, len(t)) for r, g, b, a, t in mats) +
                 records + b"".join(t for *_, t in mats) + b"".join(h for h, _ in images))
        counts = struct.pack("<9Q", len(verts), len(polys), len(corners), len(mats),
                             len(per_polygon), len(uvs), len(images), len(table),
                             sum(len(d) for _, d in images))
        return (counts + arrays + struct.pack("<%di" % len(per_polygon), *per_polygon) +
                b"".join(struct.pack("<2f", *uv) for uv in uvs) + table +
                b"".join(d for _, d in images))
    put("loader_reply", "empty.bin", model([], []))
    put("loader_reply", "square.bin", model(TRI, [((0, 1, 2), -1, (0, 0, 0)),
                                                   ((0, 2, 3), 1, (1, 0.5, 0.25))]))
    put("loader_reply", "mixed.bin", model(TRI + [(0, 0, 1)], [((0, 1, 2, 3), 0, (0, 0, 1)),
                                                               ((0, 1, 4), -1, (0, 0, 0)),
                                                               ((), -1, (0, 0, 0))]))
    put("loader_reply", "look.bin", model(
        TRI, [((0, 1, 2), -1, (0, 0, 0)), ((0, 2, 3), 1, (1, 0.5, 0.25))],
        ([(1, 0.5, 0.25, 1, b"*0"), (1, 1, 1, 0.5, b"tex/wood.png")], [0, -1],
         [(0, 0), (1, 0), (1, 1), (0, 0), (1, 1), (0, 1)],
         [(b"png", b"\x89PNG\r\n\x1a\n" + bytes(range(24)))])))


def ini():
    put("ini", "full.ini",
        "[Option]\nwinpos=10,20,800,600,200,300\nviewtype=3\nlastpath=/home/user/models\n"
        "rendtype=4\nculling=2\nautorot=1\npluginorder=1\nverclean=1\npolwise=1\narcfolder=2\n"
        "angle=95\nquality=80\ncache=1\n[Pview]\nbackcol=0,77,102\nobjcol=222,222,222\n")
    put("ini", "odd.ini",
        "\xef\xbb\xbf; comment\r\n[other]\r\nkey=value\r\n [ option ] \r\n  Angle = -5 \r\n"
        "winpos=0\r\nviewtype=+2\r\n[PVIEW]\r\nbackcol=1,2\r\n[Option]\r\nquality=2147483648\r\n")


def archives():
    files = [("model.stl", b"solid a\nendsolid a\n"), ("dir/inner.obj", b"v 0 0 0\n")]
    z = io.BytesIO()
    with zipfile.ZipFile(z, "w", zipfile.ZIP_DEFLATED) as f:
        for n, d in files:
            f.writestr(n, d)
        f.writestr("../escape.obj", b"v 1 1 1\n")
    put("archive", "deflate.zip", z.getvalue())
    z = io.BytesIO()
    with zipfile.ZipFile(z, "w", zipfile.ZIP_STORED) as f:
        f.writestr("a.ply", b"ply\n")
    put("archive", "stored.zip", z.getvalue())
    t = io.BytesIO()
    with tarfile.open(fileobj=t, mode="w", format=tarfile.USTAR_FORMAT) as f:
        for n, d in files:
            info = tarfile.TarInfo(n)
            info.size = len(d)
            info.mtime = 1700000000
            f.addfile(info, io.BytesIO(d))
        link = tarfile.TarInfo("link.stl")
        link.type = tarfile.SYMTYPE
        link.linkname = "/etc/passwd"
        f.addfile(link)
    put("archive", "plain.tar", t.getvalue())
    put("archive", "gzip.tar.gz", gzip.compress(t.getvalue(), mtime=0))
    put("archive", "bzip2.tar.bz2", bz2.compress(t.getvalue()))
    put("archive", "single.stl.gz", gzip.compress(files[0][1], mtime=0))
    for n in ("lh0.lzh", "lh6.lzh", "lv1.lzh", "lv2.lzh", "cp932_l1.lzh"):
        shutil.copy(os.path.join(REPO, "tests", "fixtures", "lzh", n), os.path.join(SEEDS, "archive", n))


if __name__ == "__main__":
    if os.path.isdir(SEEDS):
        shutil.rmtree(SEEDS)
    os.makedirs(os.path.join(SEEDS, "reader_rok"))
    os.makedirs(os.path.join(SEEDS, "archive"))
    for fn in (stl, obj, dxf, tds, lwo, mqo, rok, ply_files, cob, mtl, off, loader_reply, ini,
               archives):
        fn()
