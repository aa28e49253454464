# File > Export > Vantrel mesh (.3D): the scene or the selection as Blender
# evaluates it at every frame of every clip (bake.py), then vantrel-export on
# the rest mesh and point cache written for it.

bl_info = {
    "name": "Vantrel mesh export",
    "author": "Vantrel export developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Export > Vantrel mesh (.3D), File > Import > Vantrel mesh (.3D)",
    "description": "Exports skinned, animated meshes as Vantrel vertex-animated meshes (_d.3d, _a.3d, .uc)",
    "category": "Import-Export",
}

import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import webbrowser

import bpy
from bpy.props import BoolProperty, CollectionProperty, EnumProperty, FloatProperty, IntProperty, StringProperty
from bpy_extras.io_utils import ExportHelper

from . import bake, import_set

TOOL_NAME = "vantrel-export"
WARNING_PREFIX = TOOL_NAME + ": warning: "
ERROR_PREFIX = TOOL_NAME + ": "


class VantrelExportPreferences(bpy.types.AddonPreferences):
    bl_idname = __package__

    tool_path: StringProperty(
        name="vantrel-export",
        description="The vantrel-export program; when empty, the one beside the add-on (the Windows download's), "
                    "else the one found on PATH",
        subtype='FILE_PATH',
    )

    def draw(self, context):
        self.layout.prop(self, "tool_path")
        found = find_tool(context)
        self.layout.label(text="Using: " + found if found else "Not found: set the path above or put it on PATH",
                          icon='CHECKMARK' if found else 'ERROR')


def find_tool(context):
    """The program set in the preferences when it is one, else the one installed with the add-on
    (the Windows download's add-on holds vantrel-export.exe), else the one on PATH; None when none."""
    addon = context.preferences.addons.get(__package__)
    chosen = bpy.path.abspath(addon.preferences.tool_path) if addon and addon.preferences.tool_path else ""
    if chosen:
        return chosen if os.path.isfile(chosen) and os.access(chosen, os.X_OK) else None
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), TOOL_NAME + (".exe" if os.name == "nt" else ""))
    if os.path.isfile(beside) and os.access(beside, os.X_OK):
        return beside
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
            text = subprocess.run([tool, "--help"], capture_output=True, encoding="utf-8", errors="replace",
                                  timeout=30).stdout
        except (OSError, subprocess.SubprocessError):
            text = ""
        _options_seen[stamp] = set(re.findall(r"--[a-z][a-z-]*", text))
    return _options_seen[stamp]



# --- What is exported: the objects Blender evaluates to meshes, and what moves them ---

def exported_objects(context, use_selection):
    """The objects exported, in the scene's order, and (object, why) for those left out."""
    exported, skipped = [], []
    for obj in context.scene.objects:
        if use_selection and not obj.select_get():
            continue
        if obj.type not in bake.GEOMETRY_TYPES:
            continue
        if not obj.visible_get():
            skipped.append((obj, "hidden"))
            continue
        exported.append(obj)
    return exported, skipped


def pointed_objects(holder):
    """The objects a modifier or constraint names (its object, target, curve, lattice...)."""
    found = []
    for prop in holder.bl_rna.properties:
        if prop.type == 'POINTER' and prop.identifier != "rna_type":
            value = getattr(holder, prop.identifier, None)
            if isinstance(value, bpy.types.Object):
                found.append(value)
    for target in getattr(holder, "targets", ()):
        if isinstance(getattr(target, "target", None), bpy.types.Object):
            found.append(target.target)
    return found


def animated_ids(obj):
    """The IDs of an object that actions or drivers animate: itself, its data and its shape keys."""
    ids = [obj]
    data = obj.data
    if data is not None and hasattr(data, "animation_data"):
        ids.append(data)
        keys = getattr(data, "shape_keys", None)
        if keys is not None:
            ids.append(keys)
    return ids


