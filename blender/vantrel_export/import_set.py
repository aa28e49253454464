# File > Import > Vantrel mesh (.3D): vantrel-view writes the set as a glTF
# file, Blender's own glTF importer reads it, and the actions take the
# sequences' names. The frames come as shape keys (a small set: File > Export
# takes them back), or in a point cache beside the set that a Mesh Cache
# modifier plays, one action per sequence driving its frame (a big set:
# thousands of shape keys take minutes and gigabytes).

import json
import os
import shutil
import struct
import subprocess
import tempfile

import bpy
from bpy.props import EnumProperty, StringProperty
from bpy_extras.io_utils import ImportHelper

VIEW_TOOL = "vantrel-view"
# Automatic takes shape keys up to this many frames, a point cache past it.
SHAPE_KEY_FRAMES = 400
CACHE_MODIFIER = "Vantrel frames"
CACHE_SUFFIX = "_frames.pc2"
SET_SUFFIXES = ("_d.3d", "_a.3d", ".uc", ".3d")


def find_view_tool(context):
    """vantrel-view beside the vantrel-export the preferences name, else the one on PATH."""
    addon = context.preferences.addons.get(__package__)
    chosen = bpy.path.abspath(addon.preferences.tool_path) if addon and addon.preferences.tool_path else ""
    if chosen:
        beside = os.path.join(os.path.dirname(chosen), VIEW_TOOL + (".exe" if chosen.endswith(".exe") else ""))
        if os.path.isfile(beside) and os.access(beside, os.X_OK):
            return beside
    return shutil.which(VIEW_TOOL)


def restore_numpy_bool():
    """Blender 3.4's glTF importer calls numpy.bool, which numpy 1.24 removed;
    the alias is put back only where it is missing."""
    import numpy
    if "bool" not in numpy.__dict__:
        numpy.bool = bool


def glb_json(path):
    """The JSON chunk of a glTF binary file."""
    with open(path, "rb") as file:
        header = file.read(20)
        length, kind = struct.unpack_from("<II", header, 12)
        if header[:4] != b"glTF" or kind != 0x4E4F534A:
            raise ValueError("not a glTF binary file")
        return json.loads(file.read(length))


def set_base(path):
    """The set's path without its file's ending: Totem for Totem_d.3d, Totem.uc or Totem.3D."""
    for suffix in SET_SUFFIXES:
        if path.lower().endswith(suffix):
            return path[:-len(suffix)]
    return path


def set_frames(base):
    """The frames the set's animation file's header counts, 0 when it is not found."""
    folder, name = os.path.split(base)
    try:
        wanted = (name + "_a.3d").lower()
        found = [entry for entry in os.listdir(folder or ".") if entry.lower() == wanted]
        with open(os.path.join(folder, sorted(found)[0]), "rb") as file:
            header = file.read(4)
    except (OSError, IndexError):
        return 0
    return struct.unpack("<H", header[:2])[0] if len(header) == 4 else 0


def stored_path(path):
    """The path as the .blend keeps it: relative to a saved .blend ("//"), else absolute."""
    if bpy.data.filepath:
        try:
            return bpy.path.relpath(path)
        except ValueError:  # another drive
            pass
    return path


def play_from_cache(obj, cache, sequences, scene_rate):
    """A Mesh Cache modifier on the point cache vantrel-view wrote (Y up, the
    glTF file's vertices in its order, point cache frame k the set's frame k),
    and one action per sequence stepping its frame: scene frame f shows the
    sequence's frame f x rate / scene rate, to the nearest, from its first."""
    modifier = obj.modifiers.new(CACHE_MODIFIER, 'MESH_CACHE')
    modifier.cache_format = 'PC2'
    modifier.filepath = stored_path(cache)
    modifier.deform_mode = 'OVERWRITE'
    modifier.interpolation = 'NONE'
    # Blender's (x, y, z) from the cache's Y up, as the glTF importer turns the
    # mesh: (x, -z, y). The modifier names the cache axes Blender's Y and Z go to.
    modifier.forward_axis, modifier.up_axis = 'POS_Z', 'NEG_Y'
    modifier.play_mode, modifier.time_mode = 'CUSTOM', 'FRAME'
    data_path = 'modifiers["%s"].eval_frame' % CACHE_MODIFIER
    obj.animation_data_create()
    actions = []
    for sequence in sequences:
        first, last = sequence["firstFrame"], sequence["firstFrame"] + sequence["frames"] - 1
        end = (last - first) * scene_rate / sequence["rate"]
        action = bpy.data.actions.new(sequence["name"])
        action.id_root = 'OBJECT'
        action.use_fake_user = True  # kept when no object plays it
        curve = action.fcurves.new(data_path)
        keys = [(0.0, float(first))] + ([(end, float(last))] if last > first else [])
        curve.keyframe_points.add(len(keys))
        curve.keyframe_points.foreach_set("co", [c for key in keys for c in key])
        for point in curve.keyframe_points:
            point.interpolation = 'LINEAR'
        curve.update()
        action.use_frame_range = True
        action.frame_start, action.frame_end = 0.0, max(end, 0.0)
        actions.append(action)
    if actions:
        obj.animation_data.action = actions[0]
    return actions


