# What Blender evaluates, frame by frame, for vantrel-export: a rest mesh
# (OBJ and MTL, the images beside them) and a point cache (.pc2) whose points
# are the OBJ's vertex lines in order, with the clips in NAME.clips beside it.
# Every exported object's evaluated mesh (modifiers, constraints, drivers,
# physics caches, geometry nodes, shape keys, skinning) in world space, written
# to the cache as each frame is evaluated: memory does not grow with the frames.

import os
import re
import shutil
import struct

import numpy as np

import bpy

# Object types Blender evaluates to a mesh.
GEOMETRY_TYPES = {'MESH', 'CURVE', 'SURFACE', 'FONT', 'META'}


# Modifiers that move vertices and never add, remove or renumber them.
MOVE_ONLY = {'ARMATURE', 'CAST', 'CLOTH', 'COLLISION', 'CORRECTIVE_SMOOTH', 'CURVE', 'DISPLACE', 'HOOK',
             'LAPLACIANDEFORM', 'LAPLACIANSMOOTH', 'LATTICE', 'MESH_CACHE', 'MESH_DEFORM', 'SHRINKWRAP',
             'SIMPLE_DEFORM', 'SMOOTH', 'SOFT_BODY', 'SURFACE_DEFORM', 'WARP', 'WAVE', 'VERTEX_WEIGHT_EDIT',
             'VERTEX_WEIGHT_MIX', 'VERTEX_WEIGHT_PROXIMITY', 'DATA_TRANSFER', 'UV_PROJECT', 'UV_WARP',
             'NORMAL_EDIT', 'WEIGHTED_NORMAL'}


class TopologyChanged(Exception):
    """An object's evaluated mesh has other vertices (count or order) at a frame than at the first."""


class PointCacheWriter:
    """A PC2 file written a frame at a time; its frame count is set when closed."""

    def __init__(self, path, points):
        self.file = open(path, "wb")
        self.points, self.frames = points, 0
        self.file.write(struct.pack("<12siiffi", b"POINTCACHE2\0", 1, points, 0.0, 1.0, 0))

    def write(self, positions):
        self.file.write(positions.astype("<f4", copy=False).tobytes())
        self.frames += 1

    def close(self):
        self.file.seek(28)
        self.file.write(struct.pack("<i", self.frames))
        self.file.close()


def world_points(evaluated, mesh, out):
    """The mesh's vertices in world space, in the OBJ's axes (Y up: x, z, -y), into out (n x 3 float32)."""
    co = np.empty(len(mesh.vertices) * 3, dtype=np.float32)
    mesh.vertices.foreach_get("co", co)
    matrix = np.array(evaluated.matrix_world, dtype=np.float64)
    world = co.reshape(-1, 3).astype(np.float64) @ matrix[:3, :3].T + matrix[:3, 3]
    out[:, 0] = world[:, 0]
    out[:, 1] = world[:, 2]
    out[:, 2] = -world[:, 1]


def loop_vertices(mesh):
    indices = np.empty(len(mesh.loops), dtype=np.int32)
    mesh.loops.foreach_get("vertex_index", indices)
    return indices


def safe_name(text):
    return re.sub(r"[^A-Za-z0-9_.-]", "_", text) or "_"


def base_color_image(material):
    """The image feeding the material's base colour (a Principled BSDF's, an
    Emission's or a Background's colour, or any image texture node), or None."""
    if not material or not material.use_nodes or not material.node_tree:
        return None
    nodes = material.node_tree.nodes
    for node in nodes:
        if node.type in ('BSDF_PRINCIPLED', 'EMISSION', 'BACKGROUND', 'BSDF_DIFFUSE'):
            socket = node.inputs.get("Base Color") or node.inputs.get("Color")
            seen, todo = set(), [socket] if socket else []
            while todo:
                for link in todo.pop().links:
                    upstream = link.from_node
                    if upstream.name in seen:
                        continue
                    seen.add(upstream.name)
                    if upstream.type == 'TEX_IMAGE' and upstream.image:
                        return upstream.image
                    todo.extend(upstream.inputs)
    for node in nodes:
        if node.type == 'TEX_IMAGE' and node.image:
            return node.image
    return None


