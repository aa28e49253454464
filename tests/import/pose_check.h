// Two independent views of where a model's vertices are at a moment of a
// clip: the host model posed as the plug-in poses it, and Assimp's own data.
#pragma once

#include "host/host_model.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <array>
#include <map>
#include <string>
#include <vector>

namespace testing_pose {

using Point = std::array<double, 3>;

// Every vertex of the model, mesh by mesh, posed at the frame: rest from each
// bone's Euler angles (Rz*Ry*Rx) and position, each keyed bone at
// localRest * K with K from its keys at exactly that time, parents found by name.
std::vector<Point> PoseHostModel(const hmModel& model, int frame);

// How the reference moves a skinned vertex: by its heaviest bone alone, as
// the host's one bone per vertex does, or by every weight after its mesh's
// morph targets, as the source format defines it.
enum class Skinning { HeaviestBone, AllWeights, kHeaviestBone = HeaviestBone, kFull = AllWeights };

// The same file read by Assimp with the importer's processing, evaluated by
// node: a bone or channel whose name several nodes share means the one
// without a mesh, and among those the one under most of the skin's other
// bones. Vertices that triangles use, mesh placement by mesh placement in
// node order: a skinned one moved by its bones (global(bone) * offset * v),
// any other by its node, all in the axes the file states.
class AssimpReference {
public:
    explicit AssimpReference(const std::string& path, Skinning skinning = Skinning::HeaviestBone);
    bool Loaded() const { return scene_ != nullptr; }
    const aiScene& Scene() const { return *scene_; }
    // animation -1: the nodes as the file states them. Times past the clip's
    // end (or its last key, when that lies later) hold the end.
    std::vector<Point> Pose(int animation, double seconds) const { return Pose(animation, seconds, skinning_); }
    std::vector<Point> Pose(int animation, double seconds, Skinning skinning) const;

private:
    Assimp::Importer importer_;
    const aiScene* scene_ = nullptr;
    Skinning skinning_;
    std::vector<const aiNode*> nodes_;  // depth first
    std::vector<int> parents_;
    std::vector<std::vector<int>> boneNodes_;  // per mesh, per bone
};

// Largest distance between corresponding points (infinity when the counts differ).
double LargestDistance(const std::vector<Point>& a, const std::vector<Point>& b);
// Largest absolute coordinate, to judge distances against the model's size.
double Extent(const std::vector<Point>& points);

}  // namespace testing_pose
