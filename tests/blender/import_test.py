# File > Import > Vantrel mesh (.3D) in a real Blender, headless (make test-blender):
#   blender -b --factory-startup --python-exit-code 1 --python import_test.py -- ADDON.zip MODEL
# MODEL is exported with vantrel-export from PATH, imported through the add-on
# (Automatic: shape keys, for a set this small), Blender's evaluated mesh
# compared with the frames vantrel-view decodes, and the scene exported back
# with the add-on compared with the set. Then the set, with a sequence at
# RATE=15 added by hand, comes in through a point cache (the way of big sets):
# the mesh, its textures, a Mesh Cache modifier on the cache in the folder
# chosen, one action per sequence at its rate, frames against the decoded ones.
import json
import os
import re
import struct
import subprocess
import sys

import addon_utils
import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from blender_checks import check, clear_scene, failures  # noqa: E402

ADDON_ZIP, MODEL = (os.path.abspath(a) for a in sys.argv[sys.argv.index("--") + 1:][:2])
ADDON = "vantrel_export"
WORK = os.getcwd()
# The glTF places each record in the middle of the span the exporter
# truncates to it, half a step from the decoded position; Blender adds a
# float's rounding.
ROUNDING = 1e-4


def decoded(base, frames):
    """Each frame's vertices in Blender's axes: the engine's x, -y, z."""
    out = subprocess.run(["vantrel-view", base + ".3D", "--dump-positions", ",".join(map(str, frames))],
                         capture_output=True, text=True, check=True).stdout
    result = {}
    for frame, flat in json.loads(out).items():
        result[int(frame)] = [(flat[i], -flat[i + 1], flat[i + 2]) for i in range(0, len(flat), 3)]
    return result


def evaluated_within(mesh, base, frame, step, what):
    """The evaluated mesh at the scene's frame against the set's decoded frame."""
    evaluated = mesh.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh()
    expected = decoded(base, [frame])[frame]
    check(len(evaluated.vertices) == len(expected), "%d vertices, the set has %d" % (len(evaluated.vertices), len(expected)))
    # The mesh holds the decoded frames; its object stands it on the set's origin.
    worst = max((abs(a - b) for v, e in zip(evaluated.vertices, expected) for a, b in zip(v.co, e)), default=0.0)
    check(worst <= step / 2 + ROUNDING, "%s is %g off decoded frame %d (step %g)" % (what, worst, frame, step))
    return len(expected), worst


def textured(mesh):
    images = [n.image for m in mesh.data.materials if m and m.use_nodes for n in m.node_tree.nodes
              if n.type == 'TEX_IMAGE' and n.image]
    return images and all(i.size[0] > 0 for i in images)


