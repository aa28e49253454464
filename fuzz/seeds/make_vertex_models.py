#!/usr/bin/env python3
"""Writes the seeds of the vertex-animated format fuzz targets: a square of two
triangles over three frames as MD2, MD3, MDC, Quake's MDL and 3D GameStudio's
MDL5; a box of nine vertex lines, twist.obj, and a point cache of it as PC2 and
MDD (the cache beside the OBJ, named after it); and the
golden sample set and a set of 4-byte records in the set target's form (the
script class's length and the mesh data file's, 16 bits each, then the three
files one after another)."""
import math
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
golden = os.path.join(here, "..", "..", "tests", "data", "golden")
FRAMES = 3
TRIANGLES = [(0, 1, 2), (0, 2, 3)]
ST = [(0, 0), (31, 0), (31, 15), (0, 15)]


def square(frame):
    out = []
    for corner in range(4):
        angle = 0.3 * frame + corner * math.pi / 2
        out.append((round(128 + 100 * math.cos(angle)), round(128 + 100 * math.sin(angle)), 20 + 10 * frame))
    return out


def padded(text, size):
    return text.encode().ljust(size, b"\0")


def md2():
    frame_size = 40 + 4 * 4
    skins, st, tris = 68, 68 + 64, 68 + 64 + 4 * 4
    frames = tris + 12 * 2
    end = frames + frame_size * FRAMES
    out = b"IDP2" + struct.pack("<16i", 8, 32, 16, frame_size, 1, 4, 4, 2, 0, FRAMES, skins, st, tris, frames, end, end)
    out += padded("square.pcx", 64) + b"".join(struct.pack("<2h", *p) for p in ST)
    out += b"".join(struct.pack("<6h", *t, *t) for t in TRIANGLES)
    for f in range(FRAMES):
        out += struct.pack("<6f", 1, 1, 1, 0, 0, 0) + padded("wave%d" % f, 16)
        out += b"".join(struct.pack("<4B", *p, 0) for p in square(f))
    return out


def md3():
    frames_at = 108
    surface_at = frames_at + 56 * FRAMES
    tri, shaders = 108, 108 + 12 * 2
    st = shaders + 68
    xyz = st + 8 * 4
    end = xyz + 8 * 4 * FRAMES
    out = b"IDP3" + struct.pack("<i", 15) + padded("square", 64)
    out += struct.pack("<9i", 0, FRAMES, 0, 1, 0, frames_at, surface_at, surface_at, surface_at + end)
    out += b"".join(struct.pack("<10f", *([0] * 10)) + padded("frame", 16) for _ in range(FRAMES))
    out += b"IDP3" + padded("Square", 64) + struct.pack("<10i", 0, FRAMES, 1, 4, 2, tri, shaders, st, xyz, end)
    out += b"".join(struct.pack("<3i", *t) for t in TRIANGLES) + padded("square.tga", 64) + struct.pack("<i", 0)
    out += b"".join(struct.pack("<2f", s / 31, t / 15) for s, t in ST)
    out += b"".join(struct.pack("<4h", *(c * 8 for c in p), 0) for f in range(FRAMES) for p in square(f))
    return out


def mdc():
    frames_at = 112
    surface_at = frames_at + 56 * FRAMES
    tri, shaders = 124, 124 + 12 * 2
    st = shaders + 68
    xyz = st + 8 * 4
    packed = xyz + 8 * 4
    base_of = packed + 4 * 4 * (FRAMES - 1)
    packed_of = base_of + 2 * FRAMES
    end = packed_of + 2 * FRAMES
    out = b"IDPC" + struct.pack("<i", 2) + padded("square", 64)
    out += struct.pack("<10i", 0, FRAMES, 0, 1, 0, frames_at, surface_at, surface_at, surface_at, surface_at + end)
    out += b"".join(struct.pack("<10f", *([0] * 10)) + padded("frame", 16) for _ in range(FRAMES))
    out += struct.pack("<i", 7) + padded("Square", 64)
    out += struct.pack("<14i", 0, FRAMES - 1, 1, 1, 4, 2, tri, shaders, st, xyz, packed, base_of, packed_of, end)
    out += b"".join(struct.pack("<3i", *t) for t in TRIANGLES) + padded("square", 64) + struct.pack("<i", 0)
    out += b"".join(struct.pack("<2f", s / 31, t / 15) for s, t in ST)
    out += b"".join(struct.pack("<4h", *(c * 8 for c in p), 0) for p in square(0))
    out += b"".join(struct.pack("<4B", 127 + f, 127 - f, 127 + 2 * f, 0) for f in range(1, FRAMES) for _ in range(4))
    out += struct.pack("<%dh" % FRAMES, *([0] * FRAMES)) + struct.pack("<%dh" % FRAMES, *range(-1, FRAMES - 1))
    return out


