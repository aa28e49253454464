#!/usr/bin/env python3
"""Writes two glTF 2.0 test models that show what files exported from artists'
tools often hold and the three shared models do not. Only the standard library is used.

    python3 make_real_world_gltf.py [OUT_DIR]

name_clash.gltf: a skinned mesh node called "Head", as a mesh object named after
the bone it hangs on often is, listed first and deeper in a branch of its own,
beside an armature whose joint is also called "Head". A second node called
"Neck", an empty locator beside the mesh, shares the name of another joint. The
skin's joints and the clip's channels name the joint nodes by index, as glTF
does; Assimp hands them over by name only.

morph.gltf: a quad whose only animation is a morph target weight, next to a
camera and a light (KHR_lights_punctual).
"""
import base64
import json
import math
import os
import struct
import sys


class Buffer:
    def __init__(self):
        self.data = bytearray()
        self.views = []
        self.accessors = []

    def add(self, fmt, values, component, kind, count, bounds=False):
        while len(self.data) % 4:
            self.data.append(0)
        raw = struct.pack("<" + fmt * len(values), *values)
        self.views.append({"buffer": 0, "byteOffset": len(self.data), "byteLength": len(raw)})
        self.data += raw
        accessor = {"bufferView": len(self.views) - 1, "componentType": component, "count": count, "type": kind}
        if bounds:  # positions and animation inputs must state their range
            width = len(values) // count
            accessor["min"] = [min(values[i::width]) for i in range(width)]
            accessor["max"] = [max(values[i::width]) for i in range(width)]
        self.accessors.append(accessor)
        return len(self.accessors) - 1

    def floats(self, values, kind, count, bounds=False):
        return self.add("f", values, 5126, kind, count, bounds)

    def json(self):
        uri = "data:application/octet-stream;base64," + base64.b64encode(bytes(self.data)).decode()
        return {"buffers": [{"byteLength": len(self.data), "uri": uri}], "bufferViews": self.views,
                "accessors": self.accessors}


def quat(axis, degrees):
    s = math.sin(math.radians(degrees) / 2)
    return [axis[0] * s, axis[1] * s, axis[2] * s, math.cos(math.radians(degrees) / 2)]


# Joints of the armature: name, parent joint, translation from the parent.
JOINTS = [("Hips", None, (0.0, 1.0, 0.0)), ("Neck", 0, (0.0, 1.0, 0.0)), ("Head", 1, (0.0, 0.5, 0.0))]


