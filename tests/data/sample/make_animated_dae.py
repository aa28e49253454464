#!/usr/bin/env python3
"""Writes an animated, skinned Collada test model: an arm of four joints under an
armature node, two skinned meshes with their own materials and textures, and one
clip sampled as node transforms. Only the standard library is used.

    python3 make_animated_dae.py [OUT_DIR]

Writes animated_arm.dae (Y up), animated_arm_zup.dae (the same document declared
Z up) and the two textures it names. The clip drives the joints three ways, as
exporters do: a translation and an angle of a <rotate>, a whole <matrix>, and two
angles keyed at different times. Every channel starts and ends at the bind pose.
Assimp 5.2.5 names nodes and bones by their id, reads every key as linear
(the INTERPOLATION source is not looked at), ignores the animation clip
library and names the clip after the nested <animation>s: 'Wave_Wave'.
"""
import math
import os
import struct
import sys
import zlib

SECONDS = 1.5
KEYS_PER_SECOND = 8

IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def mul(*ms):
    out = IDENTITY
    for m in ms:
        out = [[sum(out[r][k] * m[k][c] for k in range(4)) for c in range(4)] for r in range(4)]
    return out


def translate(x, y, z):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


def rotate(axis, degrees):
    x, y, z = axis
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    t = 1 - c
    return [[t * x * x + c, t * x * y - s * z, t * x * z + s * y, 0.0],
            [t * x * y + s * z, t * y * y + c, t * y * z - s * x, 0.0],
            [t * x * z - s * y, t * y * z + s * x, t * z * z + c, 0.0],
            [0.0, 0.0, 0.0, 1.0]]


def inverse_rigid(m):
    inv = [[m[c][r] for c in range(3)] + [0.0] for r in range(3)]
    for r in range(3):
        inv[r][3] = -sum(inv[r][k] * m[k][3] for k in range(3))
    return inv + [[0.0, 0.0, 0.0, 1.0]]


def apply(m, p):
    return tuple(sum(m[r][k] * p[k] for k in range(3)) + m[r][3] for r in range(3))


def numbers(values):
    return " ".join("%.9g" % v for v in values)


def flat(m):
    return [v for row in m for v in row]


# Each joint: (id, sid, parent, [(kind, sid, values)]); the armature above them is
# a plain node. Transforms compose left to right, as Collada stacks them.
X, Y, Z = (1, 0, 0), (0, 1, 0), (0, 0, 1)
ARMATURE = [("translate", "location", (0.0, 0.0, -0.3)), ("rotate", "rotationY", Y + (30.0,))]
JOINTS = [
    ("arm_Root", "Root", None, [("translate", "location", (0.0, 0.2, 0.0)), ("rotate", "rotationY", Y + (15.0,)),
                                ("rotate", "rotationX", X + (10.0,))]),
    ("arm_Upper", "Upper", 0, [("matrix", "transform", flat(mul(translate(0, 1, 0), rotate(Z, 20), rotate(X, -25))))]),
    ("arm_Lower", "Lower", 1, [("translate", "location", (0.0, 1.1, 0.0)), ("rotate", "rotationZ", Z + (-30.0,)),
                               ("rotate", "rotationX", X + (35.0,))]),
    ("arm_Tip", "Tip", 2, [("matrix", "transform", flat(mul(translate(0, 0.8, 0), rotate(Y, 40))))]),
]


def step_matrix(kind, values):
    if kind == "translate":
        return translate(*values)
    if kind == "rotate":
        return rotate(values[:3], values[3])
    return [list(values[r * 4:r * 4 + 4]) for r in range(4)]


def chain_matrix(steps):
    return mul(*[step_matrix(kind, values) for kind, _, values in steps])


def bind_globals():
    armature = chain_matrix(ARMATURE)
    out = []
    for _, _, parent, steps in JOINTS:
        out.append(mul(out[parent] if parent is not None else armature, chain_matrix(steps)))
    return out


# The clip: (target, key times, value at a time). A phase s runs once round
# the circle, so every channel is back at its bind value at the end.
def phase(t):
    return 2 * math.pi * t / SECONDS


def key_times(per_second):
    return [i / per_second for i in range(int(round(SECONDS * per_second)) + 1)]


