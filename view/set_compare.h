// Compares two exported sets as the engine sees them: the check that a set
// read back and exported again is the set it came from.
#pragma once

#include "view/exported_set.h"

#include <string>
#include <vector>

namespace view {

struct SetComparison {
    bool sameMeshData = false;   // the mesh data files, byte for byte
    // The triangles as the engine draws them: slot, type, texture coordinates
    // and each corner's record in every frame (within largestStep), whatever
    // the vertices' numbers. Holds where vertices alike in everything came back merged.
    bool sameDrawing = false;
    bool sameFrames = false;     // frame count and vertex count
    int largestStep = 0;         // the largest difference of one record coordinate
    size_t coordinatesOff = 0;   // record coordinates that differ at all
    bool sameSequences = false;  // names (in any case), first frames and lengths, in any order
    bool sameTextures = false;   // each slot's image, pixel for pixel within textureTolerance
    std::vector<std::string> differences;  // one line for each of the above that fails

    // The set came back: the mesh data and sequences the same, the frames
    // within steps, the textures alike.
    bool Holds(int steps) const {
        return sameMeshData && sameFrames && largestStep <= steps && sameSequences && sameTextures;
    }
    // The same, but the vertices may be numbered and merged otherwise.
    bool HoldsAsDrawn(int steps) const {
        return sameDrawing && largestStep <= steps && sameSequences && sameTextures;
    }
};

// Colour channels of two images of one texture may differ by this much (a
// palette chosen again for an image that had more colours than it holds).
constexpr int kTextureTolerance = 8;

SetComparison CompareSets(const ExportedSet& original, const ExportedSet& copy);

}  // namespace view