def cache_points(path):
    """The points of a PC2 file's header, 0 when it is not one."""
    with open(path, "rb") as file:
        header = file.read(32)
    return struct.unpack_from("<i", header, 16)[0] if len(header) == 32 and header[:12] == b"POINTCACHE2\0" else 0


def name_actions(before, sequences):
    """Blender's importer names an action after its animation and the object
    or shape keys it moves; the actions made here take the sequence's name."""
    names = [sequence["name"] for sequence in sequences]
    made = [action for action in bpy.data.actions if action not in before]
    for name in sorted(names, key=len, reverse=True):
        for action in made:
            if action.name == name or action.name.startswith(name + "_"):
                made.remove(action)
                action.name = name
                action.use_fake_user = True  # kept when no object plays it
                break


def prepare_export_back(context, meshes, options, sequences):
    """The scene made ready for File > Export > Vantrel mesh to give the set
    back: faces smooth (the engine lights a mesh by its vertex normals, and
    Blender's glTF exporter then writes each vertex once, not once a face),
    the clips the way back names chosen in its order and the other sequences
    not, and its scale and welding kept for the export to take."""
    for obj in meshes:
        obj.data.polygons.foreach_set("use_smooth", [True] * len(obj.data.polygons))
        obj.data.update()
    scene = context.scene
    scene["vantrel_weld"] = "--no-weld" not in options
    if "--scale" in options[:-1]:
        scene["vantrel_scale"] = float(options[options.index("--scale") + 1])
    chosen = [options[i + 1] for i in range(len(options) - 1) if options[i] == "--clip"]
    clips = scene.vantrel_clips
    for index in reversed(range(len(clips))):
        if clips[index].name in chosen or any(clips[index].name == s["name"] for s in sequences):
            clips.remove(index)
    for name in chosen + [s["name"] for s in sequences if s["name"] not in chosen]:
        if not any(clip.name == name for clip in clips):
            clip = clips.add()
            clip.name, clip.use = name, name in chosen


