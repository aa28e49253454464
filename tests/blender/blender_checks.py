"""What the Blender test scripts share: checks that are counted, not raised,
so that one run reports every failure, and an empty scene to build in."""

import math
import os
import re
import struct

import bpy

# Truncation loses up to one step; the script's six decimals and float
# arithmetic a little more.
STEP_TOLERANCE = 1.5

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def clear_scene():
    for collection in (bpy.data.objects, bpy.data.meshes, bpy.data.armatures, bpy.data.actions,
                       bpy.data.lattices, bpy.data.node_groups):
        for item in list(collection):
            collection.remove(item)


def read_outputs(base):
    with open(base + "_d.3d", "rb") as file:
        _, vertex_count = struct.unpack_from("<HH", file.read(4))
    with open(base + "_a.3d", "rb") as file:
        data = file.read()
    frame_count = struct.unpack_from("<H", data)[0]
    check(len(data) == 4 + 8 * vertex_count * frame_count, "animation file size")
    frames = [[struct.unpack_from("<hhh", data, 4 + 8 * (f * vertex_count + v)) for v in range(vertex_count)]
              for f in range(frame_count)]
    with open(base + ".uc", newline="") as file:
        script = file.read()
    return frames, script


def sequence_lines(script, mesh):
    """The clips' sequences of the script class, in its order: (name, first frame, frames)."""
    return [(m[0], int(m[1]), int(m[2])) for m in re.findall(
        r"#exec MESH SEQUENCE MESH=%s SEQ=(\w+) STARTFRAME=(\d+) NUMFRAMES=(\d+)(?: RATE=[0-9.]+)?\r\n" % mesh, script) if m[0] != "All"]


def centred(points):
    mean = [sum(p[a] for p in points) / len(points) for a in range(3)]
    return [tuple(p[a] - mean[a] for a in range(3)) for p in points]


def nearest_match(decoded, reference, step):
    """For each exported vertex, the Blender vertex at its place: the export's
    vertex order is its own (glTF may reorder), so vertices are matched at rest,
    each set about its own centroid (a bake that misses the box shifts them all)."""
    match = []
    reference = centred(reference)
    for point in centred(decoded):
        # Truncation moves each axis by up to a step: measured per axis, as the errors are.
        distances = sorted((max(abs(a - b) for a, b in zip(point, r)), j) for j, r in enumerate(reference))
        check(distances[0][0] < STEP_TOLERANCE * step, "an exported vertex with no Blender vertex at rest (%.2f steps off)" % (distances[0][0] / step))
        match.append(distances[0][1])
    check(sorted(match) == list(range(len(reference))), "exported and Blender vertices do not pair one to one")
    return match


def worst_error(label, base, poses, scale, rest, every=False):
    """The worst error of the export at base, in quantisation steps, at the
    first, middle and last frame of each sequence (every frame with every);
    poses gives, per sequence,
    Blender's positions at its k-th frame. Vertices are matched on the first
    frame of the sequence rest. The writer centres its box (every posed vertex
    of every frame, and the origin)."""
    frames, script = read_outputs(base)
    mesh = os.path.basename(base)
    step = float(re.search(r"MESHMAP SCALE MESHMAP=%s X=([0-9.]+)" % mesh, script)[1])
    expected = {}
    for name, first, length in sequence_lines(script, mesh):
        for k in range(length):
            expected[first + k] = [tuple(c * scale for c in p) for p in poses[name](k)]
    if not check(len(expected) == len(frames), label + ": %d frames written, %d expected" % (len(frames), len(expected))):
        return math.inf
    low = [min([0.0] + [p[a] for points in expected.values() for p in points]) for a in range(3)]
    high = [max([0.0] + [p[a] for points in expected.values() for p in points]) for a in range(3)]
    centre = [(low[a] + high[a]) / 2 for a in range(3)]

    def decode(frame):
        return [tuple(q[a] * step + centre[a] for a in range(3)) for q in frames[frame]]

    first = {name: first for name, first, _ in sequence_lines(script, mesh)}[rest]
    match = nearest_match(decode(first), expected[first], step)
    worst = 0.0
    for name, first, length in sequence_lines(script, mesh):
        for frame in range(first, first + length) if every else (first, first + length // 2, first + length - 1):
            for v, point in enumerate(decode(frame)):
                reference = expected[frame][match[v]]
                worst = max(worst, max(abs(point[a] - reference[a]) / step for a in range(3)))
    return worst
