// Reads an exported set (mesh data file, animation file, script class file and
// the textures it names) as the engine would, and lists every inconsistency.
//
// Sets come from strangers, so the reader trusts none of their bytes:
// - Files are read only from the set's folder and below (from the package
//   folder and below when the set's folder is a package's Classes folder, where
//   the engine keeps script classes), and textures also from the folders in
//   ReadOptions::extraTextureFolders. Every path is resolved first (.. and
//   links followed): one that leads elsewhere is refused, and a problem names
//   it as the script class wrote it.
// - Nothing is allocated beyond what the file's bytes justify: the frames
//   read are at most those the animation file holds bytes for, images are
//   checked against their bytes before they are decoded (texture_image.h).
// - Messages and the names a page shows hold no path of the machine: names
//   relative to the set's folder, or the file name alone.
#pragma once

#include "view/script_class_reader.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace view {

struct SetPolygon {
    std::array<uint16_t, 3> corners;
    std::array<std::array<uint8_t, 2>, 3> uv;  // u, v per corner, as bytes
    uint8_t textureSlot;
    uint8_t type = 1, color = 0, flags = 0;  // bytes 6, 7 and 15 of the record
};

struct SetTexture {
    int slot = 0;             // MESHMAP SETTEXTURE NUM
    std::string name;         // the texture's name in the script class
    std::string file;         // FILE= as written, backslashes included
    std::string foundPath;    // empty when not found
    std::string shownPath;    // foundPath as a page may show it: relative to the set's folder ('/'
                              // between folders), or the file name alone where found outside it
    int width = 0, height = 0;
    bool masked = false;      // imported with FLAGS=2: entry 0 see-through (so in png)
    std::vector<uint8_t> png; // the image as PNG; empty when unreadable
    std::string sourcePath;         // the image it was converted from, when known (a path of this machine)
    std::string sourceName;         // its file name alone, for a page
    std::vector<uint8_t> sourcePng; // that image as PNG
};

struct Box {
    std::array<float, 3> min{0, 0, 0};
    std::array<float, 3> max{0, 0, 0};
};

struct ExportedSet {
    std::string meshName;
    std::string dataPath, animPath, scriptPath;  // as found; empty when missing

    // Mesh data file: the header's counts, and the triangles the engine reads
    // (those the header counts and the file holds).
    uint16_t headerPolygonCount = 0;
    uint16_t headerVertexCount = 0;
    std::vector<SetPolygon> polygons;

    // Animation file: the header, and its whole frames of vertexCount records
    // each (x, y, z, reserved as signed 16-bit, in the engine's axes; a file of
    // 4-byte records unpacked into them).
    uint16_t headerFrameCount = 0;
    uint16_t headerFrameSize = 0;
    uint32_t vertexCount = 0;
    uint32_t frameCount = 0;  // whole frames present (at most as many as the file holds bytes for)
    uint32_t recordBytes = 8;  // as the file stores a vertex: 8, or 4 where the frame size says so
    std::vector<int16_t> records;  // always frameCount x vertexCount x 4 values

    ScriptClass script;
    std::array<float, 3> scale{1, 1, 1};  // the mesh map's, in the engine's axes
    std::array<float, 3> origin{0, 0, 0}; // MESH ORIGIN, in record units
    std::vector<SetTexture> textures;

    std::vector<std::string> problems;  // what makes the set inconsistent
    std::vector<std::string> notes;     // worth knowing, harmless to the engine

    bool Consistent() const { return problems.empty(); }
};

struct ReadOptions {
    // Further folders searched for textures after the set's own (the folder
    // of the model an export came from, say), by file name; a file there
    // that links out of its folder is refused. A texture found only there
    // is a note, since the engine will not look there.
    std::vector<std::string> extraTextureFolders;
    // Texture file name -> the image it was converted from, shown beside it
    // (by its file name alone: a page names no folder of this machine).
    std::map<std::string, std::string> sourceImages;
    // Files of the set not yet in place: each path they will have, and the
    // file that holds their bytes until then. They are read as if in place
    // (they are the caller's own files, so not held to the set's folder).
    std::map<std::string, std::string> staged;
};

// PATH is any file of the set or the name chosen in the save dialog. Never
// throws: a missing or damaged file is a problem and the rest is still read.
ExportedSet ReadExportedSet(const std::string& path, const ReadOptions& options = {});

// The set's base path (folder and mesh name, no suffix) for any file of it.
std::string SetBasePath(const std::string& path);

// Vertex n of frame f in model space: each record coordinate less the mesh's
// origin, times the mesh map's scale on its axis, rounded once to a 32-bit
// float (with the origin at 0, as we write it, the product is exact).
std::array<float, 3> DecodePosition(const ExportedSet& set, uint32_t frame, uint32_t vertex);

// The box of every decoded position of every frame, or of the first frame
// only (the model at rest, as the page frames it); zero when there is none.
Box DecodedBox(const ExportedSet& set, bool firstFrameOnly = false);

}  // namespace view
