// Small model files written by the tests themselves, for cases no real file
// shows cheaply: too many bones, a prop riding an animated node, a file
// without meshes, loose lines and points, long and repeated names.
#pragma once

#include <string>

namespace test_files {

void WriteText(const std::string& path, const std::string& text);

// glTF: a triangle skinned to the two ends of a chain of `bones` joints.
std::string ChainGltf(int bones);
// glTF: an unskinned triangle whose node's parent turns 90 degrees about Y over one second.
std::string PropOnAnimatedNodeGltf();
// glTF: a triangle skinned to a joint named "joint", in a file where two
// nodes without meshes, "Left/joint" and "Right/joint", carry that name.
std::string AmbiguousJointGltf();
// glTF: a node and nothing else.
std::string NoMeshGltf();

}  // namespace test_files
