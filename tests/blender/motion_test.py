# Every kind of motion Blender evaluates, through the add-on (make test-blender):
#   blender -b --factory-startup --python-exit-code 1 --python motion_test.py -- ADDON.zip
# Each scene is exported through File > Export and every frame of every
# sequence is compared with Blender's own evaluated meshes, in world space.
import math
import os
import sys

import addon_utils
import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from blender_checks import (STEP_TOLERANCE, check, clear_scene, failures, read_outputs,  # noqa: E402
                            sequence_lines, worst_error)

ADDON_ZIP = os.path.abspath(sys.argv[sys.argv.index("--") + 1])
WORK = os.getcwd()


def grid(name, cuts=10, size=2.0, location=(0, 0, 0)):
    """A flat grid of (cuts + 1)^2 vertices, linked to the scene."""
    vertices = [(size * (i / cuts - 0.5), size * (j / cuts - 0.5), 0) for j in range(cuts + 1) for i in range(cuts + 1)]
    faces = [(j * (cuts + 1) + i, j * (cuts + 1) + i + 1, (j + 1) * (cuts + 1) + i + 1, (j + 1) * (cuts + 1) + i)
             for j in range(cuts) for i in range(cuts)]
    mesh = bpy.data.meshes.new(name)
    mesh.from_pydata(vertices, [], faces)
    obj = bpy.data.objects.new(name, mesh)
    obj.location = location
    bpy.context.scene.collection.objects.link(obj)
    return obj


def skinned_tube(bones=2):
    """A chain of bones up Z and a tube skinned to it, weights blended at the joints."""
    rig = bpy.data.objects.new("Rig", bpy.data.armatures.new("Rig"))
    bpy.context.scene.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode='EDIT')
    parent = None
    for i in range(bones):
        bone = rig.data.edit_bones.new("Bone%d" % i)
        bone.head, bone.tail, bone.parent, bone.use_connect = (0, 0, i), (0, 0, i + 1), parent, parent is not None
        parent = bone
    bpy.ops.object.mode_set(mode='OBJECT')
    rings, segments = 4 * bones + 1, 8
    vertices = [(0.3 * math.cos(2 * math.pi * s / segments), 0.3 * math.sin(2 * math.pi * s / segments), r / 4)
                for r in range(rings) for s in range(segments)]
    faces = [(r * segments + s, r * segments + (s + 1) % segments, (r + 1) * segments + (s + 1) % segments,
              (r + 1) * segments + s) for r in range(rings - 1) for s in range(segments)]
    mesh = bpy.data.meshes.new("Tube")
    mesh.from_pydata(vertices, [], faces)
    tube = bpy.data.objects.new("Tube", mesh)
    bpy.context.scene.collection.objects.link(tube)
    tube.parent = rig
    tube.modifiers.new("Armature", 'ARMATURE').object = rig
    groups = [tube.vertex_groups.new(name="Bone%d" % i) for i in range(bones)]
    for index, (_, _, z) in enumerate(vertices):
        lower = min(int(z), bones - 1)
        share = max(0.0, min(1.0, z - lower - 0.5)) if lower + 1 < bones else 0.0
        groups[lower].add([index], 1 - share, 'REPLACE')
        if share:
            groups[lower + 1].add([index], share, 'REPLACE')
    return rig, tube


def keys(owner, path, values, name=None):
    """Keys owner's path at (frame, value) pairs; a new action named name, where given."""
    if name:
        owner.animation_data_create()
        owner.animation_data.action = bpy.data.actions.new(name)
    for frame, value in values:
        setattr(owner, path, value)
        owner.keyframe_insert(path, frame=frame)


# --- The scenes: each returns the exported objects and the sequences expected (name or None, first frame, frames) ---

def wave_scene():
    """A Wave modifier, by time; two markers split the scene's range."""
    plane = grid("Plane")
    plane.modifiers.new("Wave", 'WAVE').height = 0.3
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 16
    scene.timeline_markers.new("Rise", frame=1)
    scene.timeline_markers.new("Fall", frame=9)
    return [plane], [("Rise", 1, 8), ("Fall", 9, 8)]


