# Characters with more than one armature, judged by Blender (make test-blender):
#   blender -b --factory-startup --python-exit-code 1 --python armatures_test.py
# Each character is built here, written with Blender's FBX and glTF exporters,
# exported with vantrel-export (from PATH), and its decoded frames compared with
# Blender's evaluated meshes: for the FBX, those of Blender's own FBX importer
# (default options) reading the same file; for the glTF, the scene that wrote it.
import math
import os
import struct
import subprocess
import sys

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from blender_checks import check, clear_scene, failures  # noqa: E402

WORK = os.getcwd()
STEP_TOLERANCE = 1.5  # truncation loses up to one step
BLENDER_FPS = 24


def armature(name, location, bones):
    """bones: (name, head, tail, parent name or None), in the armature's space."""
    data = bpy.data.armatures.new(name)
    rig = bpy.data.objects.new(name, data)
    rig.location = location
    bpy.context.scene.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode='EDIT')
    for bone_name, head, tail, parent in bones:
        bone = data.edit_bones.new(bone_name)
        bone.head, bone.tail = head, tail
        if parent:
            bone.parent = data.edit_bones[parent]
    bpy.ops.object.mode_set(mode='OBJECT')
    return rig


def skinned_tube(name, rig, radius, bottom, top, rings, groups_of):
    """A closed tube up the rig's Z, in the rig's space; groups_of(z) gives
    each ring's {bone: weight}."""
    segments = 8
    vertices = [(radius * math.cos(2 * math.pi * s / segments), radius * math.sin(2 * math.pi * s / segments),
                 bottom + (top - bottom) * r / (rings - 1)) for r in range(rings) for s in range(segments)]
    faces = [(r * segments + s, r * segments + (s + 1) % segments, (r + 1) * segments + (s + 1) % segments,
              (r + 1) * segments + s) for r in range(rings - 1) for s in range(segments)]
    faces += [tuple(range(segments))[::-1], tuple(range((rings - 1) * segments, rings * segments))]
    mesh = bpy.data.meshes.new(name)
    mesh.from_pydata(vertices, [], faces)
    tube = bpy.data.objects.new(name, mesh)
    bpy.context.scene.collection.objects.link(tube)
    tube.parent = rig
    tube.modifiers.new("Armature", 'ARMATURE').object = rig
    groups = {}
    for index, (_, _, z) in enumerate(vertices):
        for bone, weight in groups_of(z).items():
            if bone not in groups:
                groups[bone] = tube.vertex_groups.new(name=bone)
            groups[bone].add([index], weight, 'REPLACE')
    return tube


def animate(rig, name, keys):
    """keys: (frame, {bone: (rotation, location)})."""
    rig.animation_data_create()
    action = bpy.data.actions.new(name)
    rig.animation_data.action = action
    for frame, poses in keys:
        for bone, (rotation, location) in poses.items():
            pose_bone = rig.pose.bones[bone]
            pose_bone.rotation_mode = 'XYZ'
            pose_bone.rotation_euler = rotation
            pose_bone.location = location
            pose_bone.keyframe_insert("rotation_euler", frame=frame, group=bone)
            pose_bone.keyframe_insert("location", frame=frame, group=bone)


def body(name):
    """A body of two bones, the lower one called Bone."""
    rig = armature(name, (0, 0, 0), [("Bone", (0, 0, 0), (0, 0, 1), None), ("Chest", (0, 0, 1), (0, 0, 2), "Bone")])
    skinned_tube(name + "Mesh", rig, 0.4, 0, 2, 9, lambda z: {"Bone": 1.0} if z < 1 else {"Chest": 1.0})
    animate(rig, name + "Move", [(1, {"Bone": ((0, 0, 0), (0, 0, 0)), "Chest": ((0, 0, 0), (0, 0, 0))}),
                                 (13, {"Bone": ((0, 0, 0.5), (0.3, 0, 0)), "Chest": ((0.5, 0, 0), (0, 0, 0))}),
                                 (25, {"Bone": ((0, 0, 1.0), (0, 0, 0.2)), "Chest": ((0, 0.4, 0), (0, 0, 0))})])
    return rig


