# The add-on's two routes on characters of the size people buy (make bench-blender):
#   blender -b --factory-startup --python-exit-code 1 --python blender_export_bench.py -- ADDON.zip [FBX...]
# Characters: one built here (60 bones, 6000 vertices, 11 takes through
# Blender's FBX exporter and importer) and each FBX named, imported with
# Blender's FBX importer. Each is exported by the glTF route (the add-on as it
# was: Blender's glTF exporter, then vantrel-export on the .glb; from git's
# main branch) and by today's (Blender's evaluated meshes into a point cache),
# timed per frame (wall clock, processor of Blender and of vantrel-export), the
# peak memory of the process, and each route's worst distance from Blender's
# evaluated meshes at the first, middle and last frame of every sequence.
import math
import os
import resource
import subprocess
import sys
import time

import numpy as np

import addon_utils
import bpy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blender"))
from blender_checks import read_outputs, sequence_lines  # noqa: E402

ARGUMENTS = sys.argv[sys.argv.index("--") + 1:]
ADDON_ZIP = os.path.abspath(ARGUMENTS[0])
MODELS = [os.path.abspath(path) for path in ARGUMENTS[1:]]
WORK = os.getcwd()


def build_character(folder):
    bpy.ops.wm.read_homefile(use_empty=True)
    scene = bpy.context.scene
    scene.render.fps = 30
    rig = bpy.data.objects.new("Rig", bpy.data.armatures.new("Rig"))
    scene.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode='EDIT')
    bones = []
    # Five limbs of twelve bones from a common root, fanned out.
    for limb in range(5):
        angle = 2 * math.pi * limb / 5
        parent = None
        for i in range(12):
            bone = rig.data.edit_bones.new("L%dB%d" % (limb, i))
            bone.head = (0.3 * i * math.cos(angle), 0.3 * i * math.sin(angle), 1 + 0.1 * i)
            bone.tail = (0.3 * (i + 1) * math.cos(angle), 0.3 * (i + 1) * math.sin(angle), 1 + 0.1 * (i + 1))
            bone.parent, bone.use_connect = parent, parent is not None
            parent = bone
            bones.append((bone.name, bone.head.copy(), bone.tail.copy()))
    bpy.ops.object.mode_set(mode='OBJECT')
    vertices, faces, groups = [], [], []
    rings, segments = 5, 20  # 100 vertices a bone
    for b, (name, head, tail) in enumerate(bones):
        axis = (tail - head).normalized()
        side = axis.orthogonal().normalized()
        up = axis.cross(side)
        for r in range(rings):
            centre = head + (tail - head) * (r / (rings - 1))
            for s in range(segments):
                a = 2 * math.pi * s / segments
                vertices.append(tuple(centre + 0.08 * (math.cos(a) * side + math.sin(a) * up)))
                groups.append((b, r / (rings - 1)))
        base = b * rings * segments
        faces += [(base + r * segments + s, base + r * segments + (s + 1) % segments,
                   base + (r + 1) * segments + (s + 1) % segments, base + (r + 1) * segments + s)
                  for r in range(rings - 1) for s in range(segments)]
    mesh = bpy.data.meshes.new("Body")
    mesh.from_pydata(vertices, [], faces)
    body = bpy.data.objects.new("Body", mesh)
    scene.collection.objects.link(body)
    body.parent = rig
    body.modifiers.new("Armature", 'ARMATURE').object = rig
    vertex_groups = [body.vertex_groups.new(name=name) for name, _, _ in bones]
    for index, (b, along) in enumerate(groups):
        vertex_groups[b].add([index], 1 - 0.5 * along, 'REPLACE')
        if b % 12 != 11:
            vertex_groups[b + 1].add([index], 0.5 * along, 'REPLACE')
    rig.animation_data_create()
    for n in range(11):
        action = bpy.data.actions.new("Take%02d" % n)
        action.use_fake_user = True
        rig.animation_data.action = action
        length = 30 + 6 * n
        for frame in range(1, length + 1, 6):
            for b, (name, _, _) in enumerate(bones):
                pose_bone = rig.pose.bones[name]
                pose_bone.rotation_mode = 'XYZ'
                pose_bone.rotation_euler = (0.3 * math.sin(frame / 7 + b + n), 0.2 * math.cos(frame / 5 + b), 0)
                pose_bone.keyframe_insert("rotation_euler", frame=frame, group=name)
    fbx = os.path.join(folder, "character.fbx")
    # Keyed at every frame, as characters from other tools come.
    bpy.ops.export_scene.fbx(filepath=fbx, bake_anim_use_all_actions=True, bake_anim_use_nla_strips=False,
                             add_leaf_bones=False, bake_anim_simplify_factor=0.0)
    return fbx


def load(fbx):
    bpy.ops.wm.read_homefile(use_empty=True)
    bpy.context.scene.render.fps = 30
    bpy.ops.import_scene.fbx(filepath=fbx)


def old_addon():
    """The add-on of git's main branch (the glTF route), as a module of its own, not registered."""
    folder = os.path.join(WORK, "gltf-route", "vantrel_export_gltf")
    os.makedirs(folder, exist_ok=True)
    for name in ("__init__.py", "import_set.py"):
        text = subprocess.run(["git", "-C", HERE, "show", "main:blender/vantrel_export/" + name], check=True,
                              capture_output=True, encoding="utf-8").stdout
        with open(os.path.join(folder, name), "w", encoding="utf-8") as file:
            file.write(text)
    sys.path.insert(0, os.path.dirname(folder))
    import vantrel_export_gltf
    return vantrel_export_gltf


