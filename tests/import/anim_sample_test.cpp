// Clip sampling on keys as a damaged file leaves them.
#include "import/anim_sample.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Times out of order or NaN once sent the key search past the last key (the
// importer fuzz target found it; the sanitizer build sees the read).
TEST(ClipSampling, KeysWithTimesOutOfOrderOrNaNStayInTheirArray) {
    const double times[][3] = {{0, 0.2, NAN}, {0, 5, 0.1}, {NAN, NAN, NAN}};
    for (const auto& keyTimes : times) {
        aiNodeAnim channel;
        channel.mNumPositionKeys = 3;
        channel.mPositionKeys = new aiVectorKey[3];
        for (unsigned k = 0; k < 3; ++k)
            channel.mPositionKeys[k] = aiVectorKey(keyTimes[k], aiVector3D(float(k), 0, 0));
        for (double ticks : {0.5, 3.0, double(NAN)}) {
            const hm::imp::Affine pose = hm::imp::SampleChannel(channel, ticks, aiMatrix4x4());
            EXPECT_TRUE((pose.t.x >= 0 && pose.t.x <= 2) || std::isnan(pose.t.x)) << ticks;
        }
    }
}

}  // namespace