def base_color(material):
    if not material:
        return (0.8, 0.8, 0.8, 1.0)
    if material.use_nodes and material.node_tree:
        for node in material.node_tree.nodes:
            if node.type == 'BSDF_PRINCIPLED':
                colour = tuple(node.inputs["Base Color"].default_value)
                alpha = node.inputs["Alpha"].default_value
                return colour[:3] + (alpha,)
    return tuple(material.diffuse_color)


def triangle_type(material):
    """The engine's type of the material's triangles, which an OBJ's material
    cannot say: 0 one-sided (Backface Culling), 1 two-sided, 2 translucent
    (Alpha Blend), 3 masked (Alpha Clip), plus 16 unlit (a Background shader
    as its surface)."""
    if material is None:
        return 1
    kind = {'BLEND': 2, 'CLIP': 3}.get(material.blend_method, 0 if material.use_backface_culling else 1)
    if material.use_nodes and material.node_tree:
        for node in material.node_tree.nodes:
            if node.type == 'OUTPUT_MATERIAL' and node.is_active_output:
                surface = node.inputs.get("Surface")
                if surface and surface.links and surface.links[0].from_node.type == 'BACKGROUND':
                    kind |= 16
    return kind


def image_file(image, folder, written):
    """The image as a file in folder (copied, or written out when packed or
    generated); its name there, or None when it has no pixels to give."""
    if image in written:
        return written[image]
    name = None
    if image.packed_file:
        extension = os.path.splitext(image.filepath)[1] or "." + image.file_format.lower()
        name = safe_name(image.name) + extension
        with open(os.path.join(folder, name), "wb") as file:
            file.write(image.packed_file.data)
    else:
        source = bpy.path.abspath(image.filepath, library=image.library)
        if image.source == 'FILE' and os.path.isfile(source):
            name = safe_name(os.path.splitext(image.name)[0]) + os.path.splitext(source)[1]
            shutil.copyfile(source, os.path.join(folder, name))
        elif image.has_data or image.source == 'GENERATED':
            name = safe_name(image.name) + ".png"
            image.save_render(os.path.join(folder, name))
    written[image] = name
    return name


class RestMesh:
    """The OBJ and MTL of the exported objects as evaluated at the first frame."""

    def __init__(self, folder, stem):
        self.folder, self.stem = folder, stem
        self.obj = open(os.path.join(folder, stem + ".obj"), "w", encoding="utf-8", newline="\n")
        self.obj.write("mtllib %s.mtl\n" % stem)
        self.materials = {}  # material (or None) -> its MTL name
        self.vertices = 0
        self.uvs = 0

    def add(self, obj, mesh, points):
        out = self.obj
        out.write("o %s\n" % safe_name(obj.name))
        np.savetxt(out, points, fmt="v %.7g %.7g %.7g")
        loop_count = len(mesh.loops)
        starts = np.empty(len(mesh.polygons), dtype=np.int32)
        totals = np.empty(len(mesh.polygons), dtype=np.int32)
        slots = np.empty(len(mesh.polygons), dtype=np.int32)
        mesh.polygons.foreach_get("loop_start", starts)
        mesh.polygons.foreach_get("loop_total", totals)
        mesh.polygons.foreach_get("material_index", slots)
        vertex_of = loop_vertices(mesh) + self.vertices + 1
        uv_layer = mesh.uv_layers.active
        uv_of = None
        if uv_layer and loop_count:
            uv = np.empty(loop_count * 2, dtype=np.float32)
            uv_layer.data.foreach_get("uv", uv)
            unique, inverse = np.unique(uv.reshape(-1, 2), axis=0, return_inverse=True)
            np.savetxt(out, unique, fmt="vt %.7g %.7g")
            uv_of = inverse.reshape(-1) + self.uvs + 1
            self.uvs += len(unique)
        corners = (["%d/%d" % pair for pair in zip(vertex_of.tolist(), uv_of.tolist())] if uv_of is not None
                   else [str(v) for v in vertex_of.tolist()])
        materials = [slot.material for slot in obj.material_slots] or [None]
        for slot in np.unique(slots).tolist() if len(slots) else []:
            material = materials[min(slot, len(materials) - 1)]
            if material not in self.materials:
                # Blender's names are unique, and the program reads the type of a material named "weapon" by its name.
                self.materials[material] = material.name.replace("\n", " ").strip() if material else "default"
            out.write("usemtl %s\n" % self.materials[material])
            lines = ["f " + " ".join(corners[s:s + t]) for s, t in
                     zip(starts[slots == slot].tolist(), totals[slots == slot].tolist())]
            out.write("\n".join(lines) + "\n")
        self.vertices += len(points)

    def close(self):
        self.obj.close()
        with open(os.path.join(self.folder, self.stem + ".types"), "w", encoding="utf-8", newline="\n") as types:
            for material, name in self.materials.items():
                types.write("%d %s\n" % (triangle_type(material), name))
        written = {}
        with open(os.path.join(self.folder, self.stem + ".mtl"), "w", encoding="utf-8", newline="\n") as mtl:
            for material, name in self.materials.items():
                r, g, b, a = base_color(material)
                mtl.write("newmtl %s\nKd %.6g %.6g %.6g\n" % (name, r, g, b))
                if material and material.blend_method == 'BLEND' and a < 1:
                    mtl.write("d %.6g\n" % a)
                image = base_color_image(material)
                file = image and image_file(image, self.folder, written)
                if file:
                    mtl.write("map_Kd %s\n" % file)


