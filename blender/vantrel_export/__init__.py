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

import contextlib
import functools
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile
import webbrowser

import bpy
from bpy.props import BoolProperty, CollectionProperty, EnumProperty, FloatProperty, IntProperty, StringProperty
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


# --- Takes: the actions that animate what is exported, one clip per take ---

BONE_PATH = re.compile(r'^pose\.bones\["((?:[^"\\]|\\.)*)"\]')
SHAPE_KEY_PATH = re.compile(r'^key_blocks\["((?:[^"\\]|\\.)*)"\]')


def action_fcurves(action):
    """The action's F-curves; Blender 4.4 and later keep them in layers, slot by slot."""
    if getattr(action, "layers", None):
        return [fcurve for layer in action.layers for strip in layer.strips for bag in strip.channelbags
                for fcurve in bag.fcurves]
    return list(action.fcurves)


def driven_names(action, pattern):
    """The bones (or shape keys) the action's F-curves drive, by name."""
    names = set()
    for fcurve in action_fcurves(action):
        match = pattern.match(fcurve.data_path)
        if match:
            names.add(match.group(1).replace('\\"', '"').replace("\\\\", "\\"))
    return names


def users_of(action, owners):
    """The owners whose active action, NLA strips or stash hold the action."""
    found = set()
    for owner in owners:
        data = owner.animation_data
        if data and (data.action == action or any(strip.action == action for track in data.nla_tracks
                                                  for strip in track.strips)):
            found.add(owner)
    return found


def owner_of(action, owners, targets_of):
    """The owner (an armature object, or a mesh's shape keys) an action animates:
    the one whose bones or shape keys it drives, preferring the one that holds
    it, then the one whose name the action starts with (as the FBX importer
    names them), then the one it drives most of."""
    pattern = BONE_PATH if action.id_root != 'KEY' else SHAPE_KEY_PATH
    driven = driven_names(action, pattern)
    if not driven and action.id_root in ('', 'NONE'):
        pattern, driven = SHAPE_KEY_PATH, driven_names(action, SHAPE_KEY_PATH)
    candidates = [owner for owner in owners if isinstance(owner, bpy.types.Key) == (pattern is SHAPE_KEY_PATH)
                  and driven & targets_of[owner]]
    if not candidates:
        return None
    holding = users_of(action, candidates)
    return max(candidates, key=lambda owner: (owner in holding, action.name.startswith(owner.name + "|"),
                                              len(driven & targets_of[owner])))


class Take:
    """One clip: the actions that play together, at most one for each owner."""

    def __init__(self, key):
        self.key = key  # the glTF animation's name, and so the name --clip takes
        self.parts = []  # (owner, action)

    @property
    def frames(self):
        start = min(action.frame_range[0] for _, action in self.parts)
        end = max(action.frame_range[1] for _, action in self.parts)
        return int(round(end - start)) + 1

    @property
    def label(self):
        return self.key.split("|")[-1]


def gather_takes(context, use_selection):
    """The takes of the exported armatures (and their meshes' shape keys), in the
    order Blender lists the actions, and the actions left out."""
    objects = [o for o in context.scene.objects if o.select_get() or not use_selection]
    # Without an armature, a mesh's shape keys are its animation (an imported set's frames).
    skinned = any(o.type == 'ARMATURE' for o in objects)
    targets_of = {}
    for obj in objects:
        if obj.type == 'ARMATURE':
            targets_of[obj] = {bone.name for bone in obj.data.bones}
        elif obj.type == 'MESH' and obj.data.shape_keys and (not skinned or any(
                modifier.type == 'ARMATURE' and modifier.object in objects for modifier in obj.modifiers)):
            targets_of[obj.data.shape_keys] = {block.name for block in obj.data.shape_keys.key_blocks}
    owners = list(targets_of)
    takes, left_out = {}, []
    for action in bpy.data.actions:
        owner = owner_of(action, owners, targets_of)
        if owner is None:
            left_out.append(action)
            continue
        # The FBX importer names an action "Owner|Take" (or "Owner|Take|Layer"):
        # one take animating a character and its hat gives "Body|Walk" and
        # "Hat|Walk", one clip.
        key = action.name[len(owner.name) + 1:] if action.name.startswith(owner.name + "|") else action.name
        if any(part_owner == owner for part_owner, _ in takes.get(key, Take(key)).parts):
            key = action.name
        while any(part_owner == owner for part_owner, _ in takes.get(key, Take(key)).parts):
            key += "|"
        takes.setdefault(key, Take(key)).parts.append((owner, action))
    return list(takes.values()), left_out