CHANNELS = [
    ("arm_Root/location", key_times(KEYS_PER_SECOND),
     lambda t: (0.25 * math.sin(phase(t)), 0.2 + 0.15 * (1 - math.cos(phase(t))), 0.1 * math.sin(2 * phase(t)))),
    ("arm_Root/rotationY.ANGLE", key_times(KEYS_PER_SECOND), lambda t: (15 + 40 * math.sin(phase(t)),)),
    ("arm_Upper/transform", key_times(KEYS_PER_SECOND),
     lambda t: flat(mul(translate(0, 1, 0), rotate(Z, 20 + 30 * math.sin(phase(t))),
                        rotate(X, -25 + 20 * (1 - math.cos(phase(t)))), rotate(Y, 25 * math.sin(2 * phase(t)))))),
    ("arm_Lower/rotationZ.ANGLE", key_times(KEYS_PER_SECOND), lambda t: (-30 + 45 * math.sin(phase(t)),)),
    ("arm_Lower/rotationX.ANGLE", key_times(KEYS_PER_SECOND / 2), lambda t: (35 - 25 * (1 - math.cos(phase(t))),)),
]

# The shape's own placement, undone by the bind shape matrix.
BIND_SHAPE = mul(translate(0.1, 0.0, -0.2), rotate(Y, 10))


def ring(globals_, joint, height, radius, sides):
    return [apply(globals_[joint], (radius * math.sin(2 * math.pi * k / sides), height,
                                    radius * math.cos(2 * math.pi * k / sides))) for k in range(sides + 1)]


def body(globals_):
    """A tube along Root, Upper and Lower: rings of five sides plus a seam
    column, blended where the joints meet, closed at the bottom. Quads and
    triangles, as a <polylist>."""
    sides = 5
    rings = [(0, 0.0, 0.3, [(0, 1.0)]), (0, 0.6, 0.28, [(0, 1.0)]), (1, 0.0, 0.26, [(0, 0.35), (1, 0.65)]),
             (1, 0.6, 0.24, [(1, 1.0)]), (2, 0.0, 0.22, [(1, 0.4), (2, 0.6)]), (2, 0.7, 0.18, [(2, 1.0)])]
    positions, uvs, weights, polygons = [], [], [], []
    for r, (joint, height, radius, pairs) in enumerate(rings):
        positions += ring(globals_, joint, height, radius, sides)
        uvs += [(k / sides, r / (len(rings) - 1)) for k in range(sides + 1)]
        weights += [pairs] * (sides + 1)
    columns = sides + 1
    for r in range(len(rings) - 1):
        for k in range(sides):
            a = r * columns + k
            polygons.append([a, a + 1, a + 1 + columns, a + columns])
    positions.append(apply(globals_[0], (0.0, 0.0, 0.0)))
    uvs.append((0.5, 0.0))
    weights.append([(0, 1.0)])
    polygons += [[len(positions) - 1, k + 1, k] for k in range(sides)]
    return positions, uvs, weights, polygons


def cap(globals_):
    """A small double pyramid over the tip, skinned to Tip and Lower."""
    positions = [apply(globals_[2], (0.0, 0.7, 0.0))]
    weights = [[(2, 0.7), (3, 0.3)]]
    positions += ring(globals_, 3, 0.0, 0.2, 4)[:4]
    weights += [[(3, 0.6), (2, 0.4)]] * 4
    positions.append(apply(globals_[3], (0.0, 0.35, 0.0)))
    weights.append([(3, 1.0)])
    uvs = [(0.5, 0.0), (0.0, 0.5), (0.5, 0.5), (1.0, 0.5), (0.5, 1.0), (0.5, 0.75)]
    polygons = []
    for k in range(4):
        a, b = 1 + k, 1 + (k + 1) % 4
        polygons += [[0, b, a], [5, a, b]]
    return positions, uvs, weights, polygons


def geometry(name, positions, uvs, polygons, material):
    shape = inverse_rigid(BIND_SHAPE)
    local = [apply(shape, p) for p in positions]
    vcount = " ".join(str(len(p)) for p in polygons)
    p = " ".join("%d %d" % (i, i) for poly in polygons for i in poly)
    return f"""    <geometry id="{name}-mesh" name="{name}">
      <mesh>
        <source id="{name}-positions">
          <float_array id="{name}-positions-array" count="{3 * len(local)}">{numbers(v for q in local for v in q)}</float_array>
          <technique_common>
            <accessor source="#{name}-positions-array" count="{len(local)}" stride="3">
              <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
            </accessor>
          </technique_common>
        </source>
        <source id="{name}-uv">
          <float_array id="{name}-uv-array" count="{2 * len(uvs)}">{numbers(v for q in uvs for v in q)}</float_array>
          <technique_common>
            <accessor source="#{name}-uv-array" count="{len(uvs)}" stride="2">
              <param name="S" type="float"/><param name="T" type="float"/>
            </accessor>
          </technique_common>
        </source>
        <vertices id="{name}-vertices">
          <input semantic="POSITION" source="#{name}-positions"/>
        </vertices>
        <polylist material="{material}" count="{len(polygons)}">
          <input semantic="VERTEX" source="#{name}-vertices" offset="0"/>
          <input semantic="TEXCOORD" source="#{name}-uv" offset="1" set="0"/>
          <vcount>{vcount}</vcount>
          <p>{p}</p>
        </polylist>
      </mesh>
    </geometry>
"""