class ImportVantrelMesh(bpy.types.Operator, ImportHelper):
    """Import a Vantrel vertex-animated mesh (_d.3d, _a.3d, .uc and its textures)"""
    bl_idname = "import_mesh.vantrel"
    bl_label = "Import Vantrel mesh"
    bl_options = {'UNDO', 'PRESET'}

    filename_ext = ".3d"
    filter_glob: StringProperty(default="*.3d;*.3D;*.uc", options={'HIDDEN'})
    frames: EnumProperty(
        name="Frames",
        items=(('AUTO', "Automatic", "Shape keys up to %d frames, else a point cache" % SHAPE_KEY_FRAMES),
               ('SHAPE_KEYS', "Shape keys", "A shape key for each distinct frame, an action per sequence: "
                "File > Export > Vantrel mesh takes them back (slow and large past a few hundred frames)"),
               ('POINT_CACHE', "Point cache", "Every frame in NAME" + CACHE_SUFFIX + ", played by a Mesh Cache "
                "modifier, an action per sequence stepping its frame: fast for thousands of frames")),
        default='AUTO')
    cache_folder: StringProperty(
        name="Cache Folder", subtype='DIR_PATH',
        description="Where the point cache is written (the .blend reads it from there): the set's folder when empty")

    def execute(self, context):
        tool = find_view_tool(context)
        if not tool:
            self.report({'ERROR'}, VIEW_TOOL + " was not found beside vantrel-export or on PATH")
            return {'CANCELLED'}
        source = os.path.abspath(bpy.path.abspath(self.filepath))
        use_cache = self.frames == 'POINT_CACHE' or (self.frames == 'AUTO' and
                                                     set_frames(set_base(source)) > SHAPE_KEY_FRAMES)
        cache = None
        if use_cache:
            where = bpy.path.abspath(self.cache_folder) if self.cache_folder else os.path.dirname(source)
            cache = os.path.join(os.path.abspath(where), os.path.basename(set_base(source)) + CACHE_SUFFIX)
            if not os.path.isdir(os.path.dirname(cache)):
                self.report({'ERROR'}, "the cache folder %s does not exist" % os.path.dirname(cache))
                return {'CANCELLED'}
        folder = tempfile.mkdtemp(prefix="vantrel-")
        try:
            model = os.path.join(folder, "set.glb")
            command = [tool, source, "--gltf", model] + (["--point-cache", cache] if cache else [])
            try:
                run = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
            except OSError as error:
                self.report({'ERROR'}, "%s could not be run: %s" % (tool, error))
                return {'CANCELLED'}
            if run.returncode != 0 or not os.path.isfile(model):
                reason = run.stderr.strip().replace(VIEW_TOOL + ": ", "") or "exit status %d" % run.returncode
                if cache and cache in reason:
                    reason += " (choose a Cache Folder that can be written to)"
                self.report({'ERROR'}, VIEW_TOOL + " failed: " + reason)
                return {'CANCELLED'}
            extras = glb_json(model).get("extras", {})
            sequences = extras.get("vantrelSequences", [])
            # Frame k of a sequence then lands on the scene's frame k.
            if sequences:
                context.scene.render.fps = max(1, round(sequences[0]["rate"]))
                context.scene.render.fps_base = context.scene.render.fps / sequences[0]["rate"]
            restore_numpy_bool()
            before, objects_before = set(bpy.data.actions), set(bpy.data.objects)
            try:
                bpy.ops.import_scene.gltf(filepath=model)
            except (RuntimeError, TypeError, AttributeError) as error:
                self.report({'ERROR'}, "Blender's glTF import failed: %s" % error)
                return {'CANCELLED'}
            meshes = [o for o in bpy.data.objects if o not in objects_before and o.type == 'MESH']
            options = extras.get("vantrelExportOptions", [])
            if cache:
                points = cache_points(cache)
                if len(meshes) != 1 or len(meshes[0].data.vertices) != points:
                    # The cache would move the wrong vertices: nothing of this import stays.
                    self.report({'ERROR'}, "the imported mesh has %s vertices, the point cache %d points" %
                                ("+".join(str(len(o.data.vertices)) for o in meshes) or "no", points))
                    for obj in [o for o in bpy.data.objects if o not in objects_before]:
                        bpy.data.objects.remove(obj)
                    os.remove(cache)
                    return {'CANCELLED'}
                play_from_cache(meshes[0], cache, sequences, sequences[0]["rate"] if sequences else 30)
                # The export takes shape keys, not the cache: only the mesh's own options apply.
                options = [o for i, o in enumerate(options) if o != "--clip" and (i == 0 or options[i - 1] != "--clip")]
                prepare_export_back(context, meshes, options, [])
            else:
                name_actions(before, sequences)
                prepare_export_back(context, meshes, options, sequences)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

        for line in run.stdout.splitlines():
            line = line.strip()
            # With a cache, the glTF file's way back to a set is not the user's
            # (vantrel-export reads the set itself): what it would change is moot.
            moot = cache and line.startswith("differs: ") and "export" in line
            if (line.startswith("problem: ") or line.startswith("differs: ")) and not moot:
                self.report({'WARNING'}, line)
        if sequences:
            last = sequences[0]["frames"] - 1
            context.scene.frame_start, context.scene.frame_end = 0, max(0, last)
        if cache:
            self.report({'INFO'}, "Imported %s (%d sequences); its frames are in %s, which the .blend reads: keep it "
                        "with the .blend (vantrel-export %s makes the set again)" %
                        (os.path.basename(source), len(sequences), cache, os.path.basename(source)))
            return {'FINISHED'}
        options = " ".join(extras.get("vantrelExportOptions", []))
        self.report({'INFO'}, "Imported %s (%d sequences); export it back with %s" %
                    (os.path.basename(source), len(sequences), options or "the default options"))
        return {'FINISHED'}


def menu_func_import(self, context):
    self.layout.operator(ImportVantrelMesh.bl_idname, text="Vantrel mesh (.3D)")


def register():
    bpy.utils.register_class(ImportVantrelMesh)
    bpy.types.TOPBAR_MT_file_import.append(menu_func_import)


def unregister():
    bpy.types.TOPBAR_MT_file_import.remove(menu_func_import)
    bpy.utils.unregister_class(ImportVantrelMesh)
