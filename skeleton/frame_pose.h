// The key search that poses the skeleton at a frame (BoneTable::EvaluatePose
// and the posed vertices are defined beside it, in frame_pose.cpp).
#pragma once

#include "host/hm_model_lib.h"

#include <cstdint>

// The first key whose time is >= t, or the key count when there is none, found
// by bisection over keys in ascending time. Matches a walk from the first key
// also when some times are NaN (the walk steps over them, as every comparison
// with NaN is false). Keys out of order yield some index in 0..count, never
// a read outside the keys.
int32_t FindNextPositionKey(HostBone* bone, float t);
int32_t FindNextRotationKey(HostBone* bone, float t);