def controller(name, weights, globals_, joints):
    """A skin naming its joints by sid, in its own order."""
    inverse_binds = [v for j in joints for v in flat(inverse_rigid(globals_[j]))]
    weight_values, vcount, v = [], [], []
    for pairs in weights:
        vcount.append(str(len(pairs)))
        for joint, weight in pairs:
            v += [str(joints.index(joint)), str(len(weight_values))]
            weight_values.append(weight)
    names = " ".join(JOINTS[j][1] for j in joints)
    return f"""    <controller id="{name}-skin" name="{name}">
      <skin source="#{name}-mesh">
        <bind_shape_matrix>{numbers(flat(BIND_SHAPE))}</bind_shape_matrix>
        <source id="{name}-joints">
          <Name_array id="{name}-joints-array" count="{len(joints)}">{names}</Name_array>
          <technique_common>
            <accessor source="#{name}-joints-array" count="{len(joints)}" stride="1"><param name="JOINT" type="name"/></accessor>
          </technique_common>
        </source>
        <source id="{name}-bind-poses">
          <float_array id="{name}-bind-poses-array" count="{16 * len(joints)}">{numbers(inverse_binds)}</float_array>
          <technique_common>
            <accessor source="#{name}-bind-poses-array" count="{len(joints)}" stride="16"><param name="TRANSFORM" type="float4x4"/></accessor>
          </technique_common>
        </source>
        <source id="{name}-weights">
          <float_array id="{name}-weights-array" count="{len(weight_values)}">{numbers(weight_values)}</float_array>
          <technique_common>
            <accessor source="#{name}-weights-array" count="{len(weight_values)}" stride="1"><param name="WEIGHT" type="float"/></accessor>
          </technique_common>
        </source>
        <joints>
          <input semantic="JOINT" source="#{name}-joints"/>
          <input semantic="INV_BIND_MATRIX" source="#{name}-bind-poses"/>
        </joints>
        <vertex_weights count="{len(weights)}">
          <input semantic="JOINT" source="#{name}-joints" offset="0"/>
          <input semantic="WEIGHT" source="#{name}-weights" offset="1"/>
          <vcount>{" ".join(vcount)}</vcount>
          <v>{" ".join(v)}</v>
        </vertex_weights>
      </skin>
    </controller>
"""


def material(name, texture):
    effect = f"""    <effect id="{name}-effect">
      <profile_COMMON>
        <newparam sid="{name}-surface"><surface type="2D"><init_from>{name}-image</init_from></surface></newparam>
        <newparam sid="{name}-sampler"><sampler2D><source>{name}-surface</source></sampler2D></newparam>
        <technique sid="common">
          <lambert>
            <diffuse><texture texture="{name}-sampler" texcoord="UVMap"/></diffuse>
          </lambert>
        </technique>
      </profile_COMMON>
    </effect>
"""
    image = f'    <image id="{name}-image" name="{name}-image"><init_from>{texture}</init_from></image>\n'
    mat = f'    <material id="{name}-material" name="{name}"><instance_effect url="#{name}-effect"/></material>\n'
    return image, effect, mat


def animation(target, times, value):
    name = target.replace("/", "_").replace(".", "_")
    values = [value(t) for t in times]
    stride = len(values[0])
    params = {1: '<param name="ANGLE" type="float"/>',
              3: '<param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>',
              16: '<param name="TRANSFORM" type="float4x4"/>'}[stride]
    return f"""      <animation id="{name}">
        <source id="{name}-input">
          <float_array id="{name}-input-array" count="{len(times)}">{numbers(times)}</float_array>
          <technique_common>
            <accessor source="#{name}-input-array" count="{len(times)}" stride="1"><param name="TIME" type="float"/></accessor>
          </technique_common>
        </source>
        <source id="{name}-output">
          <float_array id="{name}-output-array" count="{stride * len(times)}">{numbers(v for q in values for v in q)}</float_array>
          <technique_common>
            <accessor source="#{name}-output-array" count="{len(times)}" stride="{stride}">{params}</accessor>
          </technique_common>
        </source>
        <source id="{name}-interpolation">
          <Name_array id="{name}-interpolation-array" count="{len(times)}">{" ".join(["LINEAR"] * len(times))}</Name_array>
          <technique_common>
            <accessor source="#{name}-interpolation-array" count="{len(times)}" stride="1"><param name="INTERPOLATION" type="name"/></accessor>
          </technique_common>
        </source>
        <sampler id="{name}-sampler">
          <input semantic="INPUT" source="#{name}-input"/>
          <input semantic="OUTPUT" source="#{name}-output"/>
          <input semantic="INTERPOLATION" source="#{name}-interpolation"/>
        </sampler>
        <channel source="#{name}-sampler" target="{target}"/>
      </animation>
"""


