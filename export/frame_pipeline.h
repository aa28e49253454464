// Frames made on several threads and handed over in frame order on the
// calling thread, with a bounded number of frames in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The most threads a bake is given.
inline constexpr int kMaxBakeThreads = 256;

// The machine's cores, at most kMaxBakeThreads (1 when they cannot be told).
int MachineThreads();

// Makes frames 0 to count - 1 with make(worker, frame, slot) on `workers`
// threads, and hands each to hand(frame, slot) on the calling thread, frame 0
// first. A worker (0 to workers - 1) makes one frame at a time; a slot (0 to
// slots - 1) belongs to its frame from make until hand returns, so at most
// `slots` frames are in flight. hand runs only on the calling thread, so only
// hand may use what belongs to that thread (the host's model).
//
// With one worker no thread is started: make and hand alternate on the
// calling thread. Otherwise make runs on threads of its own. An exception from make or hand stops the work: once every
// worker has stopped, the first one is thrown here.
void RunFramePipeline(int workers, int32_t count, size_t slots,
                      const std::function<void(int worker, int32_t frame, size_t slot)>& make,
                      const std::function<void(int32_t frame, size_t slot)>& hand);
