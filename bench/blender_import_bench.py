# File > Import > Vantrel mesh (.3D) timed on a big set: about 900 vertices and
# 4000 frames, the size of a character of a few long takes exported at a
# high rate.
#   make bench-blender-import   (Blender headless, vantrel-view on PATH)
#   blender -b --factory-startup --python blender_import_bench.py -- ADDON.zip FRAMES [SET]
# FRAMES is the import's Frames choice: POINT_CACHE (a Mesh Cache modifier on a
# .pc2 beside the set) or SHAPE_KEYS (a shape key a distinct frame, as every
# import did before; an add-on without the choice imports so). Without SET a
# set is synthesised in the working folder: a ball of 900 vertices rippling
# through 4000 frames (3000 distinct), in five sequences, one at RATE=15. Each choice in a
# Blender of its own, as the Makefile runs it: the peak memory printed is the
# Blender process's (vantrel-view runs apart, in far less: 60 MB for this set).
import math
import os
import resource
import struct
import subprocess
import sys
import time

import addon_utils
import bpy

ARGS = sys.argv[sys.argv.index("--") + 1:]
ADDON_ZIP, FRAMES = os.path.abspath(ARGS[0]), ARGS[1]
RINGS, SEGMENTS, FRAME_COUNT = 30, 30, 4000
SEQUENCES = (("Walk", 0, 500, 0), ("Run", 500, 700, 0), ("Idle", 1200, 1300, 15), ("Wave", 2500, 900, 0),
             ("Fall", 3400, 600, 0))