def influencers(objects):
    """The exported objects and every object that moves them: parents, the
    objects their modifiers and constraints (bones' included) name, driver
    targets, and so on, in turn."""
    seen, todo = [], list(objects)
    while todo:
        obj = todo.pop(0)
        if obj in seen:
            continue
        seen.append(obj)
        holders = list(obj.modifiers) + list(obj.constraints)
        if obj.pose:
            holders += [constraint for bone in obj.pose.bones for constraint in bone.constraints]
        for holder in holders:
            todo += pointed_objects(holder)
        if obj.parent:
            todo.append(obj.parent)
        for owner in animated_ids(obj):
            data = owner.animation_data
            for fcurve in data.drivers if data else ():
                for variable in fcurve.driver.variables:
                    todo += [target.id for target in variable.targets if isinstance(target.id, bpy.types.Object)]
    return seen


# Modifiers that move vertices by time or by a cache, whatever the actions.
TIME_MODIFIERS = {'CLOTH', 'SOFT_BODY', 'FLUID', 'DYNAMIC_PAINT', 'OCEAN', 'WAVE', 'NODES', 'MESH_CACHE',
                  'MESH_SEQUENCE_CACHE', 'EXPLODE', 'PARTICLE_SYSTEM', 'COLLISION'}


def moves_without_actions(objects):
    """What moves the objects that no action drives: physics, time-driven
    modifiers and node trees, drivers; a short description, or ""."""
    for obj in objects:
        for modifier in getattr(obj, "modifiers", ()):
            if modifier.type in TIME_MODIFIERS and modifier.type != 'COLLISION':
                return "%s's %s" % (obj.name, modifier.name)
        if obj.rigid_body:
            return "%s's rigid body" % obj.name
        for owner in animated_ids(obj):
            if owner.animation_data and len(owner.animation_data.drivers):
                return "drivers of %s" % owner.name
    return ""


# --- Takes: the actions that animate what is exported, one clip per take ---

BONE_PATH = re.compile(r'^pose\.bones\["((?:[^"\\]|\\.)*)"\]')
SHAPE_KEY_PATH = re.compile(r'^key_blocks\["((?:[^"\\]|\\.)*)"\]')
# NLA tracks named by Blender, not by the animator.
UNNAMED_TRACK = re.compile(r'^(NlaTrack(\.\d+)?|\[Action Stash\])$')


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


def holders_of(action, owners):
    """(owner, NLA track or None) for the owners whose active action or NLA strips hold the action."""
    found = []
    for owner in owners:
        data = owner.animation_data
        if not data:
            continue
        if data.action == action:
            found.append((owner, None))
            continue
        track = next((track for track in data.nla_tracks for strip in track.strips if strip.action == action), None)
        if track is not None:
            found.append((owner, track))
    return found


def owner_of(action, owners, targets_of):
    """The owner an action assigned to nothing animates: the one whose bones
    or shape keys it drives most of, preferring the one whose name it starts
    with (as the FBX importer names them: "Rig|Walk"); else the one it is
    named after. (Its id_root is not read: Blender warns reading it unset.)"""
    named = [owner for owner in owners if action.name.startswith(owner.name + "|")]
    bones, shapes = driven_names(action, BONE_PATH), driven_names(action, SHAPE_KEY_PATH)
    candidates = [owner for owner in owners
                  if (shapes if isinstance(owner, bpy.types.Key) else bones) & targets_of.get(owner, set())]
    if candidates:
        return max(candidates, key=lambda owner: (owner in named, len(
            (shapes if isinstance(owner, bpy.types.Key) else bones) & targets_of[owner])))
    if len(named) == 1 and not bones and not shapes and action_fcurves(action):
        return named[0]
    return None


class Take:
    """One clip: the actions that play together, at most one for each owner."""

    scene = False

    def __init__(self, key):
        self.key = key  # the name the clip list keeps
        self.parts = []  # (owner, action)

    @property
    def first(self):
        return int(round(min(action.frame_range[0] for _, action in self.parts)))

    @property
    def last(self):
        return int(round(max(action.frame_range[1] for _, action in self.parts)))

    @property
    def frames(self):
        return self.last - self.first + 1

    @property
    def label(self):
        return self.key.split("|")[-1]

    @property
    def source(self):
        return ", ".join("%s: %s" % (owner.name, action.name) for owner, action in self.parts)


