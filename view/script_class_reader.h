// Reads the #exec directives of a script class file as the engine's script
// compiler does: keys in any case, lines a user edited or added included.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace view {

// The RATE= a sequence may have, in frames per second: the range of the
// exporter's --fps (import/model_import.h), which the glTF file's way back
// passes it to. Outside it a line is refused, as a problem naming the sequence.
inline constexpr float kMinRate = 0.001f, kMaxRate = 100000;

// The largest position a mesh map's scale and origin may decode a record to:
// far beyond any model, and far enough within a float's range that positions,
// their differences and their sums stay finite.
inline constexpr float kMaxDecodedPosition = 1e30f;

struct Sequence {
    std::string name;
    int firstFrame = 0;
    int frameCount = 0;
    float rate = 0;  // frames per second, kMinRate to kMaxRate; 0 when the line gives none
    int line = 0;    // 1-based, for messages
};

struct TextureImport {
    std::string name;
    std::string file;  // as written
    int line = 0;
    bool masked = false;  // FLAGS with 2 set: palette entry 0 is see-through
};

struct TextureAssignment {
    int slot = 0;
    std::string texture;
    int line = 0;
};

struct ScriptClass {
    std::string importMesh;  // MESH IMPORT's MESH=, empty without that line
    std::string animFile, dataFile;  // its ANIVFILE= and DATAFILE=
    bool hasScale = false;
    std::array<float, 3> scale{1, 1, 1};  // MESHMAP SCALE X, Y, Z
    std::array<float, 3> origin{0, 0, 0}; // MESH ORIGIN X, Y, Z
    std::vector<Sequence> sequences;
    std::vector<TextureImport> textures;
    std::vector<TextureAssignment> assignments;
    std::vector<std::string> problems;  // lines the compiler would reject
    std::vector<std::string> notes;
};

// meshName selects the directives that concern the set; those for another
// mesh are noted and left out.
ScriptClass ReadScriptClass(const std::string& text, const std::string& meshName);

}  // namespace view
