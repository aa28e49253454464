// The script class file (".uc"): a class whose directives import the two mesh
// files, declare the animation, the mesh scale and one texture per material.
#pragma once

#include "export/export_log.h"
#include "output/output_file.h"
#include "host/hm_model_lib.h"

#include <cstdint>
#include <string>
#include <vector>

// The rate the engine plays a sequence at when its line states none.
inline constexpr float kDefaultSequenceRate = 30;

// A stretch of the animation file's frames the engine plays as one sequence.
struct AnimationSequence {
    std::string name;  // one word, unique within the mesh
    int64_t startFrame;
    int64_t frameCount;
    float rate = kDefaultSequenceRate;  // frames per second, finite and above 0
};

// The directive that declares a sequence of the mesh, with its line end "\n";
// RATE= only where the rate is not the engine's default, as the shortest
// decimal (no exponent) that reads back as the same float, whatever the locale.
std::string SequenceLine(const std::string& meshName, const AnimationSequence& sequence);

// The mesh map's scale is 1 / scale as a 32-bit float, which undoes the
// animation file's quantisation; an infinite scale (nothing moved away from
// the origin) gives 0.000000. The sequence "All" spans every frame; sequences
// follow it, below the comment that invites them. A texture name is written
// as the host reports it, but for the characters that would break its
// directive: a control character (a line break would end the directive and
// start one of the name's making), a space or ',' (either ends the file name
// where the engine reads it) and '=' (the engine finds "GROUP=" or "FLAGS="
// inside the name first). Each becomes '_', and the log says so.
void WriteScriptClassFile(hmModel* model, OutputFile& file, const std::string& meshName, uint16_t frameCount,
                          float scale, ExportLog& log, const std::vector<AnimationSequence>& sequences = {});