class SceneRange:
    """A clip of the scene as it plays, over its frame range or between two markers."""

    scene = True

    def __init__(self, label, first, last, source):
        self.key, self.label = "<scene>|" + label, label
        self.first, self.last, self.source = first, last, source
        self.parts = []

    @property
    def frames(self):
        return self.last - self.first + 1


def take_key(owner, action, track):
    """The take an action belongs to: the NLA track's name where the animator
    named one, else the action's name without its owner's ("Body|Walk" and
    "Hat|Walk" are the take "Walk", as the FBX importer names them)."""
    if track is not None and not UNNAMED_TRACK.match(track.name):
        return track.name
    name = action.name
    return name[len(owner.name) + 1:] if name.startswith(owner.name + "|") else name


def gather_takes(context, use_selection):
    """The takes of the actions that animate what is exported (the exported
    objects and the objects that move them), in the order Blender lists the
    actions, and the actions left out."""
    objects = influencers(exported_objects(context, use_selection)[0])
    owners, targets_of = [], {}
    for obj in objects:
        for owner in animated_ids(obj):
            if owner not in owners:
                owners.append(owner)
        if obj.type == 'ARMATURE':
            targets_of[obj] = {bone.name for bone in obj.data.bones}
        keys = getattr(obj.data, "shape_keys", None)
        if keys is not None:
            targets_of[keys] = {block.name for block in keys.key_blocks}
    takes, left_out, active = {}, [], []

    def add(key, owner, action):
        while any(part_owner == owner for part_owner, _ in takes.get(key, Take(key)).parts):
            key += "|"
        takes.setdefault(key, Take(key)).parts.append((owner, action))
        return key

    for action in bpy.data.actions:
        holders = holders_of(action, owners)
        if not holders:
            owner = owner_of(action, owners, targets_of)
            holders = [(owner, None)] if owner is not None else []
        if not holders:
            left_out.append(action)
        for owner, track in holders:
            key = add(take_key(owner, action, track), owner, action)
            if owner.animation_data and owner.animation_data.action == action:
                active.append(key)
    # The active actions play together, as Blender plays them: an active
    # action alone in its take joins the first active action's take.
    if active:
        main = next((key for key in active if isinstance(takes[key].parts[0][0], bpy.types.Object)
                     and takes[key].parts[0][0].type == 'ARMATURE'), active[0])
        for key in active:
            take = takes[key]
            if key != main and len(take.parts) == 1 and \
                    all(owner != take.parts[0][0] for owner, _ in takes[main].parts):
                takes[main].parts += take.parts
                del takes[key]
    return list(takes.values()), left_out


def scene_ranges(context, use_selection, takes):
    """The scene's frame range as clips, split at its timeline markers, where
    something moves that no action drives (physics, time-driven modifiers or
    nodes, drivers), or where no action moves anything."""
    objects = influencers(exported_objects(context, use_selection)[0])
    why = moves_without_actions(objects)
    if takes and not why:
        return []
    scene = context.scene
    first, last = scene.frame_start, scene.frame_end
    markers = sorted((marker.frame, marker.name) for marker in scene.timeline_markers if first <= marker.frame <= last)
    source = "scene frames (%s)" % (why or "no action")
    if not markers:
        return [SceneRange(scene.name, first, last, source)]
    ranges = []
    if markers[0][0] > first:
        ranges.append(SceneRange(scene.name, first, markers[0][0] - 1, source))
    for (start, name), following in zip(markers, markers[1:] + [(last + 1, None)]):
        if following[0] > start:
            ranges.append(SceneRange(name, start, following[0] - 1, "marker %s, %s" % (name, source)))
    return ranges


def gather_clips(context, use_selection):
    """Every clip: the scene's ranges first, then the takes; and the actions left out."""
    takes, left_out = gather_takes(context, use_selection)
    return scene_ranges(context, use_selection, takes) + takes, left_out


# --- Playing a take: its actions assigned, everything else at rest, all put back afterwards ---

REST_VALUES = {"location": (0.0, 0.0, 0.0), "rotation_quaternion": (1.0, 0.0, 0.0, 0.0),
               "rotation_euler": (0.0, 0.0, 0.0), "rotation_axis_angle": (0.0, 0.0, 1.0, 0.0),
               "scale": (1.0, 1.0, 1.0)}
