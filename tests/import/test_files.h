// Small model files written by the tests themselves, for cases no real file
// shows cheaply: too many bones, a prop riding an animated node, a file
// without meshes, loose lines and points, long and repeated names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_files {

void WriteText(const std::string& path, const std::string& text);

// glTF: a triangle skinned to the two ends of a chain of `bones` joints.
std::string ChainGltf(int bones);
// glTF: an unskinned triangle whose node's parent turns 90 degrees about Y over one second.
std::string PropOnAnimatedNodeGltf();
// glTF: a triangle skinned to the joint "Right/joint" (x = 5), in a file where
// "Left/joint" (x = -5), listed first, carries the same name.
std::string SharedJointNameGltf();
// glTF: a node and nothing else.
std::string NoMeshGltf();

// glTF: a ladder of vertex pairs up a chain of `bones` joints, each pair held
// by `influences` neighbouring joints with unequal weights (8 at most), every
// joint turning about z by `bendDegrees` / bones over a one-second clip "Bend".
// With morph, two targets whose weights the clip animates push the ladder out
// of its plane and widen its top.
struct LadderOptions {
    int bones = 2;
    int influences = 2;
    int levels = 8;
    double bendDegrees = 90;
    double halfWidth = 0.25;
    bool morph = false;
    // The ladder's back as faces of their own: each vertex again with the
    // opposite normal, held a little more by its heaviest joint.
    bool backFaces = false;
};
std::string LadderGltf(const LadderOptions& options);
// What only the exact bake exports: 200 bones, 8 influences a vertex, morph targets.
LadderOptions FaceRigLadder();

// glTF: one mesh of `triangles` triangles (with texture coordinates) per
// material, side by side.
struct GltfMaterial {
    std::string name{};
    std::string imageUri{};            // the base colour image's URI ("" for none)
    std::vector<uint8_t> embeddedPng{};  // else an image held in the file
    bool doubleSided = true;
    std::string alphaMode = "OPAQUE";
    bool unlit = false;
    int triangles = 1;
};
std::string MaterialsGltf(const std::vector<GltfMaterial>& materials);

}  // namespace test_files