class Clock:
    def __enter__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()
        self.child = resource.getrusage(resource.RUSAGE_CHILDREN)
        return self

    def __exit__(self, *exception):
        child = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.wall = time.perf_counter() - self.wall
        self.cpu = time.process_time() - self.cpu
        self.child = child.ru_utime + child.ru_stime - self.child.ru_utime - self.child.ru_stime


def gltf_route(old, base):
    takes, _ = old.gather_takes(bpy.context, False)

    class Options:
        use_selection, apply_modifiers = False, False

    path = base + ".glb"
    with Clock() as clock:
        old.export_gltf(bpy.context, path, Options, takes)
        clips = [argument for take in takes for argument in ("--clip", take.key)]
        render = bpy.context.scene.render
        subprocess.run(["vantrel-export", path, base + ".3D", "--fps", "%.9g" % (render.fps / render.fps_base), "-q",
                        "--no-log"] + clips,
                       check=True, cwd=os.path.dirname(base), capture_output=True)
    os.remove(path)
    return clock


def bake_route(base):
    with Clock() as clock:
        result = bpy.ops.export_scene.vantrel_mesh(filepath=base + ".3D")
    assert result == {'FINISHED'}, result
    return clock


def blender_points(objects, frame):
    bpy.context.scene.frame_set(frame)
    depsgraph = bpy.context.evaluated_depsgraph_get()
    parts = []
    for obj in objects:
        evaluated = obj.evaluated_get(depsgraph)
        mesh = evaluated.to_mesh()
        co = np.empty(len(mesh.vertices) * 3)
        mesh.vertices.foreach_get("co", co)
        matrix = np.array(evaluated.matrix_world)
        world = co.reshape(-1, 3) @ matrix[:3, :3].T + matrix[:3, 3]
        parts.append(world * (1, -1, 1))
        evaluated.to_mesh_clear()
    return np.concatenate(parts)


def distance(base, clips, objects):
    """The worst distance, in steps, of the export at base from Blender's meshes
    at the first, middle and last frame of each sequence. The writer centres
    the box of every frame (and the origin): Blender's meshes at every frame
    give it. Vertices are paired by nearest path over the frames compared."""
    import vantrel_export
    frames, script = read_outputs(base)
    mesh = os.path.basename(base)
    step = float(script.split("MESHMAP SCALE MESHMAP=%s X=" % mesh)[1].split()[0])
    by_label = {clip.label: clip for clip in clips}
    got, expected = [], []
    low, high = np.zeros(3), np.zeros(3)
    with vantrel_export.Player([clip for clip in clips if not clip.scene], bpy.context) as player:
        for name, first, length in sequence_lines(script, mesh):
            clip = by_label.get(name) or next(c for c in clips if name in c.key.replace("|", "_"))
            player.play(clip)
            for k in range(length):
                points = blender_points(objects, clip.first + k)
                low, high = np.minimum(low, points.min(0)), np.maximum(high, points.max(0))
                if k in (0, length // 2, length - 1):
                    expected.append(points)
                    got.append(np.array(frames[first + k], dtype=np.float64) * step)
    centre = (low + high) / 2
    mine = np.concatenate([g + centre for g in got], axis=1)
    theirs = np.concatenate(expected, axis=1)
    match = np.empty(len(mine), dtype=np.int64)
    for start in range(0, len(mine), 32):
        match[start:start + 32] = np.abs(mine[start:start + 32, None, :] - theirs[None, :, :]).max(2).argmin(1)
    return max(float(np.abs(g + centre - e[match]).max()) for g, e in zip(got, expected)) / step


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP)
    addon_utils.enable("vantrel_export", default_set=True, handle_error=None)
    import vantrel_export
    old = old_addon()
    characters = [("built", build_character(WORK))] + [(os.path.splitext(os.path.basename(m))[0], m) for m in MODELS]
    print("%-16s %6s %6s | %-34s | %-34s" % ("character", "verts", "frames", "glTF route: ms/frame (wall, cpu), steps",
                                             "bake route: ms/frame (wall, cpu), steps"))
    for label, fbx in characters:
        load(fbx)
        objects, _ = vantrel_export.exported_objects(bpy.context, False)
        clips, _ = vantrel_export.gather_clips(bpy.context, False)
        frames = sum(clip.frames for clip in clips)
        vertices = sum(len(obj.data.vertices) for obj in objects if obj.type == 'MESH')
        row = []
        for route in ("gltf", "bake"):
            base = os.path.join(WORK, route, label, "Figure")
            os.makedirs(os.path.dirname(base), exist_ok=True)
            clock = gltf_route(old, base) if route == "gltf" else bake_route(base)
            worst = distance(base, clips, objects)
            row.append("%6.2f %6.2f %6.2f" % (1000 * clock.wall / frames, 1000 * (clock.cpu + clock.child) / frames,
                                              worst))
        print("%-16s %6d %6d | %-34s | %-34s" % (label, vertices, frames, row[0], row[1]))
    print("peak memory of the Blender process: %d MiB" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024))


main()