@contextlib.contextmanager
def takes_as_tracks(takes):
    """Puts each take in an NLA track of its name on each of its owners, the
    only unmuted strips there, with no active action: Blender's glTF exporter
    then writes one animation per take whatever the scene held. The strips
    hold copies, as the exporter makes each action active in turn, which
    would mark an unassigned action as the owner's for good. Everything is put
    back afterwards, also when the export fails halfway."""
    owners = {owner for take in takes for owner, _ in take.parts}
    undo = []
    try:
        copies = {}
        for take in takes:
            for _, action in take.parts:
                copies[action] = action.copy()
                undo.append(functools.partial(bpy.data.actions.remove, copies[action]))
        for owner in owners:
            data = owner.animation_data
            if data is None:
                owner.animation_data_create()
                undo.append(owner.animation_data_clear)
                continue
            # Out of tweak mode first: its action is the strip's, the active one waits behind it.
            tweak, active_track = data.use_tweak_mode, data.nla_tracks.active
            data.use_tweak_mode = False
            undo.append(functools.partial(restore_animation_data, data, data.action, tweak, data.use_nla,
                                          active_track,
                                          [strip.mute for track in data.nla_tracks for strip in track.strips]))
            data.action = None
            for track in data.nla_tracks:
                for strip in track.strips:
                    strip.mute = True
        for take in takes:
            for owner, action in take.parts:
                track = owner.animation_data.nla_tracks.new()
                undo.append(functools.partial(owner.animation_data.nla_tracks.remove, track))
                track.name = take.key
                track.strips.new(take.key, int(action.frame_range[0]), copies[action])
        yield
    finally:
        for step in reversed(undo):
            step()


def restore_animation_data(data, action, tweak, use_nla, active_track, mutes):
    data.action = action
    for strip, mute in zip((strip for track in data.nla_tracks for strip in track.strips), mutes):
        strip.mute = mute
    data.use_nla = use_nla
    # Tweak mode opens the active track's strip: the one that was open.
    data.nla_tracks.active = active_track
    if tweak:
        data.use_tweak_mode = True


def keyed_every_frame(takes):
    """Whether every F-curve of the takes holds a key on every frame or one
    value throughout, on armatures without constraints or drivers, as FBX
    files from most tools and baked actions are: then the tool, sampling the
    same frames, reads Blender's values from the keys themselves, and the glTF
    exporter's own resampling of every bone is time spent for nothing."""
    for take in takes:
        for owner, action in take.parts:
            if owner.animation_data and owner.animation_data.drivers:
                return False
            if isinstance(owner, bpy.types.Object) and any(bone.constraints for bone in owner.pose.bones):
                return False
            for fcurve in action_fcurves(action):
                points = fcurve.keyframe_points
                if len({point.co[1] for point in points}) <= 1:
                    continue
                frames = [point.co[0] for point in points]
                if any(abs(frame - round(frame)) > 1e-3 for frame in frames) or \
                        any(later - earlier > 1.001 for earlier, later in zip(frames, frames[1:])):
                    return False
    return True


def gltf_settings(operator, takes, offered):
    """The glTF exporter's settings: every take a clip of its own, over its
    whole length, or without takes every action (or NLA track) as the exporter
    finds them. Resampling is left out where the keys are samples already.
    Normals stay, though the tool reads none: without them the model reader
    would join more vertices of one place and texture coordinate, whatever
    their bones."""
    settings = {
        "export_format": 'GLB',
        "use_selection": operator.use_selection,
        "export_apply": operator.apply_modifiers,
        "export_animations": True,
        "export_frame_range": False,
        "export_force_sampling": not takes or not keyed_every_frame(takes),
        "export_frame_step": 1,
        "export_skins": True,
        "export_all_influences": True,
        "export_morph": True,
        "export_anim_slide_to_zero": True,
        "export_cameras": False,
        "export_lights": False,
    }
    if "export_animation_mode" in offered:  # Blender 3.6 and later
        settings["export_animation_mode"] = 'NLA_TRACKS' if takes else 'ACTIONS'
    else:
        settings["export_nla_strips"] = True
        settings["export_anim_single_armature"] = not takes
    return {key: value for key, value in settings.items() if key in offered}


