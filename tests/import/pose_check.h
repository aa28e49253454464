// Two independent views of where a model's vertices are at a moment of a
// clip: the host model posed as the plug-in poses it, and Assimp's own data.
#pragma once

#include "host/host_model.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <array>
#include <string>
#include <vector>

namespace testing_pose {

using Point = std::array<double, 3>;

// Every vertex of the model, mesh by mesh, posed at the frame: rest from each
// bone's Euler angles (Rz*Ry*Rx) and position, each keyed bone at
// localRest * K with K from its keys at exactly that time, parents found by name.
std::vector<Point> PoseHostModel(const hmModel& model, int frame);

// How the reference deforms a skinned vertex: by its heaviest bone,
// global(bone) * offset * v, as the host does; or by all of its bones, the
// sum of those weighted by their share of the vertex's weights, after its
// mesh's morph targets, as the source format defines it.
enum class Skinning { kHeaviestBone, kFull };

// The same file read by Assimp with the importer's processing; vertices in
// node order.
class AssimpReference {
public:
    explicit AssimpReference(const std::string& path);
    bool Loaded() const { return scene_ != nullptr; }
    const aiScene& Scene() const { return *scene_; }
    // animation -1: the nodes as the file states them.
    std::vector<Point> Pose(int animation, double seconds, Skinning skinning = Skinning::kHeaviestBone) const;

private:
    Assimp::Importer importer_;
    const aiScene* scene_ = nullptr;
};

// Largest distance between corresponding points (infinity when the counts differ).
double LargestDistance(const std::vector<Point>& a, const std::vector<Point>& b);
// Largest absolute coordinate, to judge distances against the model's size.
double Extent(const std::vector<Point>& points);

}  // namespace testing_pose