def cowboy():
    """A body and a hat on its head, the hat with an armature of its own whose one bone is called Bone."""
    body("Cowboy")
    hat = armature("Hat", (0.0, 0.0, 2.1), [("Bone", (0, 0, 0), (0, 0, 0.4), None)])
    skinned_tube("HatMesh", hat, 0.5, 0, 0.4, 3, lambda z: {"Bone": 1.0})
    animate(hat, "HatTip", [(1, {"Bone": ((0, 0, 0), (0, 0, 0))}),
                            (13, {"Bone": ((0.6, 0, 0), (0, 0.2, 0.1))}),
                            (25, {"Bone": ((0, 0, 1.5), (0, 0, 0))})])


def goblin():
    """A body, and a face whose armature has two bones side by side, one called Bone."""
    body("Goblin")
    face = armature("Face", (0.0, -0.45, 1.6), [("Bone", (0, 0, 0), (0, -0.2, 0), None),
                                                 ("Brow", (0, 0, 0.3), (0, -0.2, 0.3), None)])
    skinned_tube("FaceMesh", face, 0.15, -0.1, 0.4, 6, lambda z: {"Bone": 1.0} if z < 0.15 else {"Brow": 1.0})
    animate(face, "Grimace", [(1, {"Bone": ((0, 0, 0), (0, 0, 0)), "Brow": ((0, 0, 0), (0, 0, 0))}),
                              (13, {"Bone": ((0.8, 0, 0), (0, 0, -0.1)), "Brow": ((0, 0.5, 0), (0, 0, 0.1))}),
                              (25, {"Bone": ((0, 0, 0.7), (0, 0, 0)), "Brow": ((0, 0, -0.6), (0, 0, 0))})])


def build(character):
    clear_scene()
    scene = bpy.context.scene
    scene.render.fps, scene.render.fps_base = BLENDER_FPS, 1.0
    scene.frame_start, scene.frame_end = 1, 25
    character()


def evaluated(frame):
    """Every mesh's deformed vertices at that frame, in world space, in the axes
    of the animation file (x, -y, z), meshes by name."""
    bpy.context.scene.frame_set(frame)
    depsgraph = bpy.context.evaluated_depsgraph_get()
    points = []
    for obj in sorted((o for o in bpy.context.scene.objects if o.type == 'MESH'), key=lambda o: o.name):
        mesh = obj.evaluated_get(depsgraph)
        points += [(p.x, -p.y, p.z) for p in (mesh.matrix_world @ v.co for v in mesh.data.vertices)]
    return points


def read_frames(base):
    with open(base + "_d.3d", "rb") as file:
        _, vertex_count = struct.unpack_from("<HH", file.read(4))
    with open(base + "_a.3d", "rb") as file:
        data = file.read()
    frame_count = struct.unpack_from("<H", data)[0]
    check(len(data) == 4 + 8 * vertex_count * frame_count, base + ": animation file size")
    return [[struct.unpack_from("<hhh", data, 4 + 8 * (f * vertex_count + v)) for v in range(vertex_count)]
            for f in range(frame_count)]


def mesh_step(base):
    with open(base + ".uc") as file:
        for line in file:
            if "MESHMAP SCALE" in line:
                return float(line.split("X=")[1].split()[0])
    raise RuntimeError(base + ".uc: no mesh-map scale")


def sampled_rate(base):
    """The rate the program sampled the clips at: their lines' RATE=, else the engine's 30."""
    with open(base + ".uc") as file:
        for line in file:
            if "MESH SEQUENCE" in line and "SEQ=All " not in line and "RATE=" in line:
                return round(float(line.split("RATE=")[1].split()[0]))
    return 30