def quake_mdl():
    out = b"IDPO" + struct.pack("<i3f3ff3f", 6, 0.5, 0.5, 0.25, -64, -64, 2, 1, 0, 0, 0)
    out += struct.pack("<8if", 1, 8, 8, 4, 2, FRAMES - 1, 0, 0, 1)
    out += struct.pack("<i", 0) + bytes(range(64))
    out += b"".join(struct.pack("<3i", seam, s // 4, t // 2) for seam, (s, t) in zip((0, 1, 0, 0), ST))
    out += b"".join(struct.pack("<4i", front, *t) for front, t in zip((1, 0), TRIANGLES))
    frame = lambda f: struct.pack("<2i", 0, 0) + padded("stand%d" % f, 16) + b"".join(struct.pack("<4B", *p, 0) for p in square(f))
    out += struct.pack("<i", 0) + frame(0)
    out += struct.pack("<i", 1) + struct.pack("<i2i", FRAMES - 1, 0, 0) + struct.pack("<%df" % (FRAMES - 1), *(0.1 * (k + 1) for k in range(FRAMES - 1)))
    out += b"".join(frame(f) for f in range(1, FRAMES))
    return out


def mdl5():
    out = b"MDL5" + struct.pack("<i3f3fi3f", 0, 0.002, 0.002, 0.001, -64, -64, 2, 0, 0, 0, 0)
    out += struct.pack("<9i", 1, 0, 0, 4, 2, FRAMES, 4, 0, 0)
    out += struct.pack("<3i", 3, 2, 2) + struct.pack("<4H", 0xF00F, 0x0FF0, 0xFFFF, 0x8888)
    out += b"".join(struct.pack("<2h", *p) for p in ST)
    out += b"".join(struct.pack("<6h", *t, *t) for t in TRIANGLES)
    for f in range(FRAMES):
        out += struct.pack("<i", 2) + struct.pack("<8H", *([0] * 8)) + padded("shot%d" % f, 16)
        out += b"".join(struct.pack("<3HBB", *(c * 256 for c in p), 0, 0) for p in square(f))
    return out


BOX_OBJ = (b"v -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\nv 100 100 100\nv -1 2 -1\nv 1 2 -1\nv 1 2 1\nv -1 2 1\n"
           b"vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
           b"o Bottom\nf 1/1 2/2 3/3 4/4\nf 1/1 6/2 7/3 2/4\nf 2/1 7/2 8/3 3/4\n"
           b"o Top\nf 9/1 8/2 7/3 6/4\nf 3/1 8/2 9/3 4/4\nf 4/1 9/2 6/3 1/4\n")


def twist():
    lines = [(-1, 0, -1), (1, 0, -1), (1, 0, 1), (-1, 0, 1), (100, 100, 100), (-1, 2, -1), (1, 2, -1), (1, 2, 1), (-1, 2, 1)]
    return [[(x * math.cos(0.15 * f * y) - z * math.sin(0.15 * f * y), y + 0.1 * f,
              x * math.sin(0.15 * f * y) + z * math.cos(0.15 * f * y)) for x, y, z in lines] for f in range(4)]


def pc2(frames):
    out = b"POINTCACHE2\0" + struct.pack("<iiffi", 1, len(frames[0]), 0, 1, len(frames))
    return out + b"".join(struct.pack("<3f", *p) for frame in frames for p in frame)


def mdd(frames):
    out = struct.pack(">2i", len(frames), len(frames[0])) + struct.pack(">%df" % len(frames), *(f / 25 for f in range(len(frames))))
    return out + b"".join(struct.pack(">3f", *p) for frame in frames for p in frame)


def set_input(script, data, anim):
    return struct.pack("<2H", len(script), len(data)) + script + data + anim


def read(name):
    with open(os.path.join(golden, name), "rb") as f:
        return f.read()


def four_byte_set():
    script = (b"class Wild expands Actor;\n#exec MESH IMPORT MESH=Wild ANIVFILE=MODELS\\Wild_a.3d DATAFILE=MODELS\\Wild_d.3d\n"
              b"#exec MESH ORIGIN MESH=Wild X=10 Y=0 Z=-5\n#exec MESH SEQUENCE MESH=Wild SEQ=Wave STARTFRAME=1 NUMFRAMES=2 RATE=8\n"
              b"#exec MESHMAP SCALE MESHMAP=Wild X=0.5 Y=0.5 Z=1\n")
    data = struct.pack("<2H", 2, 4) + bytes(44)
    for t, slot in zip(TRIANGLES, (0, 2)):
        data += struct.pack("<3H2B6B2B", *t, 1, 0, 0, 0, 255, 0, 255, 255, slot, 0)
    anim = struct.pack("<2H", FRAMES, 16)
    for f in range(FRAMES):
        for x, y, z in square(f):
            anim += struct.pack("<I", (x * 4) & 0x7FF | ((-y) & 0x7FF) << 11 | ((z + 100) & 0x3FF) << 22)
    return set_input(script, data, anim)


seeds = {
    "square.md2": md2(), "square.md3": md3(), "square.mdc": mdc(), "square_quake.mdl": quake_mdl(),
    "square_mdl5.mdl": mdl5(), "twist.pc2": pc2(twist()), "twist.mdd": mdd(twist()), "twist.obj": BOX_OBJ,
    "sample.set": set_input(read("Sample.uc"), read("Sample_d.3d"), read("Sample_a.3d")), "wild.set": four_byte_set(),
}
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
