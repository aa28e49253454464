# File > Export > Vantrel mesh (.3D): the scene or the selection through
# Blender's own glTF exporter, then vantrel-export on the temporary file.

bl_info = {
    "name": "Vantrel mesh export",
    "author": "Vantrel export developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Export > Vantrel mesh (.3D), File > Import > Vantrel mesh (.3D)",
    "description": "Exports skinned, animated meshes as Vantrel vertex-animated meshes (_d.3d, _a.3d, .uc)",
    "category": "Import-Export",
}

import json
import os
import re
import shutil
import struct
import subprocess
import tempfile

import bpy
from bpy.props import BoolProperty, EnumProperty, FloatProperty, IntProperty, StringProperty
from bpy_extras.io_utils import ExportHelper

from . import import_set

TOOL_NAME = "vantrel-export"
WARNING_PREFIX = TOOL_NAME + ": warning: "
ERROR_PREFIX = TOOL_NAME + ": "


class VantrelExportPreferences(bpy.types.AddonPreferences):
    bl_idname = __package__

    tool_path: StringProperty(
        name="vantrel-export",
        description="The vantrel-export program; when empty, the one found on PATH",
        subtype='FILE_PATH',
    )

    def draw(self, context):
        self.layout.prop(self, "tool_path")
        found = find_tool(context)
        self.layout.label(text="Using: " + found if found else "Not found: set the path above or put it on PATH",
                          icon='CHECKMARK' if found else 'ERROR')


def find_tool(context):
    """The program set in the preferences when it is one, else the one on PATH; None when neither."""
    addon = context.preferences.addons.get(__package__)
    chosen = bpy.path.abspath(addon.preferences.tool_path) if addon and addon.preferences.tool_path else ""
    if chosen:
        return chosen if os.path.isfile(chosen) and os.access(chosen, os.X_OK) else None
    return shutil.which(TOOL_NAME)


_options_seen = {}


def tool_options(tool):
    """The options the tool's --help lists: newer tools offer more (--bake, --preview, --no-weld...)."""
    try:
        stamp = (tool, os.stat(tool).st_mtime_ns)
    except OSError:
        return set()
    if stamp not in _options_seen:
        try:
            text = subprocess.run([tool, "--help"], capture_output=True, text=True, timeout=30).stdout
        except (OSError, subprocess.SubprocessError):
            text = ""
        _options_seen[stamp] = set(re.findall(r"--[a-z][a-z-]*", text))
    return _options_seen[stamp]


def slide_clips_to_zero(glb_path):
    """Moves every animation of a .glb so that it starts at time 0.

    Blender's glTF exporter keeps an action's frame numbers as times (frame 1 at
    1/fps) unless told otherwise, and older versions cannot be told; the tool
    plays a clip from time 0, so a clip would gain still frames at its start.
    """
    with open(glb_path, "rb") as file:
        data = bytearray(file.read())
    json_length, json_type = struct.unpack_from("<II", data, 12)
    if json_type != 0x4E4F534A:  # 'JSON'
        return
    gltf = json.loads(data[20:20 + json_length])
    binary = data[20 + json_length + 8:]
    accessors = gltf.get("accessors", [])
    views = gltf.get("bufferViews", [])
    moved = set()
    for animation in gltf.get("animations", []):
        inputs = {sampler["input"] for sampler in animation.get("samplers", [])} - moved
        if not inputs:
            continue
        start = min(accessors[i]["min"][0] for i in inputs)
        if start == 0:
            continue
        for i in inputs:
            accessor = accessors[i]
            view = views[accessor["bufferView"]]
            offset = view.get("byteOffset", 0) + accessor.get("byteOffset", 0)
            count = accessor["count"]
            times = struct.unpack_from("<%df" % count, binary, offset)
            struct.pack_into("<%df" % count, binary, offset, *(t - start for t in times))
            accessor["min"] = [accessor["min"][0] - start]
            accessor["max"] = [accessor["max"][0] - start]
        moved |= inputs
    if not moved:
        return
    text = json.dumps(gltf, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 4)
    out = bytearray(data[:12])
    out += struct.pack("<II", len(text), json_type) + text
    out += data[20 + json_length:20 + json_length + 8] + binary
    struct.pack_into("<I", out, 8, len(out))
    with open(glb_path, "wb") as file:
        file.write(out)


