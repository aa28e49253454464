#!/bin/sh
# Regenerates the sample-based test files in this folder from the sample's
# generator (needs python3 and Assimp's command line tool, Debian assimp-utils).
# Assimp 5.2.5 writes Collada whose animation it cannot read back, so the
# Collada files are made from the static variant; its ASCII FBX keeps the
# clips but only their first key. The animated Collada files come from
# make_animated_dae.py, beside this script.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
gen="$here/../../../examples/make_totem.py"
cd "$here"
python3 "$gen" static_scaled.gltf --static --armature-scale 0.5 --armature-turn 30
python3 "$gen" static.gltf --static
python3 "$gen" animated.gltf
assimp export static.gltf static.dae >/dev/null
sed 's|<up_axis>Y_UP</up_axis>|<up_axis>Z_UP</up_axis>|' static.dae > static_zup.dae
assimp export animated.gltf animated.fbx -ffbxa >/dev/null
sed -e 's|"UpAxis", "int", "Integer", "", 1|"UpAxis", "int", "Integer", "", 2|' \
    -e 's|"FrontAxis", "int", "Integer", "", 2|"FrontAxis", "int", "Integer", "", 1|' \
    -e 's|"FrontAxisSign", "int", "Integer", "", 1|"FrontAxisSign", "int", "Integer", "", -1|' \
    animated.fbx > animated_zup.fbx
rm static.gltf animated.gltf
