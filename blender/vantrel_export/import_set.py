# File > Import > Vantrel mesh (.3D): vantrel-view writes the set as a glTF
# file, Blender's own glTF importer reads it, and the actions take the
# sequences' names.

import json
import os
import shutil
import struct
import subprocess
import tempfile

import bpy
from bpy.props import StringProperty
from bpy_extras.io_utils import ImportHelper

VIEW_TOOL = "vantrel-view"


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

    def execute(self, context):
        tool = find_view_tool(context)
        if not tool:
            self.report({'ERROR'}, VIEW_TOOL + " was not found beside vantrel-export or on PATH")
            return {'CANCELLED'}
        source = os.path.abspath(bpy.path.abspath(self.filepath))
        folder = tempfile.mkdtemp(prefix="vantrel-")
        try:
            model = os.path.join(folder, "set.glb")
            try:
                run = subprocess.run([tool, source, "--gltf", model], capture_output=True, text=True,
                                     stdin=subprocess.DEVNULL)
            except OSError as error:
                self.report({'ERROR'}, "%s could not be run: %s" % (tool, error))
                return {'CANCELLED'}
            if run.returncode != 0 or not os.path.isfile(model):
                reason = run.stderr.strip().replace(VIEW_TOOL + ": ", "") or "exit status %d" % run.returncode
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
            name_actions(before, sequences)
            prepare_export_back(context, [o for o in bpy.data.objects if o not in objects_before and o.type == 'MESH'],
                                extras.get("vantrelExportOptions", []), sequences)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

        for line in run.stdout.splitlines():
            line = line.strip()
            if line.startswith("problem: ") or line.startswith("differs: "):
                self.report({'WARNING'}, line)
        if sequences:
            last = sequences[0]["frames"] - 1
            context.scene.frame_start, context.scene.frame_end = 0, max(0, last)
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
