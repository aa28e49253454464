#!/usr/bin/env python3
"""Writes random host models (.hm.json) for comparing the builds' exports.

Each model is small, but drawn to reach the skeleton's and the writers' edge
cases: keys before and after the frame range, bones with keys of one kind only,
deep bone chains, parents listed after their children or naming no bone,
vertices whose bone index names no bone, NaN and infinities, huge and tiny
(subnormal) coordinates, and rotations at and near +-90 degrees about Y.
The same seed always writes the same files.

    random_models.py OUT_DIR [--count N] [--seed S]
"""
import argparse
import json
import math
import os
import random
import struct


def f32(value):
    """The float a host stores for value, as a JSON value that reads back to it."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return "inf" if value > 0 else "-inf"


class Draw:
    def __init__(self, rng):
        self.rng = rng

    def chance(self, p):
        return self.rng.random() < p

    def special(self):
        return self.rng.choice([math.nan, math.inf, -math.inf, 3.0e38, -3.0e38, 1.0e30, -1.0e-30,
                                1.0e-42, -1.0e-45, 0.0, -0.0, 65535.0, -32769.5])

    def coordinate(self, scale):
        if self.chance(0.03):
            return self.special()
        kind = self.rng.random()
        if kind < 0.1:
            return self.rng.uniform(-1e-6, 1e-6)
        if kind < 0.2:
            return self.rng.uniform(-1e6, 1e6)
        return self.rng.uniform(-scale, scale)

    def angle(self):
        """Radians; often near the gimbal angles and the right angles."""
        if self.chance(0.02):
            return self.special()
        kind = self.rng.random()
        if kind < 0.25:
            base = self.rng.choice([math.pi / 2, -math.pi / 2, math.pi, -math.pi, 0.0, 2 * math.pi])
            return base + self.rng.choice([0.0, 0.0, 1e-7, -1e-7, 3e-4, -3e-4, 1e-3])
        if kind < 0.3:
            return self.rng.uniform(-40.0, 40.0)
        return self.rng.uniform(-math.pi, math.pi)

    def rotation(self):
        x, y, z = self.angle(), self.angle(), self.angle()
        if self.chance(0.3):
            y = self.rng.choice([1, -1]) * (math.pi / 2 + self.rng.choice([0.0, 1e-7, -1e-7, 2e-5, -2e-5]))
        return [f32(x), f32(y), f32(z)]

    def vector(self, scale):
        return [f32(self.coordinate(scale)) for _ in range(3)]

    def key_times(self, frames):
        """Ascending times reaching before frame 0 and after the last frame."""
        count = self.rng.choice([0, 1, 1, 2, 3, 4, 6, 9])
        low, high = -3.0, frames + 3.0
        times = sorted(self.rng.choice([self.rng.uniform(low, high), float(self.rng.randint(-2, frames + 2))])
                       for _ in range(count))
        if times and self.chance(0.05):
            times[0] = -math.inf
        if times and self.chance(0.05):
            times[-1] = math.inf
        if len(times) > 1 and self.chance(0.1):
            times[1] = times[0]
        return [f32(t) for t in times]


def bones(draw, rng, frames):
    count = rng.choice([0, 1, 2, 3, 5, 8, 12, 30, 64])
    shape = rng.choice(["chain", "tree", "tree", "shuffled"])
    names = ["b%d" % i for i in range(count)]
    result = []
    for i, name in enumerate(names):
        if i == 0:
            parent = ""
        elif shape == "chain":
            parent = names[i - 1]
        elif shape == "shuffled":
            parent = rng.choice(names)  # may come later, be itself, or form a cycle
        else:
            parent = rng.choice(names[:i] + ["", "nobody"])
        bone = {"name": name, "parent": parent, "position": draw.vector(4.0), "rotation": draw.rotation()}
        kinds = rng.choice(["both", "both", "position", "rotation", "none"])
        if kinds in ("both", "position"):
            bone["positionKeys"] = [{"time": t, "value": draw.vector(4.0)} for t in draw.key_times(frames)]
        if kinds in ("both", "rotation"):
            bone["rotationKeys"] = [{"time": t, "value": draw.rotation()} for t in draw.key_times(frames)]
        result.append(bone)
    return result


def model(rng):
    draw = Draw(rng)
    frames = rng.choice([0, 1, 2, 3, 5, 8, 12])
    skeleton = bones(draw, rng, frames)
    meshes = []
    for m in range(rng.choice([1, 1, 2, 3])):
        vertices = []
        for _ in range(rng.randint(3, 24)):
            vertex = {"position": draw.vector(rng.choice([0.5, 5.0, 100.0]))}
            if rng.random() < 0.8:
                vertex["uv"] = [f32(draw.special() if draw.chance(0.03) else rng.uniform(-1.5, 2.5)) for _ in range(2)]
            if skeleton or rng.random() < 0.3:
                vertex["bone"] = rng.choice([-1, rng.randrange(max(len(skeleton), 1)), rng.randrange(max(len(skeleton), 1)),
                                             len(skeleton), 127, -128, -2])
            vertices.append(vertex)
        triangles = [[rng.randrange(len(vertices)) for _ in range(3)] for _ in range(rng.randint(1, 20))]
        meshes.append({"name": "mesh%d" % m, "vertices": vertices, "triangles": triangles})
    materials = [{"name": "mat%d" % i, "diffuseTexture": "tex%d.bmp" % i} for i in range(rng.randint(0, 3))]
    return {"totalFrames": frames, "currentFrame": rng.randint(0, max(frames, 1)), "meshes": meshes,
            "materials": materials, "bones": skeleton}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20240521)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out_dir, exist_ok=True)
    for i in range(args.count):
        with open(os.path.join(args.out_dir, "m%03d.hm.json" % i), "w") as out:
            json.dump(model(rng), out, allow_nan=False)


if __name__ == "__main__":
    main()
