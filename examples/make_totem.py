#!/usr/bin/env python3
"""Writes the bundled sample: a small textured, skinned and animated totem as
glTF 2.0 (one .gltf with its buffer inline, and its texture as a PNG beside it).

    python3 make_totem.py [OUT.gltf] [--static] [--armature-scale S] [--armature-turn DEGREES]

--static leaves the clips out; --armature-scale and --armature-turn (about X)
give the armature node, which holds both the skeleton and the mesh, a
transform of its own. Only the standard library is used.
"""
import argparse
import base64
import json
import math
import os
import struct
import zlib

SIDES = 8
RING_HEIGHTS = [0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
RING_RADII = [0.55, 0.5, 0.42, 0.5, 0.45, 0.5, 0.4]
JOINTS = [("Base", None, (0.0, 0.0, 0.0)), ("Middle", 0, (0.0, 1.0, 0.0)), ("Top", 1, (0.0, 1.0, 0.0))]


def ring_weights(y):
    """(joint, weight) pairs of a ring, heaviest first."""
    if y <= 0.5:
        return [(0, 1.0)]
    if y == 1.0:
        return [(0, 0.5), (1, 0.5)]
    if y == 1.5:
        return [(1, 1.0)]
    if y == 2.0:
        return [(1, 0.6), (2, 0.4)]
    return [(2, 1.0)]


def build_mesh():
    positions, uvs, joints, weights, indices = [], [], [], [], []
    for ring, (y, radius) in enumerate(zip(RING_HEIGHTS, RING_RADII)):
        for side in range(SIDES + 1):  # the seam column is doubled for its own u
            angle = 2 * math.pi * side / SIDES
            positions.append((radius * math.sin(angle), y, radius * math.cos(angle)))
            uvs.append((side / SIDES, 1.0 - y / RING_HEIGHTS[-1] * 0.75))  # glTF: v grows downwards
            pairs = ring_weights(y) + [(0, 0.0)] * 3
            joints.append(tuple(j for j, _ in pairs[:4]))
            weights.append(tuple(w for _, w in pairs[:4]))
    columns = SIDES + 1
    for ring in range(len(RING_HEIGHTS) - 1):
        for side in range(SIDES):
            a = ring * columns + side
            b, c, d = a + 1, a + columns, a + columns + 1
            indices += [a, b, d, a, d, c]
    # Caps: a centre vertex each, drawn from the face texture's lower quarter.
    for ring, centre_y, flip in ((0, 0.0, True), (len(RING_HEIGHTS) - 1, RING_HEIGHTS[-1], False)):
        centre = len(positions)
        positions.append((0.0, centre_y, 0.0))
        uvs.append((0.5, 0.875))
        pairs = ring_weights(centre_y) + [(0, 0.0)] * 3
        joints.append(tuple(j for j, _ in pairs[:4]))
        weights.append(tuple(w for _, w in pairs[:4]))
        for side in range(SIDES):
            a = ring * columns + side
            indices += [centre, a + 1, a] if flip else [centre, a, a + 1]
    return positions, uvs, joints, weights, indices


def quat_about(axis, degrees):
    half = math.radians(degrees) / 2
    s = math.sin(half)
    return [axis[0] * s, axis[1] * s, axis[2] * s, math.cos(half)]


def mat_mul(a, b):
    return [[sum(a[r][k] * b[k][c] for k in range(4)) for c in range(4)] for r in range(4)]


def armature_matrix(scale, turn):
    c, s = math.cos(math.radians(turn)), math.sin(math.radians(turn))
    return [[scale, 0, 0, 0], [0, c * scale, -s * scale, 0], [0, s * scale, c * scale, 0], [0, 0, 0, 1]]


def inverse_rigid_scaled(m):
    """Inverse of a matrix made of uniform scale, rotation and translation."""
    scale2 = sum(m[r][0] ** 2 for r in range(3))
    inv = [[m[c][r] / scale2 for c in range(3)] + [0.0] for r in range(3)]
    for r in range(3):
        inv[r][3] = -sum(inv[r][k] * m[k][3] for k in range(3))
    return inv + [[0.0, 0.0, 0.0, 1.0]]


def png(width, height, pixel):
    rows = b"".join(b"\x00" + bytes(v for x in range(width) for v in pixel(x, y)) for y in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def texture_pixel(x, y):
    """64 x 64: a face in the top band, carved stripes below, a plain base."""
    bands = [(200, 60, 40), (230, 170, 40), (60, 140, 70), (40, 90, 170)]
    band = min(y // 12, 3)
    r, g, b = bands[band]
    if band == 0 and y in range(3, 8) and (x % 16) in (4, 5, 10, 11):
        return (250, 250, 240)  # eyes, two per quarter turn
    if (x + y // 6) % 8 == 0 and y < 48:
        return (r // 2, g // 2, b // 2)
    if y >= 48:
        return (110, 80, 50)
    return (r, g, b)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "totem.gltf"))
    parser.add_argument("--static", action="store_true")
    parser.add_argument("--armature-scale", type=float, default=1.0)
    parser.add_argument("--armature-turn", type=float, default=0.0)
    args = parser.parse_args()

    positions, uvs, joints, weights, indices = build_mesh()
    armature = armature_matrix(args.armature_scale, args.armature_turn)
    inverse_binds = []
    globals_ = []
    for name, parent, (tx, ty, tz) in JOINTS:
        local = [[1, 0, 0, tx], [0, 1, 0, ty], [0, 0, 1, tz], [0, 0, 0, 1]]
        globals_.append(mat_mul(globals_[parent] if parent is not None else armature, local))
        inverse_binds.append(inverse_rigid_scaled(globals_[-1]))

    buffer = bytearray()
    views, accessors = [], []

    def add(data, component, kind, count, target=None, minmax=None):
        while len(buffer) % 4:
            buffer.append(0)
        views.append({"buffer": 0, "byteOffset": len(buffer), "byteLength": len(data)})
        if target:
            views[-1]["target"] = target
        buffer.extend(data)
        accessor = {"bufferView": len(views) - 1, "componentType": component, "count": count, "type": kind}
        if minmax:
            accessor["min"], accessor["max"] = minmax
        accessors.append(accessor)
        return len(accessors) - 1

    flat = lambda rows: [v for row in rows for v in row]
    lo = [min(p[i] for p in positions) for i in range(3)]
    hi = [max(p[i] for p in positions) for i in range(3)]
    a_pos = add(struct.pack("<%df" % (3 * len(positions)), *flat(positions)), 5126, "VEC3", len(positions), 34962, (lo, hi))
    a_uv = add(struct.pack("<%df" % (2 * len(uvs)), *flat(uvs)), 5126, "VEC2", len(uvs), 34962)
    a_joints = add(struct.pack("<%dB" % (4 * len(joints)), *flat(joints)), 5121, "VEC4", len(joints), 34962)
    a_weights = add(struct.pack("<%df" % (4 * len(weights)), *flat(weights)), 5126, "VEC4", len(weights), 34962)
    a_index = add(struct.pack("<%dH" % len(indices), *indices), 5123, "SCALAR", len(indices), 34963)
    # glTF matrices are column-major.
    a_ibm = add(struct.pack("<%df" % (16 * len(JOINTS)), *[m[r][c] for m in inverse_binds for c in range(4) for r in range(4)]),
                5126, "MAT4", len(JOINTS))

    nodes = [{"name": "Armature", "children": [1, 4]}]
    if args.armature_scale != 1.0:
        nodes[0]["scale"] = [args.armature_scale] * 3
    if args.armature_turn != 0.0:
        nodes[0]["rotation"] = quat_about((1, 0, 0), args.armature_turn)
    for i, (name, parent, translation) in enumerate(JOINTS):
        node = {"name": name, "translation": list(translation)}
        if i + 1 < len(JOINTS):
            node["children"] = [i + 2]
        nodes.append(node)
    nodes.append({"name": "Totem", "mesh": 0, "skin": 0})

    animations = []
    if not args.static:
        def clip(name, channels):
            samplers, targets = [], []
            for node, path, times, values in channels:
                a_t = add(struct.pack("<%df" % len(times), *times), 5126, "SCALAR", len(times), None,
                          ([min(times)], [max(times)]))
                kind = "VEC4" if path == "rotation" else "VEC3"
                a_v = add(struct.pack("<%df" % (len(values) * len(values[0])), *flat(values)), 5126, kind, len(values))
                samplers.append({"input": a_t, "output": a_v, "interpolation": "LINEAR"})
                targets.append({"sampler": len(samplers) - 1, "target": {"node": node, "path": path}})
            animations.append({"name": name, "samplers": samplers, "channels": targets})

        sway_times = [0.0, 0.5, 1.0, 1.5, 2.0]
        clip("Sway", [
            (2, "rotation", sway_times, [quat_about((0, 0, 1), a) for a in (0, 25, 0, -25, 0)]),
            (3, "rotation", sway_times, [quat_about((0, 0, 1), a) for a in (0, 35, 0, -35, 0)]),
            (1, "rotation", sway_times, [quat_about((0, 1, 0), a) for a in (0, 45, 90, 135, 180)]),
        ])
        hop_times = [0.0, 0.25, 0.5, 0.75, 1.0]
        clip("Hop", [
            (1, "translation", hop_times, [[0, h, 0] for h in (0, 0.4, 0.6, 0.4, 0)]),
            (3, "rotation", hop_times, [quat_about((1, 0, 0), a) for a in (0, -20, -40, -20, 0)]),
            (2, "rotation", hop_times, [quat_about((0, 1, 0), a) for a in (0, 20, 30, 20, 0)]),
        ])

    texture_name = os.path.splitext(os.path.basename(args.out))[0] + "_skin.png"
    with open(os.path.join(os.path.dirname(os.path.abspath(args.out)), texture_name), "wb") as f:
        f.write(png(64, 64, texture_pixel))

    gltf = {
        "asset": {"version": "2.0", "generator": "make_totem.py"},
        "scene": 0,
        "scenes": [{"nodes": [0]}],
        "nodes": nodes,
        "meshes": [{"name": "Totem", "primitives": [{
            "attributes": {"POSITION": a_pos, "TEXCOORD_0": a_uv, "JOINTS_0": a_joints, "WEIGHTS_0": a_weights},
            "indices": a_index, "material": 0}]}],
        "skins": [{"joints": [1, 2, 3], "inverseBindMatrices": a_ibm, "skeleton": 1}],
        "materials": [{"name": "Painted", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0}, "metallicFactor": 0}}],
        "textures": [{"source": 0}],
        "images": [{"uri": texture_name}],
        "buffers": [{"byteLength": len(buffer),
                     "uri": "data:application/octet-stream;base64," + base64.b64encode(bytes(buffer)).decode()}],
        "bufferViews": views,
        "accessors": accessors,
    }
    if animations:
        gltf["animations"] = animations
    with open(args.out, "w") as f:
        json.dump(gltf, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