def point_cache(base, sequences, step):
    """The set with a hand-written sequence at RATE=15, through a point cache in a folder of its own."""
    clear_scene()
    with open(base + ".uc", "a") as script:
        script.write("#exec MESH SEQUENCE MESH=Imported SEQ=Slow STARTFRAME=10 NUMFRAMES=20 RATE=15\n")
    sequences = sequences + [("Slow", 10, 20)]
    folder = os.path.join(WORK, "cache")
    os.makedirs(folder, exist_ok=True)
    result = bpy.ops.import_mesh.vantrel(filepath=base + "_d.3d", frames='POINT_CACHE', cache_folder=folder)
    check(result == {'FINISHED'}, "the import through a point cache finishes")
    meshes = [o for o in bpy.data.objects if o.type == 'MESH']
    if not check(len(meshes) == 1, "one mesh object, not %d" % len(meshes)):
        return
    mesh = meshes[0]
    check(textured(mesh), "the materials show their textures (point cache)")
    check(mesh.data.shape_keys is None, "no shape keys with a point cache")
    caches = [m for m in mesh.modifiers if m.type == 'MESH_CACHE']
    cache = os.path.join(folder, "Imported_frames.pc2")
    check(len(caches) == 1 and os.path.samefile(bpy.path.abspath(caches[0].filepath), cache),
          "a Mesh Cache modifier on %s: %s" % (cache, [m.type for m in mesh.modifiers]))
    names = sorted(a.name for a in bpy.data.actions)
    check(names == sorted(s[0] for s in sequences), "one action per sequence: %s" % names)
    fps = bpy.context.scene.render.fps / bpy.context.scene.render.fps_base
    # A frame of the sequence a scene frame at its rate (15 a second for Slow): its last at (frames - 1) x fps / rate.
    for name, first, count in sequences:
        rate = 15 if name == "Slow" else 30
        check(abs(bpy.data.actions[name].frame_range[1] - (count - 1) * fps / rate) < 1e-3,
              "action %s ends at %g, frame %d at %g a second" % (name, bpy.data.actions[name].frame_range[1],
                                                                 count - 1, rate))
    worst = 0.0
    for name, k, scene_frame in ((sequences[-2][0], sequences[-2][2] // 2, sequences[-2][2] // 2), ("Slow", 7, 14)):
        first = next(s[1] for s in sequences if s[0] == name)
        mesh.animation_data.action = bpy.data.actions[name]
        bpy.context.scene.frame_set(scene_frame)
        count, off = evaluated_within(mesh, base, first + k, step, "scene frame %d of %s" % (scene_frame, name))
        worst = max(worst, off)
    print("point cache: %d vertices, %d actions, frames within %g (step %g)" % (count, len(names), worst, step))


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP, overwrite=True)
    addon_utils.enable(ADDON, default_set=True)
    base = os.path.join(WORK, "Imported")
    subprocess.run(["vantrel-export", "--no-log", MODEL, base + ".3D"], check=True, capture_output=True)
    with open(base + ".uc") as script:
        text = script.read()
    sequences = [(m.group(1), int(m.group(2)), int(m.group(3))) for m in re.finditer(
        r"MESH SEQUENCE MESH=\w+ SEQ=(\w+) STARTFRAME=(\d+) NUMFRAMES=(\d+)", text)]
    step = float(re.search(r"MESHMAP SCALE MESHMAP=\w+ X=(\S+)", text).group(1))
    check(len(sequences) > 1, "the model has clips")

    for item in list(bpy.data.objects):
        bpy.data.objects.remove(item)
    result = bpy.ops.import_mesh.vantrel(filepath=base + ".3D")
    check(result == {'FINISHED'}, "the import finishes")
    meshes = [o for o in bpy.data.objects if o.type == 'MESH']
    if not check(len(meshes) == 1, "one mesh object, not %d" % len(meshes)):
        return
    mesh = meshes[0]
    check(textured(mesh), "the materials show their textures")
    check(not mesh.modifiers, "no modifier with shape keys")
    names = sorted(a.name for a in bpy.data.actions)
    check(names == sorted(s[0] for s in sequences), "one action per sequence: %s" % names)

    # The middle of the last sequence, through its action, at the scene's frame.
    name, first, count = sequences[-1]
    k = count // 2
    keys = mesh.data.shape_keys
    keys.animation_data.action = bpy.data.actions[name]
    bpy.context.scene.frame_set(k)
    count, worst = evaluated_within(mesh, base, first + k, step, "frame %d of %s" % (k, name))
    print("import: %d vertices, %d actions, frame %d of %s within %g (step %g)" % (count, len(names), k, name,
                                                                               worst, step))

    # Back through the add-on's own export, with the options the import left: the set again.
    back = os.path.join(WORK, "back", "Imported")
    os.makedirs(os.path.dirname(back), exist_ok=True)
    check(bpy.ops.export_scene.vantrel_mesh(filepath=back + ".3D") == {'FINISHED'}, "the export back finishes")
    files = [open(path, "rb").read() for path in (base + "_d.3d", back + "_d.3d", base + "_a.3d", back + "_a.3d")]
    check(files[0] == files[1], "the export back gives the same _d.3d")
    records = [struct.unpack("<%dh" % ((len(data) - 4) // 2), data[4:]) for data in files[2:]]
    steps = max((abs(a - b) for a, b in zip(*records)), default=0)
    check(files[2][:4] == files[3][:4] and len(records[0]) == len(records[1]) and steps <= 1,
          "the export back gives the frames within a step (%d)" % steps)
    with open(back + ".uc") as script:
        again = [(m.group(1), int(m.group(2)), int(m.group(3))) for m in re.finditer(
            r"MESH SEQUENCE MESH=\w+ SEQ=(\w+) STARTFRAME=(\d+) NUMFRAMES=(\d+)", script.read())]
    check(again == sequences, "the export back gives the sequences %s, not %s" % (again, sequences))

    point_cache(base, sequences, step)


main()
if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("import test passed")