def export_gltf(context, path, operator, takes):
    """Blender's glTF exporter on the scene with the takes as its clips."""
    offered = bpy.ops.export_scene.gltf.get_rna_type().properties.keys()
    with takes_as_tracks(takes):
        bpy.ops.export_scene.gltf(filepath=path, **gltf_settings(operator, takes, offered))
    slide_clips_to_zero(path)


# --- The clip list: which takes, in which order, remembered in the file ---

class VantrelClip(bpy.types.PropertyGroup):
    # name: the take's key
    label: StringProperty()
    frames: IntProperty()
    use: BoolProperty(name="Export", description="Export this clip", default=True)


class VANTREL_UL_clips(bpy.types.UIList):
    def draw_item(self, context, layout, data, item, icon, active_data, active_propname, index):
        row = layout.row()
        row.prop(item, "use", text="")
        row.label(text=item.label)
        row.label(text="%d frames" % item.frames)


class VantrelClipMove(bpy.types.Operator):
    """Move the clip up or down the list: the sequences follow the list's order"""

    bl_idname = "export_scene.vantrel_clip_move"
    bl_label = "Move Clip"
    bl_options = {'INTERNAL'}

    direction: EnumProperty(items=[('UP', "Up", ""), ('DOWN', "Down", "")])

    def execute(self, context):
        scene = context.scene
        clips, index = scene.vantrel_clips, scene.vantrel_clip_index
        other = index - 1 if self.direction == 'UP' else index + 1
        if 0 <= index < len(clips) and 0 <= other < len(clips):
            clips.move(index, other)
            scene.vantrel_clip_index = other
        return {'FINISHED'}


def sync_clip_list(scene, takes):
    """The scene's clip list with these takes: those it knew keep their choice
    and place, new ones are added after them, chosen, in Blender's order."""
    clips = scene.vantrel_clips
    keys = {take.key: take for take in takes}
    for index in reversed(range(len(clips))):
        if clips[index].name not in keys:
            clips.remove(index)
    known = {clip.name for clip in clips}
    for take in takes:
        if take.key not in known:
            clips.add().name = take.key
    for clip in clips:
        take = keys[clip.name]
        if clip.label != take.label or clip.frames != take.frames:
            clip.label, clip.frames = take.label, take.frames
    scene.vantrel_clip_index = min(scene.vantrel_clip_index, max(len(clips) - 1, 0))


