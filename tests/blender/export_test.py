# The Blender add-on in a real Blender, headless (make test-blender):
#   blender -b --factory-startup --python-exit-code 1 --python export_test.py -- ADDON.zip
# The add-on is installed from its zip, vantrel-export comes from PATH, and the
# decoded animation is compared with Blender's own evaluated mesh.
import math
import os
import re
import struct
import sys
import types

import addon_utils
import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from blender_checks import (STEP_TOLERANCE, check, clear_scene, failures, read_outputs,  # noqa: E402
                            sequence_lines, worst_error)

ADDON_ZIP = os.path.abspath(sys.argv[sys.argv.index("--") + 1])
ADDON = "vantrel_export"
WORK = os.getcwd()

def build_scene(blend, takes=False):
    """A chain of three bones up Z, a tube around it skinned with weights
    blended across the joints (at a joint the second bone weighs `blend`), and
    two actions of different lengths; the first starts at rest. With takes:
    four actions, and a shape key with an action of its own."""
    clear_scene()
    scene = bpy.context.scene
    scene.render.fps = 24
    scene.render.fps_base = 1.0

    rig_data = bpy.data.armatures.new("Rig")
    rig = bpy.data.objects.new("Rig", rig_data)
    scene.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode='EDIT')
    parent = None
    for i in range(3):
        bone = rig_data.edit_bones.new("Bone%d" % i)
        bone.head, bone.tail = (0, 0, i), (0, 0, i + 1)
        bone.parent, bone.use_connect = parent, parent is not None
        parent = bone
    bpy.ops.object.mode_set(mode='OBJECT')

    rings, segments = 13, 12
    vertices = [(0.3 * math.cos(2 * math.pi * s / segments), 0.3 * math.sin(2 * math.pi * s / segments), 0.25 * r)
                for r in range(rings) for s in range(segments)]
    faces = [(r * segments + s, r * segments + (s + 1) % segments, (r + 1) * segments + (s + 1) % segments,
              (r + 1) * segments + s) for r in range(rings - 1) for s in range(segments)]
    mesh = bpy.data.meshes.new("Tube")
    mesh.from_pydata(vertices, [], faces)
    mesh.polygons.foreach_set("use_smooth", [True] * len(faces))
    tube = bpy.data.objects.new("Tube", mesh)
    scene.collection.objects.link(tube)
    tube.parent = rig
    tube.modifiers.new("Armature", 'ARMATURE').object = rig
    groups = [tube.vertex_groups.new(name="Bone%d" % i) for i in range(3)]
    for index, (_, _, z) in enumerate(vertices):
        bone = min(int(z), 2)
        weights = {bone: 1.0}
        joint = round(z)
        if 1 <= joint <= 2 and abs(z - joint) < 0.5:  # within half a bone of a joint
            other = joint if z < joint else joint - 1
            share = blend * (1 - abs(z - joint) / 0.5)
            weights = {bone: 1 - share, other: share}
        for bone, weight in weights.items():
            groups[bone].add([index], weight, 'REPLACE')

    rig.animation_data_create()

    def action(name, keys):
        made = bpy.data.actions.new(name)
        made.use_fake_user = True
        rig.animation_data.action = made
        for frame, rotations in keys:
            for bone, rotation in rotations.items():
                pose_bone = rig.pose.bones[bone]
                pose_bone.rotation_mode = 'XYZ'
                pose_bone.rotation_euler = rotation
                pose_bone.keyframe_insert("rotation_euler", frame=frame, group=bone)
        return made

    rest = {"Bone0": (0, 0, 0), "Bone1": (0, 0, 0), "Bone2": (0, 0, 0)}
    wave = action("Wave", [(1, rest),
                           (13, {"Bone0": (0, 0, 0.3), "Bone1": (1.0, 0, 0), "Bone2": (0.6, 0, 0)}),
                           (25, {"Bone0": (0, 0, 0), "Bone1": (0.4, 0, 0), "Bone2": (1.2, 0, 0)})])
    twist = action("Twist", [(1, {"Bone0": (0, 0, 0.6), "Bone1": (0, 0.8, 0), "Bone2": (0, 0.5, 0)}),
                             (21, {"Bone0": (0, 0, -0.6), "Bone1": (0, -0.8, 0), "Bone2": (0, 0, 0)}),
                             (41, {"Bone0": (0, 0, 0), "Bone1": (0, 0.4, 0), "Bone2": (0, -1.0, 0)})])
    actions = [wave, twist]
    if takes:
        actions += [action("Nod", [(1, rest), (9, {"Bone0": (0, 0, 0), "Bone1": (0, 0, 0), "Bone2": (0.9, 0, 0)}),
                                   (17, rest)]),
                    action("Stretch", [(1, {"Bone0": (0, 0, 0), "Bone1": (0, 0, 0.7), "Bone2": (0, 0, 0)}),
                                       (33, {"Bone0": (0.5, 0, 0), "Bone1": (0, 0, -0.7), "Bone2": (0, 0, 0.4)})])]
        # A shape key, animated by an action of its own, swells the tube's top.
        tube.shape_key_add(name="Basis")
        swell = tube.shape_key_add(name="Swell")
        for index, (x, y, z) in enumerate(vertices):
            swell.data[index].co = (x * (1 + 0.4 * z / 3), y * (1 + 0.4 * z / 3), z)
        keys = tube.data.shape_keys
        keys.animation_data_create()
        keys.animation_data.action = bpy.data.actions.new("Swell")
        for frame, value in ((1, 0.0), (20, 1.0), (41, 0.3)):
            swell.value = value
            swell.keyframe_insert("value", frame=frame)
    rig.animation_data.action = wave
    return rig, tube, actions