def name_clash():
    buffer = Buffer()
    positions, joints, weights, indices = [], [], [], []
    heights = []
    height = 0.0
    for _, parent, offset in JOINTS:
        height += offset[1]
        heights.append(height)
    # A small box around each joint, weighted to that joint alone, so a bone
    # bound to the wrong node shows as a whole box out of place.
    for j, y in enumerate(heights):
        base = len(positions)
        for dx in (-0.2, 0.2):
            for dy in (0.0, 0.4):
                for dz in (-0.2, 0.2):
                    positions.append((dx + 0.3 * j, y + dy, dz))
                    joints.append((j, 0, 0, 0))
                    weights.append((1.0, 0.0, 0.0, 0.0))
        for a, b, c, d in ((0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)):
            indices += [base + a, base + b, base + c, base + a, base + c, base + d]
    count = len(positions)
    position_accessor = buffer.floats([c for p in positions for c in p], "VEC3", count, bounds=True)
    joint_accessor = buffer.add("H", [c for j in joints for c in j], 5123, "VEC4", count)
    weight_accessor = buffer.floats([c for w in weights for c in w], "VEC4", count)
    index_accessor = buffer.add("H", indices, 5123, "SCALAR", len(indices))
    inverse_binds = []
    for y in heights:
        inverse_binds += [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -y, 0, 1]  # column-major
    bind_accessor = buffer.floats(inverse_binds, "MAT4", len(heights))

    # Node order: the mesh branch first, so a depth-first walk meets the mesh
    # node "Head" and the locator "Neck" before the joints of those names.
    nodes = [
        {"name": "Character", "children": [1, 4]},
        {"name": "Meshes", "translation": [3.0, 0.0, 0.0], "children": [2, 3]},
        {"name": "Head", "mesh": 0, "skin": 0, "translation": [0.0, 4.0, 1.0]},
        {"name": "Neck", "translation": [-2.0, 0.0, 0.0]},
        {"name": "Armature", "rotation": quat((0, 1, 0), 30), "children": [5]},
        {"name": "Hips", "translation": list(JOINTS[0][2]), "children": [6]},
        {"name": "Neck", "translation": list(JOINTS[1][2]), "children": [7]},
        {"name": "Head", "translation": list(JOINTS[2][2])},
    ]
    times = [0.0, 0.5, 1.0]
    time_accessor = buffer.floats(times, "SCALAR", len(times), bounds=True)
    channels, samplers = [], []
    tracks = [
        (5, "translation", [0, 1, 0, 0, 1.2, 0.3, 0, 1, 0]),
        (6, "rotation", quat((0, 0, 1), 0) + quat((0, 0, 1), 40) + quat((0, 0, 1), 80)),
        (7, "rotation", quat((1, 0, 0), 0) + quat((1, 0, 0), -45) + quat((1, 0, 0), 30)),
    ]
    for node, path, values in tracks:
        output = buffer.floats(values, "VEC3" if path == "translation" else "VEC4", len(times))
        samplers.append({"input": time_accessor, "output": output})
        channels.append({"sampler": len(samplers) - 1, "target": {"node": node, "path": path}})
    document = {
        "asset": {"version": "2.0", "generator": "make_real_world_gltf.py"},
        "scene": 0,
        "scenes": [{"nodes": [0]}],
        "nodes": nodes,
        "meshes": [{"name": "HeadMesh", "primitives": [{"attributes": {
            "POSITION": position_accessor, "JOINTS_0": joint_accessor, "WEIGHTS_0": weight_accessor},
            "indices": index_accessor}]}],
        "skins": [{"joints": [5, 6, 7], "inverseBindMatrices": bind_accessor, "skeleton": 5}],
        "animations": [{"name": "Nod", "samplers": samplers, "channels": channels}],
    }
    document.update(buffer.json())
    return document


def morph():
    buffer = Buffer()
    quad = [0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0]
    position_accessor = buffer.floats(quad, "VEC3", 4, bounds=True)
    raised = [0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1]
    target_accessor = buffer.floats(raised, "VEC3", 4, bounds=True)
    index_accessor = buffer.add("H", [0, 1, 2, 0, 2, 3], 5123, "SCALAR", 6)
    times = [0.0, 1.0, 2.0]
    time_accessor = buffer.floats(times, "SCALAR", 3, bounds=True)
    weight_accessor = buffer.floats([0.0, 1.0, 0.0], "SCALAR", 3)
    document = {
        "asset": {"version": "2.0", "generator": "make_real_world_gltf.py"},
        "extensionsUsed": ["KHR_lights_punctual"],
        "extensions": {"KHR_lights_punctual": {"lights": [{"type": "point", "color": [1, 1, 1], "intensity": 5}]}},
        "scene": 0,
        "scenes": [{"nodes": [0, 1, 2]}],
        "nodes": [
            {"name": "Flag", "mesh": 0},
            {"name": "Camera", "camera": 0, "translation": [0, 0, 5]},
            {"name": "Lamp", "translation": [0, 3, 0], "extensions": {"KHR_lights_punctual": {"light": 0}}},
        ],
        "cameras": [{"type": "perspective", "perspective": {"yfov": 0.8, "znear": 0.1}}],
        "meshes": [{"name": "Flag", "weights": [0.0], "primitives": [{"attributes": {"POSITION": position_accessor},
                                                                    "targets": [{"POSITION": target_accessor}],
                                                                    "indices": index_accessor}]}],
        "animations": [{"name": "Wave", "samplers": [{"input": time_accessor, "output": weight_accessor}],
                        "channels": [{"sampler": 0, "target": {"node": 0, "path": "weights"}}]}],
    }
    document.update(buffer.json())
    return document


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, document in (("name_clash.gltf", name_clash()), ("morph.gltf", morph())):
        with open(os.path.join(out_dir, name), "w", encoding="utf-8") as out:
            json.dump(document, out, indent=1)
            out.write("\n")


if __name__ == "__main__":
    main()
