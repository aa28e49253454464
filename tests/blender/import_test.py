# File > Import > Vantrel mesh (.3D) in a real Blender, headless (make test-blender):
#   blender -b --factory-startup --python-exit-code 1 --python import_test.py -- ADDON.zip MODEL
# MODEL is exported with vantrel-export from PATH, imported through the add-on,
# Blender's evaluated mesh compared with the frames vantrel-view decodes, and
# the scene exported back with the add-on compared with the set.
import json
import os
import re
import struct
import subprocess
import sys

import addon_utils
import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from blender_checks import check, failures  # noqa: E402

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
    images = [n.image for m in mesh.data.materials if m and m.use_nodes for n in m.node_tree.nodes
              if n.type == 'TEX_IMAGE' and n.image]
    check(images and all(i.size[0] > 0 for i in images), "the materials show their textures")
    names = sorted(a.name for a in bpy.data.actions)
    check(names == sorted(s[0] for s in sequences), "one action per sequence: %s" % names)

    # The middle of the last sequence, through its action, at the scene's frame.
    name, first, count = sequences[-1]
    k = count // 2
    keys = mesh.data.shape_keys
    keys.animation_data.action = bpy.data.actions[name]
    bpy.context.scene.frame_set(k)
    evaluated = mesh.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh()
    expected = decoded(base, [first + k])[first + k]
    check(len(evaluated.vertices) == len(expected), "%d vertices, the set has %d" % (len(evaluated.vertices), len(expected)))
    # The mesh holds the decoded frames; its object stands it on the set's origin.
    worst = max((abs(a - b) for v, e in zip(evaluated.vertices, expected) for a, b in zip(v.co, e)), default=0.0)
    check(worst <= step / 2 + ROUNDING, "frame %d of %s is %g off the decoded frame (step %g)" % (k, name, worst, step))
    print("import: %d vertices, %d actions, frame %d of %s within %g (step %g)" % (len(expected), len(names), k, name,
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


main()
if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("import test passed")