class Baker:
    """Evaluates the objects frame after frame and writes them: the first
    frame also as the rest mesh. Remembers, per clip, whether anything moved."""

    def __init__(self, context, objects, folder, stem):
        self.context, self.objects = context, objects
        self.folder, self.stem = folder, stem
        self.rest = None  # per object: (vertex count, loop vertex indices)
        # Whether a modifier of the object may renumber its vertices: only then are they checked for order.
        self.reorders = [obj.type != 'MESH' or any(modifier.type not in MOVE_ONLY for modifier in obj.modifiers)
                         for obj in objects]
        self.cache = None
        self.buffer = None
        self.clip_first = None
        self.moved = False
        self.frames = 0

    def frame(self, frame, clip_label):
        scene = self.context.scene
        scene.frame_set(frame)
        depsgraph = self.context.evaluated_depsgraph_get()
        first = self.rest is None
        rest_mesh = RestMesh(self.folder, self.stem) if first else None
        rest, offset, parts = [], 0, []
        try:
            for index, obj in enumerate(self.objects):
                evaluated = obj.evaluated_get(depsgraph)
                # A mesh object's evaluated data is its evaluated mesh, modifiers and all:
                # read in place, as copying it (to_mesh) costs a third of the frame's time.
                in_place = obj.type == 'MESH'
                mesh = evaluated.data if in_place else evaluated.to_mesh()
                try:
                    count = len(mesh.vertices)
                    if first:
                        loops = loop_vertices(mesh)
                        rest.append((count, loops))
                        points = np.empty((count, 3), dtype=np.float32)
                        world_points(evaluated, mesh, points)
                        rest_mesh.add(obj, mesh, points)
                        parts.append(points)
                    else:
                        known_count, known_loops = self.rest[index]
                        if count != known_count or (self.reorders[index] and
                                                    not np.array_equal(loop_vertices(mesh), known_loops)):
                            raise TopologyChanged(
                                "%s has %d vertices at frame %d of %s, %d at the first frame exported (or "
                                "others in another order): apply the modifier that changes its mesh, or leave "
                                "the object out (Selected Only)" % (obj.name, count, frame, clip_label, known_count))
                        world_points(evaluated, mesh, self.buffer[offset:offset + count])
                    offset += count
                finally:
                    if not in_place:
                        evaluated.to_mesh_clear()
        finally:
            if rest_mesh:
                rest_mesh.close()
        if first:
            self.rest = rest
            self.buffer = np.concatenate(parts) if parts else np.empty((0, 3), dtype=np.float32)
            self.cache = PointCacheWriter(os.path.join(self.folder, self.stem + ".pc2"), len(self.buffer))
        self.cache.write(self.buffer)
        self.frames += 1
        if self.clip_first is None:
            self.clip_first = self.buffer.copy()
        elif not self.moved and len(self.buffer):
            extent = float(np.ptp(self.clip_first, axis=0).max()) if len(self.clip_first) else 0.0
            self.moved = float(np.abs(self.buffer - self.clip_first).max()) > 1e-6 * max(extent, 1e-3)

    def start_clip(self):
        self.clip_first, self.moved = None, False

    def close(self):
        if self.cache:
            self.cache.close()