LAST_PART = re.compile(r'^(.*?)\.?([A-Za-z_][A-Za-z0-9_]*)$')


def resolve_parent(owner, path):
    match = LAST_PART.match(path)
    if not match:
        return None, None
    parent_path, attribute = match.groups()
    try:
        parent = owner.path_resolve(parent_path) if parent_path else owner
    except ValueError:
        return None, None
    return (parent, attribute) if hasattr(parent, attribute) else (None, None)


def read_value(parent, attribute):
    value = getattr(parent, attribute)
    try:
        return tuple(value)
    except TypeError:
        return value


class Player:
    """Plays takes on the owners of their actions. Each owner's animation
    (active action, NLA, tweak mode) and the values its actions animate are
    kept and put back when done, also when the export fails halfway. The
    actions played are copies, so that assigning one marks nothing."""

    def __init__(self, takes, context):
        self.context = context
        self.frame = (context.scene.frame_current, context.scene.frame_subframe)
        self.parts = [part for take in takes for part in take.parts]
        self.owners = []
        for owner, _ in self.parts:
            if owner not in self.owners:
                self.owners.append(owner)
        self.saved, self.values, self.copies, self.created = [], [], {}, []

    def __enter__(self):
        paths = {}
        active = [(owner, owner.animation_data.action) for owner in self.owners
                  if owner.animation_data and owner.animation_data.action]
        for owner, action in self.parts + active:
            for fcurve in action_fcurves(action):
                paths.setdefault(owner, set()).add(fcurve.data_path)
        for owner, owner_paths in paths.items():
            for path in sorted(owner_paths):
                parent, attribute = resolve_parent(owner, path)
                if parent is not None:
                    rest = REST_VALUES.get(attribute) if isinstance(parent, bpy.types.PoseBone) else None
                    self.values.append((parent, attribute, read_value(parent, attribute), rest))
        for owner in self.owners:
            data = owner.animation_data
            if data is None:
                owner.animation_data_create()
                self.created.append(owner)
                continue
            tweak, active_track = data.use_tweak_mode, data.nla_tracks.active
            data.use_tweak_mode = False
            self.saved.append((data, data.action, tweak, data.use_nla, active_track,
                               [strip.mute for track in data.nla_tracks for strip in track.strips]))
        return self

    def play(self, take):
        """The take's actions on their owners, every other owner's and every
        other value at rest; a scene range (or None): the scene as it was."""
        for parent, attribute, value, rest in self.values:
            if take is not None and not take.scene and rest is not None and isinstance(value, tuple) \
                    and len(rest) == len(value):
                value = rest
            try:
                setattr(parent, attribute, value)
            except (AttributeError, TypeError, ValueError):
                pass
        if take is None or take.scene:
            for data, action, tweak, use_nla, active_track, mutes in self.saved:
                data.use_tweak_mode = False
                restore_animation_data(data, action, tweak, use_nla, active_track, mutes)
            for owner in self.created:
                owner.animation_data.action = None
            return
        for owner in self.owners:
            data = owner.animation_data
            data.use_tweak_mode = False
            data.use_nla = False
            data.action = None
        for owner, action in take.parts:
            if action not in self.copies:
                self.copies[action] = action.copy()
            owner.animation_data.action = self.copies[action]

    def __exit__(self, *exception):
        for owner in self.owners:
            if owner.animation_data:
                owner.animation_data.action = None
        for data, action, tweak, use_nla, active_track, mutes in self.saved:
            restore_animation_data(data, action, tweak, use_nla, active_track, mutes)
        for owner in self.created:
            owner.animation_data_clear()
        for copy in self.copies.values():
            bpy.data.actions.remove(copy)
        for parent, attribute, value, _ in self.values:
            try:
                setattr(parent, attribute, value)
            except (AttributeError, TypeError, ValueError):
                pass
        self.context.scene.frame_set(self.frame[0], subframe=self.frame[1])
        return False