def transform_elements(steps, indent):
    out = ""
    for kind, sid, values in steps:
        out += f'{indent}<{kind} sid="{sid}">{numbers(values)}</{kind}>\n'
    return out


def joint_nodes(index, indent):
    node_id, sid, _, steps = JOINTS[index]
    out = f'{indent}<node id="{node_id}" name="{sid}" sid="{sid}" type="JOINT">\n'
    out += transform_elements(steps, indent + "  ")
    for child, joint in enumerate(JOINTS):
        if joint[2] == index:
            out += joint_nodes(child, indent + "  ")
    return out + f"{indent}</node>\n"


def skinned_node(name, material_name):
    return f"""      <node id="{name}" name="{name}" type="NODE">
        <instance_controller url="#{name}-skin">
          <skeleton>#arm_Root</skeleton>
          <bind_material>
            <technique_common>
              <instance_material symbol="{material_name}" target="#{material_name}-material">
                <bind_vertex_input semantic="UVMap" input_semantic="TEXCOORD" input_set="0"/>
              </instance_material>
            </technique_common>
          </bind_material>
        </instance_controller>
      </node>
"""


def document(up_axis):
    globals_ = bind_globals()
    b_pos, b_uv, b_weights, b_polys = body(globals_)
    c_pos, c_uv, c_weights, c_polys = cap(globals_)
    arm = material("ArmSkin", "arm_skin.png")
    tip = material("CapSkin", "cap_skin.png")
    animations = "".join(animation(target, times, value) for target, times, value in CHANNELS)
    return f"""<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <asset>
    <contributor><authoring_tool>make_animated_dae.py</authoring_tool></contributor>
    <unit name="meter" meter="1"/>
    <up_axis>{up_axis}</up_axis>
  </asset>
  <library_images>
{arm[0]}{tip[0]}  </library_images>
  <library_effects>
{arm[1]}{tip[1]}  </library_effects>
  <library_materials>
{arm[2]}{tip[2]}  </library_materials>
  <library_geometries>
{geometry("Body", b_pos, b_uv, b_polys, "ArmSkin")}{geometry("Cap", c_pos, c_uv, c_polys, "CapSkin")}  </library_geometries>
  <library_controllers>
{controller("Body", b_weights, globals_, [0, 1, 2])}{controller("Cap", c_weights, globals_, [3, 2])}  </library_controllers>
  <library_animations>
    <animation id="Wave" name="Wave">
{animations}    </animation>
  </library_animations>
  <library_animation_clips>
    <animation_clip id="Wave-clip" name="Wave" start="0" end="{SECONDS}">
      <instance_animation url="#Wave"/>
    </animation_clip>
  </library_animation_clips>
  <library_visual_scenes>
    <visual_scene id="Scene" name="Scene">
      <node id="Armature" name="Armature" type="NODE">
{transform_elements(ARMATURE, "        ")}{joint_nodes(0, "        ")}      </node>
{skinned_node("Body", "ArmSkin")}{skinned_node("Cap", "CapSkin")}    </visual_scene>
  </library_visual_scenes>
  <scene>
    <instance_visual_scene url="#Scene"/>
  </scene>
</COLLADA>
"""


def png(width, height, pixel):
    rows = b"".join(b"\x00" + bytes(v for x in range(width) for v in pixel(x, y)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for file_name, up_axis in (("animated_arm.dae", "Y_UP"), ("animated_arm_zup.dae", "Z_UP")):
        with open(os.path.join(out, file_name), "w", newline="\n") as f:
            f.write(document(up_axis))
    stripes = {"arm_skin.png": ((170, 120, 80), (120, 80, 50)), "cap_skin.png": ((60, 120, 190), (230, 230, 220))}
    for file_name, (a, b) in stripes.items():
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(png(16, 16, lambda x, y: a if (x + y) // 4 % 2 else b))


if __name__ == "__main__":
    main()