def extent(points):
    return max(max(p[a] for p in points) - min(p[a] for p in points) for a in range(3))


def worst_steps(label, source, start):
    """Exports source and returns the worst difference from Blender's evaluated
    meshes in steps, at every exported frame that falls on one of Blender's
    frames; the export's first frame is Blender's frame `start`."""
    base = os.path.join(WORK, label, "Figure")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    run = subprocess.run(["vantrel-export", source, base + ".3D"], capture_output=True, text=True)
    print(run.stdout + run.stderr)
    if not check(run.returncode == 0, label + ": vantrel-export failed"):
        return math.inf
    frames, step, rate = read_frames(base), mesh_step(base), sampled_rate(base)
    every = rate // math.gcd(rate, BLENDER_FPS)
    compared = range(0, len(frames), every)
    expected = {f: evaluated(start + f * BLENDER_FPS // rate) for f in compared}
    # The writer truncates toward zero: each stored number stands for the
    # middle of the step it was truncated within.
    middle = lambda q: (q + (0.5 if q > 0 else -0.5 if q < 0 else 0)) * step
    decoded = {f: [tuple(middle(c) for c in q) for q in frames[f]] for f in compared}
    if not check(len(decoded[0]) == len(expected[0]),
                 "%s: %d vertices exported, Blender has %d" % (label, len(decoded[0]), len(expected[0]))):
        return math.inf
    # Blender converts the file's units: its points are scaled by the power of
    # ten that matches the exported box.
    units = 10.0 ** round(math.log10(extent(decoded[0]) / extent(expected[0])))
    expected = {f: [tuple(c * units for c in p) for p in points] for f, points in expected.items()}
    # The export's vertex order is its own: pair vertices at the first frame,
    # each set about its own centroid. The writer centres its box: one shift,
    # the one that best fits the pairs, maps every frame onto Blender's.
    mean = lambda points: [sum(p[a] for p in points) / len(points) for a in range(3)]
    shift = [e - d for e, d in zip(mean(expected[0]), mean(decoded[0]))]
    match = [min(range(len(expected[0])), key=lambda j: math.dist([p[a] + shift[a] for a in range(3)], expected[0][j]))
             for p in decoded[0]]
    residual = [[expected[0][match[v]][a] - p[a] for v, p in enumerate(decoded[0])] for a in range(3)]
    shift = [(min(r) + max(r)) / 2 for r in residual]
    check(sorted(match) == list(range(len(expected[0]))), label + ": exported and Blender vertices do not pair one to one")
    worst = 0.0
    for f in compared:
        for v, p in enumerate(decoded[f]):
            e = expected[f][match[v]]
            worst = max(worst, max(abs(p[a] + shift[a] - e[a]) / step for a in range(3)))
    print("%s: worst %.3f steps over %d frames" % (label, worst, len(compared)))
    return worst


def judge(name, character):
    build(character)
    gltf = os.path.join(WORK, name + ".glb")
    bpy.ops.export_scene.gltf(filepath=gltf, export_format='GLB', export_nla_strips=False)
    # The glTF exporter writes frame f at f / fps: the export's time 0 is frame 0.
    check(worst_steps(name + "-gltf", gltf, 0) < STEP_TOLERANCE, name + ": glTF export off Blender's")

    fbx = os.path.join(WORK, name + ".fbx")
    bpy.ops.export_scene.fbx(filepath=fbx, bake_anim_use_all_actions=False, bake_anim_use_nla_strips=False)
    clear_scene()
    bpy.ops.import_scene.fbx(filepath=fbx)
    # The take begins at its first key, which Blender's importer puts at the action's first frame.
    start = min(int(action.frame_range[0]) for action in bpy.data.actions)
    check(worst_steps(name + "-fbx", fbx, start) < STEP_TOLERANCE, name + ": FBX export off Blender's import")


def main():
    judge("cowboy", cowboy)
    judge("goblin", goblin)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("All two-armature checks passed")


main()
