# The add-on's glTF step on a character of the size people buy: 60 bones,
# about 6000 vertices, 11 actions through Blender's FBX exporter and importer.
#   make bench-blender   (Blender headless, vantrel-export on PATH)
# Times Blender's glTF export with the settings the add-on used before (every
# bone resampled) and with today's (the keys as they are, where every curve is
# keyed at every frame), each run three times, and compares what vantrel-export
# makes of both, frame for frame.
import math
import os
import struct
import subprocess
import sys
import time

import addon_utils
import bpy

ADDON_ZIP = os.path.abspath(sys.argv[sys.argv.index("--") + 1])
RUNS = 3

BEFORE = {"export_format": 'GLB', "export_animations": True, "export_frame_range": False,
          "export_force_sampling": True, "export_frame_step": 1, "export_skins": True, "export_all_influences": True,
          "export_morph": True, "export_cameras": False, "export_lights": False, "export_nla_strips": True,
          "export_anim_single_armature": False}


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
    bpy.ops.wm.read_homefile(use_empty=True)
    bpy.context.scene.render.fps = 30
    bpy.ops.import_scene.fbx(filepath=fbx)


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP)
    addon_utils.enable("vantrel_export", default_set=True, handle_error=None)
    import vantrel_export
    folder = os.getcwd()
    build_character(folder)
    takes, _ = vantrel_export.gather_takes(bpy.context, False)
    print("character: %d bones, %d vertices, %d takes, %d frames in all"
          % (len(bpy.data.objects["Rig"].data.bones), len(bpy.data.objects["Body"].data.vertices), len(takes),
             sum(take.frames for take in takes)))

    class Options:
        use_selection, apply_modifiers = False, False

    offered = bpy.ops.export_scene.gltf.get_rna_type().properties.keys()
    today = vantrel_export.gltf_settings(Options, takes, offered)
    variants = (("before", BEFORE), ("today", today))
    results = {}
    for label, settings in variants:
        wall, cpu = [], []
        path = os.path.join(folder, "model.glb")
        for run in range(RUNS):
            start, start_cpu = time.perf_counter(), time.process_time()
            with vantrel_export.takes_as_tracks(takes):
                bpy.ops.export_scene.gltf(filepath=path, **settings)
            vantrel_export.slide_clips_to_zero(path)
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
        base = os.path.join(folder, "Figure")
        clips = [argument for take in takes for argument in ("--clip", take.key)]
        subprocess.run(["vantrel-export", path, base + ".3D", "--fps", "30", "-q", "--no-log"] + clips,
                       check=True, cwd=folder)
        results[label] = trajectories(base)
        print("%-24s glTF export: best %.2f s (processor %.2f s) of %d; file %d KiB"
              % (label, min(wall), min(cpu), RUNS, os.path.getsize(path) // 1024))
    for first, second in zip(variants, variants[1:]):
        print("%s -> %s: %s" % (first[0], second[0], difference(results[first[0]], results[second[0]])))


def trajectories(base):
    """The quantisation step and every vertex's positions over all frames, in steps."""
    with open(base + "_a.3d", "rb") as file:
        data = file.read()
    with open(base + ".uc") as file:
        step = float([line for line in file if "MESHMAP SCALE" in line][0].split("X=")[1].split()[0])
    count, size = struct.unpack_from("<HH", data)
    values = struct.unpack_from("<%dh" % (count * size // 2), data, 4)
    return step, count, size // 8, values


def difference(a, b):
    (step_a, count_a, vertices_a, a), (step_b, count_b, vertices_b, b) = a, b
    if (count_a, vertices_a) != (count_b, vertices_b):
        return "%d and %d frames of %d and %d vertices (a layout of its own)" % (count_a, count_b, vertices_a,
                                                                              vertices_b)
    worst = max(abs(x * step_a - y * step_b) for x, y in zip(a, b)) / max(step_a, step_b)
    return "the same %d frames of %d vertices; largest difference %.2f steps" % (count_a, vertices_a, worst)

main()
