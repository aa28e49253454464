// Clip sampling, on keys as files hold them and as damaged files leave them.
#include "import/anim_sample.h"
#include "import/exact_pose.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using hm::imp::Affine;

aiAnimation Clip(double ticksPerSecond, double duration) {
    aiAnimation clip;
    clip.mTicksPerSecond = ticksPerSecond;
    clip.mDuration = duration;
    return clip;
}

TEST(TimeClip, FramesCoverBothEndsAndRoundingPastAFrameEarnsNone) {
    struct Case {
        double ticksPerSecond, duration, fps;
        int64_t frames;
    };
    const Case cases[] = {
        {30, 30, 30, 31},         // one second: frames 0 to 30
        {30, 30.0001, 30, 31},    // a hair past the last frame
        {30, 30.1, 30, 32},       // clearly past it: one more, at or past the end
        {0, 25, 10, 11},          // no rate in the file: 25 ticks a second
        {24, 0, 30, 1},           // no length: one frame
        {24, std::nan(""), 30, 1},
    };
    for (const Case& c : cases) {
        const aiAnimation clip = Clip(c.ticksPerSecond, c.duration);
        EXPECT_EQ(hm::imp::TimeClip(clip, c.fps).frames, c.frames) << c.ticksPerSecond << " " << c.duration;
    }
}

// Positions between keys linearly, held before the first and after the last;
// rotations along the shortest arc; kinds without keys from the node.
TEST(SampleTrack, InterpolatesHoldsAndFallsBackOnTheNode) {
    aiNodeAnim channel;
    channel.mNumPositionKeys = 2;
    channel.mPositionKeys = new aiVectorKey[2]{{0, {0, 0, 0}}, {10, {10, 4, 0}}};
    channel.mNumRotationKeys = 2;
    const float s = std::sqrt(0.5f);
    // The second key is the quarter turn about z written as its negative.
    channel.mRotationKeys = new aiQuatKey[2]{{0, {1, 0, 0, 0}}, {10, {-s, 0, 0, -s}}};
    aiMatrix4x4 node;
    aiMatrix4x4::Scaling(aiVector3D(2, 2, 2), node);

    const hm::imp::NodeTrack track = hm::imp::TrackOf(channel, 0, node);
    const Affine half = hm::imp::SampleTrack(track, 5);
    EXPECT_DOUBLE_EQ(half.t.x, 5);
    EXPECT_DOUBLE_EQ(half.t.y, 2);
    // An eighth of a turn about z (the short way), scaled by the node's 2.
    EXPECT_NEAR(half.m[0][0], 2 * std::cos(M_PI / 4), 1e-6);
    EXPECT_NEAR(half.m[1][0], 2 * std::sin(M_PI / 4), 1e-6);

    EXPECT_DOUBLE_EQ(hm::imp::SampleTrack(track, -3).t.x, 0);
    EXPECT_DOUBLE_EQ(hm::imp::SampleTrack(track, 12).t.y, 4);
}

// Times out of order or NaN once sent the key search past the last key (the
// importer fuzz target found it; the sanitizer build sees the read).
TEST(SampleTrack, KeysWithTimesOutOfOrderOrNaNStayInTheirArray) {
    const double times[][3] = {{0, 0.2, NAN}, {0, 5, 0.1}, {NAN, NAN, NAN}, {5, 0, 1}};
    for (const auto& keyTimes : times) {
        hm::imp::NodeTrack track;
        for (unsigned k = 0; k < 3; ++k) track.positions.push_back({keyTimes[k], {double(k), 0, 0}});
        for (double ticks : {0.5, 3.0, double(NAN)}) {
            const hm::imp::Affine pose = hm::imp::SampleTrack(track, ticks);
            EXPECT_TRUE((pose.t.x >= 0 && pose.t.x <= 2) || std::isnan(pose.t.x)) << ticks;
        }
    }
}

}  // namespace