def evaluated_positions(tube, frame, actions):
    """Blender's own deformed tube at that frame with those actions (per
    animated ID) active, in world space, in the axes of the animation file
    (glTF's Y up with its second and third axes exchanged: x, -y, z)."""
    for owner, action in actions.items():
        owner.animation_data.action = action
    bpy.context.scene.frame_set(frame)
    evaluated = tube.evaluated_get(bpy.context.evaluated_depsgraph_get())
    world = evaluated.matrix_world
    return [(p.x, -p.y, p.z) for p in (world @ v.co for v in evaluated.data.vertices)]


def export(label, name, **options):
    """The operator's export into a folder of its own; the base path of its files, or None."""
    folder = os.path.join(WORK, label)
    os.makedirs(folder, exist_ok=True)
    base = os.path.join(folder, name)
    result = bpy.ops.export_scene.vantrel_mesh(filepath=base + ".3D", **options)
    if not check(result == {'FINISHED'}, label + ": the export did not finish"):
        return None
    for path in (base + "_d.3d", base + "_a.3d", base + ".uc", base + ".log"):
        check(os.path.isfile(path), label + ": missing " + path)
    check(not any(name.endswith((".obj", ".pc2", ".clips")) for name in os.listdir(folder)),
          label + ": a temporary file was left")
    return base


def export_and_measure(label, blend, options):
    """Exports the two-action scene through the add-on and returns the worst
    error, in quantisation steps."""
    rig, tube, actions = build_scene(blend)
    base = export(label, "Snake", **options)
    if base is None:
        return math.inf
    frames, script = read_outputs(base)
    lengths = {a.name: int(a.frame_range[1]) - int(a.frame_range[0]) + 1 for a in actions}
    sequences = {name: length for name, _, length in sequence_lines(script, "Snake")}
    check(sequences == lengths, "%s: sequences %s, actions %s" % (label, sequences, lengths))
    if failures:
        return math.inf
    poses = {a.name: (lambda k, a=a: evaluated_positions(tube, int(a.frame_range[0]) + k, {rig: a})) for a in actions}
    return worst_error(label, base, poses, options.get("scale", 1.0), "Wave")


def scene_state():
    """What an export must leave as it found: the actions, and every ID's
    assignments and NLA tracks (id_root is read as '' where it is unset)."""
    state = [len(bpy.data.actions)]
    state += [(a.name, a.id_root, a.users, a.use_fake_user, tuple(a.frame_range)) for a in bpy.data.actions]
    for owner in list(bpy.data.objects) + list(bpy.data.shape_keys):
        data = owner.animation_data
        state.append((owner.name, data is not None) + ((
            data.action and data.action.name, data.use_nla, data.use_tweak_mode,
            [(t.name, t.mute, t.is_solo, [(s.name, s.mute, s.action.name, s.frame_start, s.frame_end)
                                         for s in t.strips]) for t in data.nla_tracks]) if data else ()))
    return state


