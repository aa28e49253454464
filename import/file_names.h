// Nodes that share a name in the file, told apart before Assimp reads it.
// Assimp hands bones and animation channels over by name only, and in FBX it
// even merges the curves of same-named models into one channel; a file read
// with every node's name unique keeps each skin bound to its own bones and
// each channel on its own node. The names are put back once the nodes are bound.
#pragma once

#include <assimp/scene.h>

#include <map>
#include <string>
#include <vector>

namespace hm::imp {

struct FileNames {
    // The file's bytes with its shared names made unique, for the IO system
    // (import/model_files.h); empty when the file needs no change or is not one this reads
    // (binary FBX, glTF and glb).
    std::string rewritten;
    std::map<std::string, std::string> original;  // each made-up name and the name it stands for
    // glTF: what is wrong with each image's data URI that Assimp passes on as
    // no image at all (no comma before the data, data not in base64), a
    // warning's text each.
    std::vector<std::string> unreadableImages;
};

FileNames MakeNamesUnique(const std::string& path);

// The made-up names replaced by the file's own, wherever Assimp put them.
void RestoreNames(aiScene& scene, const FileNames& names);

}  // namespace hm::imp
