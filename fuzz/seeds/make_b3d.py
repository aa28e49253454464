#!/usr/bin/env python3
"""Writes skinned.b3d, the B3D fuzz target's seed: a textured quad of two
triangles on two bones, the second keyed over three frames."""
import struct


def chunk(tag, body):
    return tag + struct.pack("<i", len(body)) + body


def name(text):
    return text.encode() + b"\0"


def node(label, position, rotation, body):
    # position, scale, rotation (w, x, y, z)
    return chunk(b"NODE", name(label) + struct.pack("<3f3f4f", *position, 1, 1, 1, *rotation) + body)


texs = chunk(b"TEXS", name("skin.png") + struct.pack("<ii5f", 1, 2, 0, 0, 1, 1, 0))
brus = chunk(b"BRUS", struct.pack("<i", 1) + name("Skin") + struct.pack("<5fiii", 1, 1, 1, 1, 0, 1, 0, 0))
corners = [(-1, 0, 0, 0, 1), (1, 0, 0, 1, 1), (1, 2, 0, 1, 0), (-1, 2, 0, 0, 0)]
vrts = chunk(b"VRTS", struct.pack("<iii", 0, 1, 2) + b"".join(struct.pack("<5f", *c) for c in corners))
tris = chunk(b"TRIS", struct.pack("<i", 0) + struct.pack("<6i", 0, 1, 2, 0, 2, 3))
mesh = chunk(b"MESH", struct.pack("<i", 0) + vrts + tris)
keys = chunk(b"KEYS", struct.pack("<i", 1 | 4) + b"".join(
    struct.pack("<i3f4f", frame, 0, 1, 0, w, 0, 0, z) for frame, w, z in [(1, 1, 0), (2, 0.924, 0.383), (3, 0.707, 0.707)]))
tip = node("tip", (0, 1, 0), (1, 0, 0, 0), chunk(b"BONE", struct.pack("<ifif", 2, 1.0, 3, 1.0)) + keys)
root = node("root", (0, 0, 0), (1, 0, 0, 0), chunk(b"BONE", struct.pack("<ifif", 0, 1.0, 1, 1.0)) + tip)
anim = chunk(b"ANIM", struct.pack("<iif", 0, 3, 30.0))
model = node("Quad", (0, 0, 0), (1, 0, 0, 0), mesh + root + anim)
with open("skinned.b3d", "wb") as out:
    out.write(chunk(b"BB3D", struct.pack("<i", 1) + texs + brus + model))
