// The names of a file's clips as the script class names its sequences: one
// word each, short enough for the engine, and telling the clips apart.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace hm::imp {

// The engine's names hold 64 bytes with the terminator. The host's 31 bytes
// bind bone, mesh and texture names, not sequences.
inline constexpr size_t kSequenceNameLimit = 63;

// One name per clip, in the clips' order: letters, digits and '_', at most
// kSequenceNameLimit characters, no two alike regardless of case. Blender and
// FBX put the owners before the take ("Armature|Armature|Walk"): those parts
// are dropped, from the front, as far as the names stay apart ("Walk"). A name
// too long keeps its end, or, where two ends are alike, the part from where
// they differ; a number ("_2") is added only to names that are alike in full.
// An empty name becomes "clip".
std::vector<std::string> SequenceNames(const std::vector<std::string>& clipNames);

}  // namespace hm::imp