def lattice_scene():
    """A lattice whose points are keyed (an action of the lattice's data)."""
    plane = grid("Plane")
    data = bpy.data.lattices.new("Cage")
    data.points_u = data.points_v = 3
    data.points_w = 1
    cage = bpy.data.objects.new("Cage", data)
    cage.scale = (2.5, 2.5, 1)
    bpy.context.scene.collection.objects.link(cage)
    plane.modifiers.new("Lattice", 'LATTICE').object = cage
    data.animation_data_create()
    data.animation_data.action = bpy.data.actions.new("Bulge")
    centre = data.points[4]
    for frame, height in ((1, 0.0), (7, 0.8), (12, -0.3)):
        centre.co_deform = (0, 0, height)
        centre.keyframe_insert("co_deform", frame=frame)
    return [plane], [("Bulge", 1, 12)]


def cloth_scene():
    """A cloth falling on a sphere-less floor: physics, baked."""
    plane = grid("Cloth", cuts=8)
    plane.location.z = 1
    cloth = plane.modifiers.new("Cloth", 'CLOTH')
    cloth.settings.quality = 2
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 12
    cloth.point_cache.frame_start, cloth.point_cache.frame_end = 1, 12
    with bpy.context.temp_override(scene=scene, point_cache=cloth.point_cache):
        bpy.ops.ptcache.bake(bake=True)
    return [plane], [("Scene", 1, 12)]


def nodes_scene():
    """Geometry nodes: Set Position offset by the scene's frame."""
    plane = grid("Plane")
    tree = bpy.data.node_groups.new("Rise", 'GeometryNodeTree')
    tree.inputs.new('NodeSocketGeometry', "Geometry")
    tree.outputs.new('NodeSocketGeometry', "Geometry")
    nodes, links = tree.nodes, tree.links
    into, out = nodes.new('NodeGroupInput'), nodes.new('NodeGroupOutput')
    move, time = nodes.new('GeometryNodeSetPosition'), nodes.new('GeometryNodeInputSceneTime')
    split, times, lift = nodes.new('ShaderNodeSeparateXYZ'), nodes.new('ShaderNodeMath'), nodes.new('ShaderNodeCombineXYZ')
    times.operation = 'MULTIPLY'
    links.new(into.outputs[0], move.inputs["Geometry"])
    links.new(move.outputs[0], out.inputs[0])
    links.new(nodes.new('GeometryNodeInputPosition').outputs[0], split.inputs[0])
    links.new(split.outputs["X"], times.inputs[0])
    links.new(time.outputs["Seconds"], times.inputs[1])
    links.new(times.outputs[0], lift.inputs["Z"])
    links.new(lift.outputs[0], move.inputs["Offset"])
    plane.modifiers.new("Nodes", 'NODES').node_group = tree
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 10
    return [plane], [("Scene", 1, 10)]


def two_objects_scene():
    """Two meshes, each with its own action, playing together: one clip."""
    left, right = grid("Left", cuts=4, location=(-2, 0, 0)), grid("Right", cuts=4, location=(2, 0, 0))
    keys(left, "rotation_euler", [(1, (0, 0, 0)), (10, (0, 0, 1.2))], "Spin")
    keys(right, "location", [(1, (2, 0, 0)), (16, (2, 0, 1.5))], "Slide")
    return [left, right], [(None, 1, 16)]


def rig_and_prop_scene():
    """A skinned body with its action and a prop with its own: one clip, both moving."""
    rig, tube = skinned_tube()
    rig.animation_data_create()
    rig.animation_data.action = bpy.data.actions.new("Walk")
    bone = rig.pose.bones["Bone1"]
    bone.rotation_mode = 'XYZ'
    for frame, angle in ((1, 0.0), (20, 1.0)):
        bone.rotation_euler = (angle, 0, 0)
        bone.keyframe_insert("rotation_euler", frame=frame)
    prop = grid("Prop", cuts=2, size=0.5, location=(1, 0, 0))
    keys(prop, "location", [(1, (1, 0, 0)), (20, (1, 0, 2))], "PropBob")
    return [prop, tube], [(None, 1, 20)]


def ik_scene():
    """IK to an empty with keys, on a rig with no action: the empty's action is the clip."""
    rig, tube = skinned_tube()
    target = bpy.data.objects.new("Target", None)
    bpy.context.scene.collection.objects.link(target)
    ik = rig.pose.bones["Bone1"].constraints.new('IK')
    ik.target, ik.chain_count = target, 2
    keys(target, "location", [(1, (0, 0, 2)), (16, (1.2, 0.3, 1.2))], "Reach")
    return [tube], [("Reach", 1, 16)]


