// Poses the skeleton at a frame from the bones' keys, and gives each vertex's
// model-space position under the pose last evaluated.
#pragma once

#include "host/hm_model_lib.h"
#include "skeleton/transform_math.h"

#include <cstdint>

// Writes localPose and absolutePose of every keyed bone, and sets absolutePose
// of every bone without keys to its absoluteBind. Expects the model last given
// to SetupBindPose: the parents and the parents-first order come from that
// call (names do not change during a run). Bones beyond the count that call
// set up are left alone, so without a SetupBindPose nothing is done; a null
// model is ignored. A bone with keys of one kind only takes zero translation,
// or the identity rotation, for the kind it lacks.
void EvaluatePose(hmModel* model, int32_t frame);

// The vertex under the last evaluated pose (the rest pose right after
// SetupBindPose). A vertex attached to no bone of the model set up last comes
// out at its stored position, bit for bit; a null vertex at (0, 0, 0).
void GetPosedVertex(Vector3& out, const HostVertex* vertex);

// The first key whose time is >= t, or the key count when there is none, found
// by bisection over keys in ascending time. Matches a walk from the first key
// also when some times are NaN (the walk steps over them, as every comparison
// with NaN is false). Keys out of order yield some index in 0..count, never
// a read outside the keys.
int32_t FindNextPositionKey(HostBone* bone, float t);
int32_t FindNextRotationKey(HostBone* bone, float t);
