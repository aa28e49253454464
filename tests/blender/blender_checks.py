"""What the Blender test scripts share: checks that are counted, not raised,
so that one run reports every failure, and an empty scene to build in."""

import bpy

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def clear_scene():
    for collection in (bpy.data.objects, bpy.data.meshes, bpy.data.armatures, bpy.data.actions):
        for item in list(collection):
            collection.remove(item)
