#!/usr/bin/env python3
"""Writes set_*.vset, the seeds of fuzz_read_set (fuzz/read_set_fuzzer.cpp
describes the archive format): the golden sample set renamed Fuzz, and copies
of it crafted as a stranger's set might be: headers claiming gigabytes, files
out of the set's folder by .. and by links, images claiming vast sides, a rate
no float holds, names that differ only in case, a package layout.
    fuzz/seeds/make_set_seeds.py [REPOSITORY]"""
import os
import struct
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
golden = os.path.join(root, "tests", "data", "golden")
here = os.path.dirname(os.path.abspath(__file__))


def record(name, held=b"", stated=None):
    name = name.encode()
    stated = len(held) if stated is None else stated
    return struct.pack("<B", len(name)) + name + struct.pack("<IH", stated, len(held)) + held


def link(name, target):
    return record("~" + name, target.encode())


def bmp(side=2, bits=8, size=None):
    """An 8-bit palettised BMP of side x 2 with 4 colours, or only a header
    (size bytes) claiming side x side."""
    if size is not None:
        data = bytearray(size)
        struct.pack_into("<2sIIIIiiHHIIIIII", data, 0, b"BM", size, 0, size, 40, side, side, 1, bits, 0, 0, 0, 0, 4, 0)
        return bytes(data)
    row = (side + 3) & ~3
    pixels = bytes((1 + i % 3) for i in range(row * 2))
    palette = b"".join(struct.pack("<4B", 40 * i, 80, 200 - 40 * i, 0) for i in range(4))
    offset = 54 + len(palette)
    header = struct.pack("<2sIIIIiiHHIIIIII", b"BM", offset + len(pixels), 0, offset, 40, side, 2, 1, 8, 0,
                         len(pixels), 0, 0, 4, 0)
    return header + palette + pixels


def pcx_claiming(side):
    header = bytearray(128)
    struct.pack_into("<BBBBHHHH", header, 0, 10, 5, 1, 8, 0, 0, side - 1, side - 1)
    header[65] = 3
    struct.pack_into("<H", header, 66, side)
    return bytes(header) + bytes([0xFF, 0]) * 8


def read(name):
    with open(os.path.join(golden, name), "rb") as f:
        return f.read()


# The golden sample's first 4 frames: small seeds fuzz faster.
script = read("Sample.uc").decode().replace("Sample", "Fuzz").replace("NUMFRAMES=48", "NUMFRAMES=4")
data, anim = read("Sample_d.3d"), read("Sample_a.3d")
anim = struct.pack("<HH", 4, 192) + anim[4:4 + 4 * 192]


def golden_set(uc=script, d=data, a=anim, folder="set/", textures="set/textures/", flags=0, extra=b""):
    return (bytes([flags]) + record(folder + "Fuzz.uc", uc.encode()) + record(folder + "Fuzz_d.3d", d) +
            record(folder + "Fuzz_a.3d", a) + record(textures + "FuzzBody.bmp", bmp()) +
            record(textures + "FuzzArm.bmp", bmp()) + extra)


seeds = {
    "golden": golden_set(),
    # 65535 vertices and 65535 frames of frame size 0 in 512 KB: 34 GB read whole.
    "overlap_34gb": bytes([0]) + record("set/Fuzz.uc", script.encode()) +
    record("set/Fuzz_d.3d", data[:2] + b"\xff\xff" + data[4:]) +
    record("set/Fuzz_a.3d", b"\xff\xff\x00\x00", 4 + 524280) + record("set/textures/FuzzBody.bmp", bmp()),
    # A 32 KB animation file claiming 65535 frames of 4000 vertices.
    "overlap_32kb": bytes([0]) + record("set/Fuzz.uc", script.encode()) +
    record("set/Fuzz_d.3d", data[:2] + struct.pack("<H", 4000) + data[4:]) +
    record("set/Fuzz_a.3d", struct.pack("<HH", 65535, 0), 4 + 32000),
    # Files out of the set's folder, by .. and by a link.
    "out_of_folder": bytes([0]) + record("set/Fuzz.uc", script
                                          .replace("FILE=textures\\FuzzArm.bmp", "FILE=..\\..\\..\\tmp\\secret\\x.png", 1)
                                          .replace("FILE=textures\\FuzzBody.bmp", "FILE=..\\outside\\secret.bmp")
                                          .replace("DATAFILE=MODELS\\Fuzz_d.3d", "DATAFILE=..\\outside\\Fuzz_d.3d")
                                          .encode()) +
    record("set/Fuzz_a.3d", anim) + record("outside/secret.bmp", bmp()) + record("outside/Fuzz_d.3d", data),
    "linked_out": bytes([0]) + record("set/Fuzz.uc", script.encode()) + link("set/Fuzz_d.3d", "../outside/Fuzz_d.3d") +
    record("set/Fuzz_a.3d", anim) + link("set/textures/FuzzArm.bmp", "/etc/passwd") +
    link("set/textures/FuzzBody.bmp", "../../outside/secret.bmp") + record("outside/secret.bmp", bmp()) +
    record("outside/Fuzz_d.3d", data),
    # Images claiming vast sides in a few bytes.
    "bmp_16384": golden_set(extra=record("set/textures/FuzzArm.bmp", bmp(16384, 8, 70))),
    "bmp_8192": golden_set(extra=record("set/textures/FuzzArm.bmp", bmp(8192, 24, 70))),
    "pcx_8192": golden_set(uc=script.replace("FuzzArm.bmp", "FuzzArm.pcx"),
                           extra=record("set/textures/FuzzArm.pcx", pcx_claiming(8192))),
    # Many sequences of few ranges, a rate no float holds, names alike in any case.
    "sequences": golden_set(uc=script.replace("// add further", "".join(
        "#exec MESH SEQUENCE MESH=Fuzz SEQ=S%d STARTFRAME=%d NUMFRAMES=%d\n" % (i, i % 4, 4 - i % 4)
        for i in range(200)) + "// add further")),
    "rate": golden_set(uc=script.replace("NUMFRAMES=4", "NUMFRAMES=4 RATE=1e-45")),
    "scale": golden_set(uc=script.replace("X=0.008235", "X=1e38").replace("MESH ORIGIN MESH=Fuzz X=0", "MESH ORIGIN MESH=Fuzz X=-3e38")),
    "case": golden_set(uc=script.replace("FILE=textures\\FuzzArm.bmp", "FILE=textures\\fuzzarm.bmp", 1)
                       .replace("NAME=FuzzTex2", "NAME=FUZZTEX1"),
                       extra=record("set/textures/fuzzarm.bmp", bmp(4))),
    # A package: Classes, MODELS and textures side by side; textures found only in extra/.
    "package": bytes([3]) + record("set/Classes/Fuzz.uc", script.encode()) + record("set/MODELS/Fuzz_d.3d", data) +
    record("set/MODELS/Fuzz_a.3d", anim) + record("set/textures/FuzzBody.bmp", bmp()) +
    record("extra/FuzzArm.bmp", bmp()),
    "extra_folder": golden_set(flags=2, textures="extra/"),
}

for name, seed in seeds.items():
    with open(os.path.join(here, "set_%s.vset" % name), "wb") as f:
        f.write(seed)