def export_gltf(context, path, operator):
    """Blender's glTF exporter with every action (or NLA track) a clip of its own, over its whole length."""
    offered = bpy.ops.export_scene.gltf.get_rna_type().properties.keys()
    settings = {
        "filepath": path,
        "export_format": 'GLB',
        "use_selection": operator.use_selection,
        "export_apply": operator.apply_modifiers,
        "export_animations": True,
        "export_frame_range": False,
        "export_force_sampling": True,
        "export_frame_step": 1,
        "export_skins": True,
        "export_all_influences": True,
        "export_morph": True,
        "export_anim_slide_to_zero": True,
        "export_cameras": False,
        "export_lights": False,
    }
    if "export_animation_mode" in offered:  # Blender 3.6 and later
        settings["export_animation_mode"] = operator.clips_from
    else:
        settings["export_nla_strips"] = True
        settings["export_anim_single_armature"] = operator.clips_from == 'ACTIONS'
    bpy.ops.export_scene.gltf(**{key: value for key, value in settings.items() if key in offered})
    slide_clips_to_zero(path)


class ExportVantrelMesh(bpy.types.Operator, ExportHelper):
    """Export the scene or the selection as a Vantrel vertex-animated mesh"""

    bl_idname = "export_scene.vantrel_mesh"
    bl_label = "Export Vantrel Mesh"
    bl_options = {'PRESET'}

    filename_ext = ".3D"
    filter_glob: StringProperty(default="*.3D;*.3d", options={'HIDDEN'})

    use_selection: BoolProperty(name="Selected Only", description="Export the selected objects only", default=False)
    apply_modifiers: BoolProperty(name="Apply Modifiers", description="Apply modifiers other than the armature's",
                                  default=False)
    scale: FloatProperty(name="Scale", description="Multiply every position", default=1.0, min=1e-6, soft_max=1000.0)
    clips_from: EnumProperty(
        name="Clips",
        items=[('ACTIONS', "Actions", "Each action is a clip (a sequence of the mesh)"),
               ('NLA_TRACKS', "NLA Tracks", "Each NLA track is a clip")],
        default='ACTIONS')
    all_clips: BoolProperty(name="All Clips", description="Export every clip, end to end; else the one named below",
                            default=True)
    clip: StringProperty(name="Clip", description="The one clip to export (an action's or NLA track's name)")
    bake: EnumProperty(
        name="Bake",
        items=[('exact', "Exact", "Every vertex where Blender puts it, every bone influence"),
               ('host', "Host", "Every vertex on its heaviest bone, as the modelling host would")],
        default='exact')
    weld: BoolProperty(name="Weld", description="Merge vertices the format cannot tell apart", default=True)
    simplify: EnumProperty(
        name="Simplify",
        items=[('NONE', "None", "Keep every triangle"),
               ('FIT', "Fit", "Reduce to what the format holds"),
               ('TRIANGLES', "Triangles", "Reduce to at most the number of triangles below")],
        default='NONE')
    triangles: IntProperty(name="Triangles", description="Triangles at most", default=5000, min=1)
    preview: BoolProperty(name="Preview", description="Also write a preview page (NAME.html)", default=False)

    def draw(self, context):
        layout = self.layout
        tool = find_tool(context)
        offered = tool_options(tool) if tool else set()
        layout.prop(self, "use_selection")
        layout.prop(self, "apply_modifiers")
        layout.prop(self, "scale")
        layout.prop(self, "clips_from")
        layout.prop(self, "all_clips")
        row = layout.row()
        row.active = not self.all_clips
        if self.clips_from == 'ACTIONS':
            row.prop_search(self, "clip", bpy.data, "actions")
        else:
            row.prop(self, "clip")
        for name, option in (("bake", "--bake"), ("weld", "--no-weld"), ("simplify", "--simplify"),
                             ("preview", "--preview")):
            row = layout.row()
            row.active = option in offered
            row.prop(self, name)
            if name == "simplify" and self.simplify == 'TRIANGLES':
                row.prop(self, "triangles", text="")
        if not tool:
            layout.label(text=TOOL_NAME + " not found", icon='ERROR')

    def tool_arguments(self, context, offered):
        """The command line for this export, and warnings about choices the tool cannot honour."""
        render = context.scene.render
        arguments = ["--fps", "%.9g" % (render.fps / render.fps_base), "--scale", "%.9g" % self.scale]
        warnings = []
        if not self.all_clips:
            arguments += ["--clip", self.clip]
        if "--bake" in offered:
            arguments += ["--bake", self.bake]
        elif self.bake == 'exact':
            warnings.append("This " + TOOL_NAME + " has no exact bake: every vertex follows its heaviest bone only")
        if "--no-weld" in offered and not self.weld:
            arguments.append("--no-weld")
        if self.simplify != 'NONE':
            if "--simplify" not in offered:
                warnings.append("This " + TOOL_NAME + " cannot simplify: every triangle is exported")
            else:
                arguments += ["--fit"] if self.simplify == 'FIT' else ["--simplify", str(self.triangles)]
        if self.preview:
            if "--preview" in offered:
                arguments.append("--preview")
            else:
                warnings.append("This " + TOOL_NAME + " cannot write a preview page")
        return arguments, warnings

    def execute(self, context):
        tool = find_tool(context)
        if not tool:
            self.report({'ERROR'}, TOOL_NAME + " was not found: set it in the add-on's preferences or put it on PATH")
            return {'CANCELLED'}
        if not self.all_clips and not self.clip:
            self.report({'ERROR'}, "Name the clip to export, or export all clips")
            return {'CANCELLED'}
        destination = os.path.abspath(bpy.path.abspath(self.filepath))
        if not os.path.isdir(os.path.dirname(destination)):
            self.report({'ERROR'}, "The folder %s does not exist" % os.path.dirname(destination))
            return {'CANCELLED'}
        arguments, warnings = self.tool_arguments(context, tool_options(tool))
        folder = tempfile.mkdtemp(prefix="vantrel-")
        try:
            model = os.path.join(folder, "scene.glb")
            try:
                export_gltf(context, model, self)
            except (RuntimeError, TypeError) as error:
                self.report({'ERROR'}, "Blender's glTF export failed: %s" % error)
                return {'CANCELLED'}
            # The tool writes its log into the current folder: beside the outputs.
            try:
                run = subprocess.run([tool, model, destination] + arguments, cwd=os.path.dirname(destination),
                                     capture_output=True, text=True, stdin=subprocess.DEVNULL)
            except OSError as error:
                self.report({'ERROR'}, "%s could not be run: %s" % (tool, error))
                return {'CANCELLED'}
        finally:
            shutil.rmtree(folder, ignore_errors=True)

        problems = []
        # The temporary file is gone and means nothing to the user: the tool's
        # messages speak of the scene.
        for line in run.stderr.replace(model + ": ", "").splitlines():
            if line.startswith(WARNING_PREFIX):
                warnings.append(line[len(WARNING_PREFIX):])
            elif line.strip():
                problems.append(line[len(ERROR_PREFIX):] if line.startswith(ERROR_PREFIX) else line)
        for warning in warnings:
            self.report({'WARNING'}, warning)
        if run.returncode != 0:
            reason = "; ".join(problems) or "exit status %d" % run.returncode
            self.report({'ERROR'}, TOOL_NAME + " failed: " + reason)
            return {'CANCELLED'}
        self.report({'INFO'}, "Exported " + os.path.splitext(destination)[0] + " (_d.3d, _a.3d, .uc)")
        return {'FINISHED'}


def menu_func_export(self, context):
    self.layout.operator(ExportVantrelMesh.bl_idname, text="Vantrel mesh (.3D)")


classes = (VantrelExportPreferences, ExportVantrelMesh)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_export.append(menu_func_export)
    import_set.register()


def unregister():
    import_set.unregister()
    bpy.types.TOPBAR_MT_file_export.remove(menu_func_export)
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