SCENES = [("wave", wave_scene), ("lattice", lattice_scene), ("cloth", cloth_scene), ("nodes", nodes_scene),
          ("two objects", two_objects_scene), ("rig and prop", rig_and_prop_scene), ("IK", ik_scene)]


def positions(objects, frame):
    """Blender's evaluated meshes of the objects at that frame, world space, in the axes of the animation file."""
    bpy.context.scene.frame_set(frame)
    depsgraph = bpy.context.evaluated_depsgraph_get()
    points = []
    for obj in objects:
        evaluated = obj.evaluated_get(depsgraph)
        mesh = evaluated.to_mesh()
        points += [(p.x, -p.y, p.z) for p in (evaluated.matrix_world @ v.co for v in mesh.vertices)]
        evaluated.to_mesh_clear()
    return points


def measure(label, build):
    clear_scene()
    bpy.context.scene.timeline_markers.clear()
    objects, expected = build()
    folder = os.path.join(WORK, "motion-" + label.replace(" ", "-"))
    os.makedirs(folder, exist_ok=True)
    base = os.path.join(folder, "Motion")
    try:
        result = bpy.ops.export_scene.vantrel_mesh(filepath=base + ".3D")
    except RuntimeError as error:
        result = str(error)
    if not check(result == {'FINISHED'}, "%s: the export did not finish: %s" % (label, result)):
        return math.inf
    import vantrel_export
    check(not [line for level, line in vantrel_export.last_report if level != 'INFO'],
          "%s: warnings %s" % (label, vantrel_export.last_report))
    sequences = sequence_lines(read_outputs(base)[1], "Motion")
    got = [(name if want is None else name, length) for (name, _, length), (want, _, _) in zip(sequences, expected)]
    if not check(got == [(name if want is None else want, length) for (name, _, _), (want, _, length)
                         in zip(sequences, expected)] and len(sequences) == len(expected),
                 "%s: sequences %s, expected %s" % (label, sequences, expected)):
        return math.inf
    poses = {name: (lambda k, first=first: positions(objects, first + k))
             for (name, _, _), (_, first, _) in zip(sequences, expected)}
    return worst_error(label, base, poses, 1.0, sequences[0][0], every=True)


def export_report(label):
    """The add-on's export of the scene: its result (or error text) and report lines."""
    import vantrel_export
    folder = os.path.join(WORK, "motion-" + label)
    os.makedirs(folder, exist_ok=True)
    try:
        result = bpy.ops.export_scene.vantrel_mesh(filepath=os.path.join(folder, "Motion.3D"))
    except RuntimeError as error:
        result = str(error)
    return result, " | ".join(line for _, line in vantrel_export.last_report)


def report_checks():
    """A mesh whose vertices change is refused, naming it and the frame; the
    report names what is left out and why, and a clip during which nothing moves."""
    clear_scene()
    plane = grid("Plane", cuts=4)
    plane.modifiers.new("Build", 'BUILD').frame_duration = 10
    keys(plane, "location", [(1, (0, 0, 0)), (12, (0, 0, 1))], "Lift")
    result, _ = export_report("topology")
    check(isinstance(result, str) and "Plane has" in result and "at frame 2 of Lift" in result
          and "apply the modifier" in result, "topology: %s" % result)

    clear_scene()
    plane = grid("Plane", cuts=4)
    keys(plane, "location", [(1, (0, 0, 0)), (12, (0, 0, 0))], "Hold")
    camera = bpy.data.objects.new("Camera", bpy.data.cameras.new("Camera"))
    bpy.context.scene.collection.objects.link(camera)
    keys(camera, "location", [(1, (0, -5, 0)), (12, (1, -5, 0))], "Orbit")
    result, report = export_report("report")
    check(result == {'FINISHED'}, "report: %s" % result)
    for needle in ("Exported", "Plane", "Clip Hold (Plane: Hold, frames 1-12)", "Nothing moves during this clip: Hold",
                   "action Orbit (animates nothing exported"):
        check(needle in report, "report: no %r in %r" % (needle, report))


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP)
    addon_utils.enable("vantrel_export", default_set=True, handle_error=None)
    for label, build in SCENES:
        worst = measure(label, build)
        print("%-14s worst error %.3f steps" % (label, worst))
        check(worst < STEP_TOLERANCE, "%s: decoded positions off Blender's by more than 1.5 steps" % label)
    report_checks()
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("All motion checks passed")


if __name__ == "__main__":
    main()