def check_scene(before, label):
    after = scene_state()
    check(after == before, "%s: the export changed the scene: %s" % (
        label, [(b, a) for b, a in zip(before, after) if b != a] or (len(before), len(after))))


def fbx_character():
    """The four-action character with a shape-key action through Blender's FBX
    exporter (every action a take) and importer, which leaves one action of each
    kind assigned and the rest assigned to nothing; then the add-on, changing
    nothing, then again with two clips chosen, in reverse order, one of them in
    an NLA track and the other stashed."""
    _, _, actions = build_scene(0.5, takes=True)
    lengths = {a.name: int(a.frame_range[1]) - int(a.frame_range[0]) + 1 for a in actions}
    fbx = os.path.join(WORK, "character.fbx")
    # Keyed at every frame, as characters from most tools come: the glTF
    # exporter takes the keys as they are (the two-action scene has it resample).
    bpy.ops.export_scene.fbx(filepath=fbx, bake_anim_use_all_actions=True, bake_anim_use_nla_strips=False,
                             add_leaf_bones=False, bake_anim_simplify_factor=0.0)
    bpy.ops.wm.read_homefile(use_empty=True)
    bpy.context.scene.render.fps = 24
    bpy.ops.import_scene.fbx(filepath=fbx)
    rig, tube = bpy.data.objects["Rig"], bpy.data.objects["Tube"]
    keys = tube.data.shape_keys
    takes = {name: {owner: action for owner in (rig, keys) for action in bpy.data.actions
                    if action.name.startswith(owner.name + "|") and action.name.endswith("|" + name)}
             for name in lengths}
    check(all(len(parts) == 2 for parts in takes.values()), "the FBX importer's actions: %s" % list(bpy.data.actions))

    before = scene_state()
    base = export("fbx", "Tube")
    check_scene(before, "fbx")
    if failures or base is None:
        return
    _, script = read_outputs(base)
    sequences = sequence_lines(script, "Tube")
    check(len(sequences) == len(takes), "fbx: sequences %s for takes %s" % (sequences, list(takes)))
    names = {}
    for name, _, length in sequences:
        take = [t for t in takes if t in name]
        if check(len(take) == 1, "fbx: the sequence %s names no take" % name):
            names[take[0]] = name
            check(length == lengths[take[0]], "fbx: %s has %d frames, the action %d" % (name, length, lengths[take[0]]))
    if failures:
        return
    poses = {names[t]: (lambda k, t=t: evaluated_positions(tube, int(takes[t][rig].frame_range[0]) + k, takes[t]))
             for t in takes}
    worst = worst_error("fbx", base, poses, 1.0, names["Wave"])
    print("FBX-imported character, %d takes: worst error %.3f steps" % (len(takes), worst))
    check(worst < STEP_TOLERANCE, "fbx: decoded positions off Blender's by more than 1.5 steps")

    # The choice: the second and fourth clips, the fourth first; the one
    # action in an NLA track, in tweak mode, the other stashed.
    clips = bpy.context.scene.vantrel_clips
    check([clip.label for clip in clips] == [names[t] for t in sorted(takes)], "fbx: the clip list %s"
          % [clip.label for clip in clips])
    for index, clip in enumerate(clips):
        clip.use = index in (1, 3)
    clips.move(3, 0)
    chosen = [clips[0].label, clips[2].label]
    rig.animation_data.action = None
    first, second = (takes[t][rig] for t in sorted(takes)[1::2])
    stash = rig.animation_data.nla_tracks.new()
    stash.name, stash.mute = "[Action Stash]", True
    stash.strips.new(second.name, 1, second)
    track = rig.animation_data.nla_tracks.new()
    track.strips.new("Strip", 1, first).select = True
    rig.animation_data.nla_tracks.active = track
    rig.animation_data.use_tweak_mode = True  # the strip open for editing
    before = scene_state()
    base = export("fbx-chosen", "Tube", preview=True)
    check_scene(before, "fbx-chosen")
    if base:
        check(os.path.isfile(base + ".html"), "fbx-chosen: no preview page")
        got = [(name, length) for name, _, length in sequence_lines(read_outputs(base)[1], "Tube")]
        check(got == [(name, lengths[name]) for name in chosen], "fbx-chosen: sequences %s, chosen %s" % (got, chosen))

    # Halfway through, the bake fails: the scene is as it was.
    from vantrel_export import bake
    real = bake.Baker.frame

    def halfway(self, frame, label):
        if self.frames == 5:
            raise RuntimeError("stopped halfway")
        real(self, frame, label)

    bake.Baker.frame = halfway
    try:
        expect_error_report("fbx-halfway", {}, "stopped halfway")
    finally:
        bake.Baker.frame = real
    check_scene(before, "fbx-halfway")


