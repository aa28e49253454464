// Large host models for measuring the export: many vertices over several
// meshes, a deep bone chain, and a key at every frame for every bone.
#pragma once

#include "host/host_model.h"
#include "bake/exact_scene.h"

struct GeneratedModelSize {
    int vertices = 20000;  // in all, over the meshes; at most 65535 for the format
    int meshes = 8;
    int bones = 60;        // a chain: bone i's parent is bone i - 1
    int frames = 600;
};

// The same size always gives the same model. Triangles join neighbouring
// vertices of a mesh; every vertex is bound to a bone.
hm::ModelPtr GenerateModel(const GeneratedModelSize& size);

// The same meshes as the host model of that size (vertices, texture
// coordinates, triangles) with the deformation the exact bake evaluates: a
// chain of nodes keyed at every frame, `influences` joints on every vertex,
// and two morph targets per mesh, each moving half its vertices, whose weights
// are keyed every ten frames.
hm::imp::ExactScene GenerateExactScene(const GeneratedModelSize& size, int influences = 4);

// The meshes of the host model of that size as a glTF file (path, with its
// buffer beside it as <stem>.bin): each vertex weighted to four joints of a
// chain keyed at every frame (translation and rotation), one clip at 30 frames
// a second. False when a file cannot be written.
bool WriteGeneratedGltf(const GeneratedModelSize& size, const std::string& path);