def draw_clip_list(layout, scene):
    layout.label(text="Clips (%d of %d)" % (sum(clip.use for clip in scene.vantrel_clips), len(scene.vantrel_clips)))
    row = layout.row()
    row.template_list("VANTREL_UL_clips", "", scene, "vantrel_clips", scene, "vantrel_clip_index", rows=4)
    column = row.column(align=True)
    column.operator(VantrelClipMove.bl_idname, icon='TRIA_UP', text="").direction = 'UP'
    column.operator(VantrelClipMove.bl_idname, icon='TRIA_DOWN', text="").direction = 'DOWN'


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
    preview: BoolProperty(name="Preview",
                          description="Also write a preview page (NAME.html) and open it in the browser", default=False)

    def take_imported_options(self, context):
        """A scene File > Import made exports back with the scale and welding its
        set needs, unless chosen otherwise here."""
        for name, kind in (("scale", float), ("weld", bool)):
            if "vantrel_" + name in context.scene and not self.properties.is_property_set(name):
                setattr(self, name, kind(context.scene["vantrel_" + name]))

    def invoke(self, context, event):
        # The list is the scene's: filled before the dialog draws it (drawing cannot change the scene).
        sync_clip_list(context.scene, gather_takes(context, False)[0])
        self.take_imported_options(context)
        return ExportHelper.invoke(self, context, event)

    def draw(self, context):
        layout = self.layout
        tool = find_tool(context)
        offered = tool_options(tool) if tool else set()
        layout.prop(self, "use_selection")
        layout.prop(self, "apply_modifiers")
        layout.prop(self, "scale")
        draw_clip_list(layout, context.scene)
        for name, option in (("bake", "--bake"), ("weld", "--no-weld"), ("simplify", "--simplify"),
                             ("preview", "--preview")):
            row = layout.row()
            row.active = option in offered
            row.prop(self, name)
            if name == "simplify" and self.simplify == 'TRIANGLES':
                row.prop(self, "triangles", text="")
        if not tool:
            layout.label(text=TOOL_NAME + " not found", icon='ERROR')

    def tool_arguments(self, context, offered, clips):
        """The command line for this export, and warnings about choices the tool cannot honour."""
        render = context.scene.render
        arguments = ["--fps", "%.9g" % (render.fps / render.fps_base), "--scale", "%.9g" % self.scale]
        warnings = []
        for clip in clips:
            arguments += ["--clip", clip]
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
        self.take_imported_options(context)
        tool = find_tool(context)
        if not tool:
            self.report({'ERROR'}, TOOL_NAME + " was not found: set it in the add-on's preferences or put it on PATH")
            return {'CANCELLED'}
        destination = os.path.abspath(bpy.path.abspath(self.filepath))
        if not os.path.isdir(os.path.dirname(destination)):
            self.report({'ERROR'}, "The folder %s does not exist" % os.path.dirname(destination))
            return {'CANCELLED'}
        # The list holds the whole scene's takes, so that exporting a selection
        # keeps the choice for the others.
        sync_clip_list(context.scene, gather_takes(context, False)[0])
        takes, left_out = gather_takes(context, self.use_selection)
        exported = {take.key for take in takes}
        chosen = [clip.name for clip in context.scene.vantrel_clips if clip.use and clip.name in exported]
        if takes and not chosen:
            self.report({'ERROR'}, "No clip is chosen: tick at least one in the list of clips")
            return {'CANCELLED'}
        arguments, warnings = self.tool_arguments(context, tool_options(tool), chosen)
        progress = context.window_manager
        progress.progress_begin(0, 3)
        folder = tempfile.mkdtemp(prefix="vantrel-")
        try:
            # Named as the class is: the textures the tool writes are named after the model.
            model = os.path.join(folder, os.path.splitext(os.path.basename(destination))[0] + ".glb")
            progress.progress_update(1)
            try:
                export_gltf(context, model, self, [take for take in takes if take.key in chosen])
            except (RuntimeError, TypeError) as error:
                self.report({'ERROR'}, "Blender's glTF export failed: %s" % error)
                return {'CANCELLED'}
            progress.progress_update(2)
            # The tool writes its log into the current folder: beside the outputs.
            try:
                run = subprocess.run([tool, model, destination] + arguments, cwd=os.path.dirname(destination),
                                     capture_output=True, text=True, stdin=subprocess.DEVNULL)
            except OSError as error:
                self.report({'ERROR'}, "%s could not be run: %s" % (tool, error))
                return {'CANCELLED'}
            progress.progress_update(3)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
            progress.progress_end()

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
        summary = "Exported %s (_d.3d, _a.3d, .uc)" % os.path.splitext(destination)[0]
        if takes:
            summary += ", %d of %d clip(s)" % (len(chosen), len(takes))
        if left_out:
            summary += "; %d action(s) not exported, as they animate no exported armature or shape key: %s" % (
                len(left_out), ", ".join(action.name for action in left_out))
        self.report({'INFO'}, summary)
        if self.preview and "--preview" in arguments:
            open_preview(self, os.path.splitext(destination)[0] + ".html")
        return {'FINISHED'}


def open_preview(operator, page):
    """The preview page in the system's browser; without a screen, only where it is."""
    if not os.path.isfile(page):
        operator.report({'WARNING'}, "The preview page %s was not written" % page)
    elif bpy.app.background or not webbrowser.open(pathlib.Path(page).as_uri()):
        operator.report({'INFO'}, "Preview page: " + page)


def menu_func_export(self, context):
    self.layout.operator(ExportVantrelMesh.bl_idname, text="Vantrel mesh (.3D)")


classes = (VantrelExportPreferences, VantrelClip, VANTREL_UL_clips, VantrelClipMove, ExportVantrelMesh)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.vantrel_clips = CollectionProperty(type=VantrelClip)
    bpy.types.Scene.vantrel_clip_index = IntProperty()
    bpy.types.TOPBAR_MT_file_export.append(menu_func_export)
    import_set.register()


def unregister():
    import_set.unregister()
    bpy.types.TOPBAR_MT_file_export.remove(menu_func_export)
    del bpy.types.Scene.vantrel_clips
    del bpy.types.Scene.vantrel_clip_index
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
