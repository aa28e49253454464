#include "export/frame_pipeline.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Frames come back in order, each in the slot it was made in, with any number
// of workers and slots; a worker's failure stops the rest and reaches the caller.
TEST(FramePipeline, HandsFramesOverInOrderAndPassesFailuresOn) {
    for (const int workers : {1, 2, 5})
        for (const size_t slots : {size_t{1}, size_t{3}, size_t{16}}) {
            std::vector<int32_t> made(slots, -1), handed;
            const auto caller = std::this_thread::get_id();
            bool handedElsewhere = false;
            RunFramePipeline(
                workers, 300, slots, [&](int, int32_t frame, size_t slot) { made[slot] = frame; },
                [&](int32_t frame, size_t slot) {
                    handedElsewhere |= std::this_thread::get_id() != caller;
                    EXPECT_EQ(made[slot], frame);
                    handed.push_back(frame);
                });
            ASSERT_EQ(handed.size(), 300u) << workers << " workers, " << slots << " slots";
            for (int32_t f = 0; f < 300; ++f) ASSERT_EQ(handed[static_cast<size_t>(f)], f);
            EXPECT_FALSE(handedElsewhere);

            int32_t last = -1;
            EXPECT_THROW(RunFramePipeline(
                             workers, 300, slots,
                             [&](int, int32_t frame, size_t) {
                                 if (frame == 57) throw std::runtime_error("frame 57");
                             },
                             [&](int32_t frame, size_t) { last = frame; }),
                         std::runtime_error);
            EXPECT_LT(last, 57);
        }
}

}  // namespace