def character_and_hat():
    """Two armatures, each deforming a mesh and with its own action for each
    take, as the FBX importer names them: one clip per take."""
    clear_scene()
    scene = bpy.context.scene
    for name in ("Body", "Hat"):
        rig = bpy.data.objects.new(name, bpy.data.armatures.new(name))
        scene.collection.objects.link(rig)
        bpy.context.view_layer.objects.active = rig
        bpy.ops.object.mode_set(mode='EDIT')
        rig.data.edit_bones.new(name + "Bone").tail = (0, 0, 1)
        bpy.ops.object.mode_set(mode='OBJECT')
        # A mesh each armature deforms: what is exported.
        mesh = bpy.data.meshes.new(name + "Mesh")
        mesh.from_pydata([(0, 0, 0), (0.1, 0, 0.5), (0, 0.1, 1)], [], [(0, 1, 2)])
        skin = bpy.data.objects.new(name + "Mesh", mesh)
        scene.collection.objects.link(skin)
        skin.modifiers.new("Armature", 'ARMATURE').object = rig
        for take in ("Walk", "Jump"):
            action = bpy.data.actions.new(name + "|" + take)
            action.fcurves.new('pose.bones["%sBone"].location' % name, index=2).keyframe_points.insert(1, 0.0)
    bpy.data.actions.new("Lamp|Walk").fcurves.new("location", index=2).keyframe_points.insert(1, 0.0)
    from vantrel_export import gather_takes
    takes, left_out = gather_takes(bpy.context, False)
    check(sorted((take.label, len(take.parts)) for take in takes) == [("Jump", 2), ("Walk", 2)],
          "character and hat: takes %s" % [(take.key, len(take.parts)) for take in takes])
    check([action.name for action in left_out] == ["Lamp|Walk"], "character and hat: left out %s" % left_out)


def expect_error_report(label, options, needle):
    """The operator fails with an error report (bpy.ops raises it as a RuntimeError), not a traceback."""
    os.makedirs(os.path.join(WORK, label), exist_ok=True)
    try:
        bpy.ops.export_scene.vantrel_mesh(**dict({"filepath": os.path.join(WORK, label, "Snake.3D")}, **options))
    except RuntimeError as error:
        text = str(error)
        check(needle in text and "Traceback" not in text, "%s: the error report reads %r" % (label, text))
        return
    check(False, label + ": no error report")


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP)
    addon_utils.enable(ADDON, default_set=True, handle_error=None)
    check(hasattr(bpy.types, "EXPORT_SCENE_OT_vantrel_mesh"), "the add-on's operator is not registered")
    if failures:
        sys.exit(1)

    strong = export_and_measure("strong", 0.5, {"scale": 2.0})
    mild = export_and_measure("mild", 0.02, {"scale": 2.0})
    print("worst error in quantisation steps: blended weights %.3f, mildly blended %.3f" % (strong, mild))
    check(max(strong, mild) < STEP_TOLERANCE, "decoded positions off Blender's by more than 1.5 steps")

    for clip in bpy.context.scene.vantrel_clips:
        clip.use = False
    expect_error_report("no-clip-chosen", {}, "No clip is chosen")
    fbx_character()
    character_and_hat()
    expect_error_report("no-such-folder", {"filepath": os.path.join(WORK, "missing", "Snake.3D")}, "does not exist")
    preferences = bpy.context.preferences.addons[ADDON].preferences
    preferences.tool_path = "/nonexistent/vantrel-export"
    expect_error_report("tool-not-set", {}, "vantrel-export was not found")
    preferences.tool_path = ""
    os.environ["PATH"] = "/nonexistent"
    expect_error_report("tool-not-on-path", {}, "vantrel-export was not found")

    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("All Blender add-on checks passed")


main()