def synthesise(base):
    """A set as vantrel-export writes one: _d.3d (a 48-byte header, 16 bytes a
    triangle), _a.3d (a frame of 8-byte records after a 4-byte header) and the
    class with its sequences."""
    name = os.path.basename(base)
    ball = [(math.sin(math.pi * (r + 0.5) / RINGS) * math.cos(2 * math.pi * s / SEGMENTS),
             math.sin(math.pi * (r + 0.5) / RINGS) * math.sin(2 * math.pi * s / SEGMENTS),
             math.cos(math.pi * (r + 0.5) / RINGS)) for r in range(RINGS) for s in range(SEGMENTS)]
    triangles = []
    for r in range(RINGS - 1):
        for s in range(SEGMENTS):
            a, b = r * SEGMENTS + s, r * SEGMENTS + (s + 1) % SEGMENTS
            triangles += [(a, b + SEGMENTS, b), (a, a + SEGMENTS, b + SEGMENTS)]
    with open(base + "_d.3d", "wb") as file:
        file.write(struct.pack("<HH44x", len(triangles), len(ball)))
        for t in triangles:
            uv = [(8 * (v % SEGMENTS), 8 * (v // SEGMENTS)) for v in t]
            file.write(struct.pack("<3HBB6BBB", *t, 0, 0, *[c for p in uv for c in p], 0, 0))
    with open(base + "_a.3d", "wb") as file:
        file.write(struct.pack("<HH", FRAME_COUNT, len(ball) * 8))
        for f in range(FRAME_COUNT):
            # Idle loops every 300 frames: 3000 distinct frames, as many
            # shape keys as the glTF file can animate within its bound.
            at = 1200 + (f - 1200) % 300 if 1200 <= f < 2500 else f
            frame = bytearray()
            for i, (x, y, z) in enumerate(ball):
                grow = 1 + 0.2 * math.sin(at / 25 + 3 * z + i % 7)
                frame += struct.pack("<4h", int(100 * x * grow), int(100 * y * grow), int(100 * z * grow), 0)
            file.write(frame)
    lines = ["class %s extends Actor;" % name,
             "#exec MESH IMPORT MESH=%s ANIVFILE=MODELS\\%s_a.3d DATAFILE=MODELS\\%s_d.3d X=0 Y=0 Z=0" % (name, name, name),
             "#exec MESH ORIGIN MESH=%s X=0 Y=0 Z=0" % name,
             "#exec MESH SEQUENCE MESH=%s SEQ=All STARTFRAME=0 NUMFRAMES=%d" % (name, FRAME_COUNT)]
    for seq, first, count, rate in SEQUENCES:
        lines.append("#exec MESH SEQUENCE MESH=%s SEQ=%s STARTFRAME=%d NUMFRAMES=%d%s"
                     % (name, seq, first, count, " RATE=%d" % rate if rate else ""))
    lines += ["#exec MESHMAP NEW MESHMAP=%s MESH=%s" % (name, name),
              "#exec MESHMAP SCALE MESHMAP=%s X=0.01 Y=0.01 Z=0.01" % name,
              "#exec TEXTURE IMPORT NAME=%sTex0 FILE=textures\\%s_Skin.bmp GROUP=Skins" % (name, name),
              "#exec MESHMAP SETTEXTURE MESHMAP=%s NUM=0 TEXTURE=%sTex0" % (name, name)]
    # A 64 x 64 checker, 8-bit palettised as the engine takes it.
    palette = bytes([40, 40, 40, 0, 40, 120, 200, 0]) + bytes(4 * 254)
    pixels = bytes((x // 8 + y // 8) % 2 for y in range(64) for x in range(64))
    with open(os.path.join(os.path.dirname(base), name + "_Skin.bmp"), "wb") as file:
        file.write(struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 1078 + len(pixels), 0, 0, 1078, 40, 64, 64, 1, 8, 0,
                               len(pixels), 2835, 2835, 256, 0) + palette + pixels)
    with open(base + ".uc", "w") as file:
        file.write("\n".join(lines) + "\n")
    return base + ".uc"


def peak_mib(who):
    return resource.getrusage(who).ru_maxrss / 1024  # KiB on Linux


def main():
    bpy.ops.preferences.addon_install(filepath=ADDON_ZIP, overwrite=True)
    addon_utils.enable("vantrel_export", default_set=True, handle_error=None)
    path = os.path.abspath(ARGS[2]) if len(ARGS) > 2 else synthesise(os.path.join(os.getcwd(), "Ball"))
    for item in list(bpy.data.objects):
        bpy.data.objects.remove(item)
    offered = bpy.ops.import_mesh.vantrel.get_rna_type().properties.keys()
    options = {"frames": FRAMES} if "frames" in offered else {}
    if not options:
        print("this add-on has no Frames choice: shape keys")
    start, start_cpu = time.perf_counter(), time.process_time()
    result = bpy.ops.import_mesh.vantrel(filepath=path, **options)
    wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    mesh = next(o for o in bpy.data.objects if o.type == 'MESH')
    keys = len(mesh.data.shape_keys.key_blocks) if mesh.data.shape_keys else 0
    caches = [m for m in mesh.modifiers if m.type == 'MESH_CACHE']
    # Playing: the first 100 frames of the longest action, as the timeline does.
    action = max(bpy.data.actions, key=lambda a: a.frame_range[1] - a.frame_range[0])
    (mesh.data.shape_keys if keys else mesh).animation_data.action = action
    first, last = int(action.frame_range[0]), min(int(action.frame_range[1]), int(action.frame_range[0]) + 99)
    start = time.perf_counter()
    for frame in range(first, last + 1):
        bpy.context.scene.frame_set(frame)
        mesh.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh()
    play = (time.perf_counter() - start) / max(1, last - first + 1)
    print("import %s: %s; %d vertices, %d shape keys, %d mesh caches, %d actions" %
          (os.path.basename(path), FRAMES if options else "SHAPE_KEYS (old add-on)", len(mesh.data.vertices), keys,
           len(caches), len(bpy.data.actions)))
    print("  %s in %.1f s (processor %.1f s); Blender's peak memory %.0f MiB" %
          (result, wall, cpu, peak_mib(resource.RUSAGE_SELF)))
    print("  playing %s: %.1f ms a frame" % (action.name, 1000 * play))


main()
