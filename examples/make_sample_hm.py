#!/usr/bin/env python3
"""Writes examples/sample.hm.json: a small skinned figure (a body and two arms,
three meshes, three materials, three bones) that waves its arms and bobs over
48 frames, and the two textures its materials name, as the engine imports them
(8-bit palettised BMPs, 64 x 64). Run it again after changing it; the output is
committed."""
import json
import math
import os
import struct


def box(cx, cy, cz, sx, sy, sz, bone):
    """A box of 8 vertices and 12 triangles, wound outwards, with simple uvs."""
    vertices = []
    for i in range(8):
        x = cx + (sx if i & 1 else -sx)
        y = cy + (sy if i & 2 else -sy)
        z = cz + (sz if i & 4 else -sz)
        u = 1.0 if i & 1 else 0.0
        v = 0.0 if i & 2 else 1.0  # v grows downwards
        vertices.append({"position": [round(x, 4), round(y, 4), round(z, 4)], "uv": [u, v], "bone": bone})
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    triangles = []
    for a, b, c, d in quads:
        triangles += [[a, b, c], [a, c, d]]
    return vertices, triangles


def write_bmp(path, pixel, palette):
    """An 8-bit palettised BMP of 64 x 64, bottom-up; pixel(x, y) is a palette index
    (never 0: the engine's masked import draws entry 0 as a hole)."""
    side = 64
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + bytes(4 * (256 - len(palette)))
    rows = b"".join(bytes(pixel(x, side - 1 - y) for x in range(side)) for y in range(side))
    offset = 14 + 40 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, side, side, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    with open(path, "wb") as out:
        out.write(header + info + colours + rows)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    # Entry 0 is left black and unused; a checked shirt for the body, striped sleeves for the arms.
    write_bmp(os.path.join(here, "SampleBody.bmp"), lambda x, y: 1 + ((x // 8 + y // 8) & 1),
              [(0, 0, 0), (70, 110, 180), (230, 200, 120)])
    write_bmp(os.path.join(here, "SampleArm.bmp"), lambda x, y: 1 + ((y // 4) & 1),
              [(0, 0, 0), (200, 90, 60), (240, 220, 200)])
    frames = 48
    meshes = []
    for name, centre, size, bone in [
        ("Body", (0.0, 1.0, 0.0), (0.3, 0.5, 0.2), 0),
        ("ArmLeft", (0.65, 1.3, 0.0), (0.35, 0.08, 0.08), 1),
        ("ArmRight", (-0.65, 1.3, 0.0), (0.35, 0.08, 0.08), 2),
    ]:
        vertices, triangles = box(*centre, *size, bone)
        meshes.append({"name": name, "vertices": vertices, "triangles": triangles})

    materials = [
        {"name": "Body", "diffuseTexture": "SampleBody.bmp"},
        {"name": "ArmLeft", "diffuseTexture": "SampleArm.bmp"},
        {"name": "ArmRight", "diffuseTexture": "SampleArm.bmp"},
    ]

    def keys(f):
        # A key every sixth frame: the frames between are interpolated.
        return [{"time": t, "value": [round(v, 6) for v in f(t)]} for t in range(0, frames + 1, 6)]

    def swing(sign):
        return lambda t: (0.5 * math.sin(2 * math.pi * t / frames), 0.0, sign * 1.4 * math.sin(2 * math.pi * t / frames))

    bones = [
        {"name": "root", "parent": "", "position": [0.0, 0.0, 0.0], "rotation": [0.0, 0.0, 0.0],
         "positionKeys": keys(lambda t: (0.0, 0.1 * abs(math.sin(2 * math.pi * t / frames)), 0.0)),
         "rotationKeys": keys(lambda t: (0.2 * math.sin(4 * math.pi * t / frames), 0.6 * math.sin(2 * math.pi * t / frames), 0.0))},
        {"name": "shoulderL", "parent": "root", "position": [0.3, 1.3, 0.0], "rotation": [0.0, 0.0, 0.0],
         "positionKeys": keys(lambda t: (0.0, 0.0, 0.0)), "rotationKeys": keys(swing(1))},
        {"name": "shoulderR", "parent": "root", "position": [-0.3, 1.3, 0.0], "rotation": [0.0, 0.0, 0.0],
         "positionKeys": keys(lambda t: (0.0, 0.0, 0.0)), "rotationKeys": keys(swing(-1))},
    ]
    model = {"totalFrames": frames, "currentFrame": 0, "meshes": meshes, "materials": materials, "bones": bones}
    path = os.path.join(here, "sample.hm.json")
    with open(path, "w") as out:
        json.dump(model, out, indent=1)
        out.write("\n")


if __name__ == "__main__":
    main()
