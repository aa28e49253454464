#include "export/frame_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

int MachineThreads() {
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, static_cast<unsigned>(kMaxBakeThreads)));
}

namespace {

// What the workers and the calling thread share, under one lock: which frame
// is claimed next, which frames are made, and whether to stop.
struct Pipeline {
    std::mutex lock;
    std::condition_variable slotFree;  // a frame was handed over, or the work stops
    std::condition_variable frameMade;
    int32_t next = 0;    // the next frame a worker claims
    int32_t handed = 0;  // frames handed over so far
    std::vector<char> made;  // per slot
    bool stop = false;
    std::exception_ptr failure;

    void Fail(std::exception_ptr error) {
        std::lock_guard<std::mutex> hold(lock);
        if (!failure) failure = error;
        stop = true;
        slotFree.notify_all();
        frameMade.notify_all();
    }
};

}  // namespace

void RunFramePipeline(int workers, int32_t count, size_t slots,
                      const std::function<void(int, int32_t, size_t)>& make,
                      const std::function<void(int32_t, size_t)>& hand) {
    if (count <= 0) return;
    slots = std::max<size_t>(slots, 1);
    if (workers <= 1) {
        for (int32_t frame = 0; frame < count; ++frame) {
            make(0, frame, 0);
            hand(frame, 0);
        }
        return;
    }

    Pipeline state;
    state.made.assign(slots, 0);
    // Claims the next frame when its slot is free; false when there is none to claim.
    auto claim = [&](int32_t& frame) {
        if (state.stop || state.next >= count || static_cast<size_t>(state.next - state.handed) >= slots) return false;
        frame = state.next++;
        return true;
    };
    auto makeClaimed = [&](int worker, int32_t frame) {
        const size_t slot = static_cast<size_t>(frame) % slots;
        make(worker, frame, slot);
        std::lock_guard<std::mutex> hold(state.lock);
        state.made[slot] = 1;
        state.frameMade.notify_all();
    };
    auto work = [&](int worker) {
        try {
            for (;;) {
                int32_t frame = count;  // stays so when there is no frame to claim
                {
                    std::unique_lock<std::mutex> hold(state.lock);
                    state.slotFree.wait(hold, [&] { return state.stop || state.next >= count || claim(frame); });
                    if (state.stop || frame >= count) return;
                }
                makeClaimed(worker, frame);
            }
        } catch (...) {
            state.Fail(std::current_exception());
        }
    };

    // The calling thread is the last worker: between handing frames over it
    // makes frames itself, so that all threads together use the cores.
    const int caller = workers - 1;
    std::vector<std::thread> threads;
    try {
        // Fewer threads than asked for, when the system will not start more,
        // still do all the work.
        for (int worker = 0; worker < caller; ++worker) threads.emplace_back(work, worker);
    } catch (const std::system_error&) {
    }
    try {
        bool stopped = false;
        for (int32_t frame = 0; frame < count && !stopped; ++frame) {
            const size_t slot = static_cast<size_t>(frame) % slots;
            for (;;) {
                int32_t claimed = -1;
                {
                    std::unique_lock<std::mutex> hold(state.lock);
                    state.frameMade.wait(hold, [&] { return state.stop || state.made[slot] || claim(claimed); });
                    stopped = state.stop;
                    if (stopped || claimed < 0) break;  // stopped, or the frame is made
                }
                makeClaimed(caller, claimed);
            }
            if (stopped) break;
            hand(frame, slot);
            std::lock_guard<std::mutex> hold(state.lock);
            state.made[slot] = 0;
            state.handed = frame + 1;
            state.slotFree.notify_all();
        }
    } catch (...) {
        state.Fail(std::current_exception());
    }
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.stop = true;
        state.slotFree.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
    if (state.failure) std::rethrow_exception(state.failure);
}