def restore_animation_data(data, action, tweak, use_nla, active_track, mutes):
    data.action = action
    for strip, mute in zip((strip for track in data.nla_tracks for strip in track.strips), mutes):
        strip.mute = mute
    data.use_nla = use_nla
    # Tweak mode opens the active track's strip: the one that was open.
    data.nla_tracks.active = active_track
    if tweak:
        data.use_tweak_mode = True

# --- The clip list: which takes, in which order, remembered in the file ---

class VantrelClip(bpy.types.PropertyGroup):
    # name: the take's key
    label: StringProperty()
    frames: IntProperty()
    first: IntProperty()
    last: IntProperty()
    source: StringProperty()
    use: BoolProperty(name="Export", description="Export this clip", default=True)


class VANTREL_UL_clips(bpy.types.UIList):
    def draw_item(self, context, layout, data, item, icon, active_data, active_propname, index):
        row = layout.row()
        row.prop(item, "use", text="")
        row.label(text=item.label)
        row.label(text="%d frames (%d-%d)" % (item.frames, item.first, item.last))
        row.label(text=item.source)


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
        shown = (take.label, take.frames, take.first, take.last, take.source)
        if (clip.label, clip.frames, clip.first, clip.last, clip.source) != shown:
            clip.label, clip.frames, clip.first, clip.last, clip.source = shown
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
    # Kept for presets saved by earlier versions: every modifier is applied
    # now, at every frame, and every vertex is where Blender puts it.
    apply_modifiers: BoolProperty(options={'HIDDEN'}, default=False)
    bake: StringProperty(options={'HIDDEN'}, default='exact')
    scale: FloatProperty(name="Scale", description="Multiply every position", default=1.0, min=1e-6, soft_max=1000.0)
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
        sync_clip_list(context.scene, gather_clips(context, False)[0])
        self.take_imported_options(context)
        return ExportHelper.invoke(self, context, event)

    def draw(self, context):
        layout = self.layout
        tool = find_tool(context)
        offered = tool_options(tool) if tool else set()
        layout.prop(self, "use_selection")
        layout.prop(self, "scale")
        draw_clip_list(layout, context.scene)
        for name, option in (("weld", "--no-weld"), ("simplify", "--simplify"), ("preview", "--preview")):
            row = layout.row()
            row.active = option in offered
            row.prop(self, name)
            if name == "simplify" and self.simplify == 'TRIANGLES':
                row.prop(self, "triangles", text="")
        if not tool:
            layout.label(text=TOOL_NAME + " not found", icon='ERROR')

    def tool_arguments(self, offered):
        """The command line's options for this export, and warnings about choices the tool cannot honour."""
        arguments = ["--scale", "%.9g" % self.scale]
        warnings = []
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
        global last_report
        last_report = []
        self.take_imported_options(context)
        tool = find_tool(context)
        if not tool:
            self.report({'ERROR'}, TOOL_NAME + " was not found: set it in the add-on's preferences or put it on PATH")
            return {'CANCELLED'}
        destination = os.path.abspath(bpy.path.abspath(self.filepath))
        if not os.path.isdir(os.path.dirname(destination)):
            self.report({'ERROR'}, "The folder %s does not exist" % os.path.dirname(destination))
            return {'CANCELLED'}
        # The list holds the whole scene's clips, so that exporting a selection
        # keeps the choice for the others.
        sync_clip_list(context.scene, gather_clips(context, False)[0])
        objects, skipped = exported_objects(context, self.use_selection)
        if not objects:
            self.report({'ERROR'}, "Nothing to export: no visible mesh%s" % (" is selected" if self.use_selection
                                                                             else " in the scene"))
            return {'CANCELLED'}
        clips, left_out = gather_clips(context, self.use_selection)
        by_key = {clip.key: clip for clip in clips}
        chosen = [by_key[item.name] for item in context.scene.vantrel_clips if item.use and item.name in by_key]
        if not chosen:
            self.report({'ERROR'}, "No clip is chosen: tick at least one in the list of clips")
            return {'CANCELLED'}
        arguments, warnings = self.tool_arguments(tool_options(tool))
        render = context.scene.render
        rate = render.fps / render.fps_base
        stem = os.path.splitext(os.path.basename(destination))[0]
        progress = context.window_manager
        total = sum(clip.frames for clip in chosen)
        progress.progress_begin(0, total + 1)
        folder = tempfile.mkdtemp(prefix="vantrel-")
        still = []
        try:
            # Named as the class is: the textures the tool writes are named after the model.
            baker = bake.Baker(context, objects, folder, stem)
            lines = []
            try:
                with Player([clip for clip in chosen if not clip.scene], context) as player:
                    for clip in chosen:
                        first = baker.frames
                        baker.start_clip()
                        player.play(clip)
                        for frame in range(clip.first, clip.last + 1):
                            baker.frame(frame, clip.label)
                            progress.progress_update(baker.frames)
                        lines.append("%d %d %.9g %s\n" % (first, clip.frames, rate, clip.label))
                        if not baker.moved:
                            still.append(clip.label)
            except bake.TopologyChanged as error:
                self.report({'ERROR'}, str(error))
                return {'CANCELLED'}
            except (RuntimeError, OSError, ValueError) as error:
                self.report({'ERROR'}, "The bake failed after %d frame(s): %s" % (baker.frames, error))
                return {'CANCELLED'}
            finally:
                baker.close()
            with open(os.path.join(folder, stem + ".clips"), "w", encoding="utf-8", newline="\n") as file:
                file.writelines(lines)
            model = os.path.join(folder, stem + ".obj")
            # The tool writes its log beside the outputs, named after the class.
            try:
                run = subprocess.run([tool, model, destination, "--point-cache", os.path.join(folder, stem + ".pc2")]
                                     + arguments, cwd=os.path.dirname(destination), capture_output=True,
                                     encoding="utf-8", errors="replace", stdin=subprocess.DEVNULL)
            except OSError as error:
                self.report({'ERROR'}, "%s could not be run: %s" % (tool, error))
                return {'CANCELLED'}
            progress.progress_update(total + 1)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
            progress.progress_end()

        problems = []
        # The temporary files are gone and mean nothing to the user: the tool's
        # messages speak of the scene.
        for line in run.stderr.replace(os.path.join(folder, ""), "").splitlines():
            if line.startswith(WARNING_PREFIX):
                warnings.append(line[len(WARNING_PREFIX):])
            elif line.strip():
                problems.append(line[len(ERROR_PREFIX):] if line.startswith(ERROR_PREFIX) else line)
        if still:
            warnings.append("Nothing moves during %s: %s" % ("this clip" if len(still) == 1 else "these clips",
                                                             ", ".join(still)))
        for warning in warnings:
            self.report({'WARNING'}, warning)
            last_report.append(('WARNING', warning))
        if run.returncode != 0:
            reason = "; ".join(problems) or "exit status %d" % run.returncode
            self.report({'ERROR'}, TOOL_NAME + " failed: " + reason)
            return {'CANCELLED'}
        for level, line in export_summary(destination, objects, skipped, clips, chosen, left_out):
            self.report({level}, line)
            last_report.append((level, line))
        if self.preview and "--preview" in arguments:
            open_preview(self, os.path.splitext(destination)[0] + ".html")
        return {'FINISHED'}


# The last export's report, (level, line) each: for tests and scripts.
last_report = []


def export_summary(destination, objects, skipped, clips, chosen, left_out):
    """What was exported, and what was not and why."""
    lines = [('INFO', "Exported %s (_d.3d, _a.3d, .uc): %s; %d clip(s)" % (
        os.path.splitext(destination)[0], ", ".join(obj.name for obj in objects), len(chosen)))]
    # A line a clip: Blender cuts a long report short.
    lines += [('INFO', "Clip %s (%s, frames %d-%d)" % (clip.label, clip.source, clip.first, clip.last))
              for clip in chosen]
    not_exported = ["%s (%s)" % (obj.name, why) for obj, why in skipped]
    not_exported += ["clip %s (not ticked in the list)" % clip.label for clip in clips if clip not in chosen]
    not_exported += ["action %s (animates nothing exported, nor anything that moves it)" % action.name
                     for action in left_out]
    if not_exported:
        lines.append(('INFO', "Not exported: " + "; ".join(not_exported)))
    return lines


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
