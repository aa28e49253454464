// Clip sampling, on keys as files hold them and as damaged files leave them.
#include "import/anim_sample.h"
#include "bake/exact_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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

// A node pose looks for each time's keys from where it found the last ones:
// in order, backwards, by jumps, over repeated times and within a track whose
// times are out of order or NaN, it poses as the track sampled on its own.
TEST(SampleTrack, NodePoseFindsTheSameKeysInAnyOrderOfTimes) {
    const std::vector<std::vector<double>> trackTimes = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 1, 1, 2, 5, 5, 8, 9, 9}, {0, 2, NAN, 3, 4, 5, 6, 7, 8, 9},
        {0, 5, 2, 3, 4, 1, 6, 7, 8, 9}};
    hm::imp::ExactScene scene;
    hm::imp::ExactClip clip;
    for (size_t n = 0; n < trackTimes.size(); ++n) {
        scene.nodeParent.push_back(-1);
        scene.nodeRest.push_back(hm::imp::Affine{});
        hm::imp::NodeTrack track;
        track.node = static_cast<int>(n);
        for (size_t k = 0; k < trackTimes[n].size(); ++k) {
            const double v = static_cast<double>(k * k);
            track.positions.push_back({trackTimes[n][k], {v, -v, 0.5 * v}});
            track.scales.push_back({trackTimes[n][k], {1 + v, 1, 1}});
            track.rotations.push_back({trackTimes[n][k], hm::imp::Quat{std::cos(v), 0, std::sin(v), 0}});
        }
        clip.nodes.push_back(track);
    }
    scene.clips = {clip};
    hm::imp::NodePose nodes(scene);
    const double order[] = {0.25, 0.5, 1,   1.5, 2.75, 3,  4.5, 4.75, 8.5, 9,   9.5, 8.75, 1.25,
                            5,    5.5, 2.5, 6,   0,    -1, 7,   1,    1.5, 2.5, 3.5, 4.5,  5.5};
    for (double ticks : order) {
        nodes.Evaluate({0, ticks});
        for (size_t n = 0; n < trackTimes.size(); ++n) {
            const hm::imp::Affine expected = hm::imp::Multiply(scene.axes, hm::imp::SampleTrack(clip.nodes[n], ticks));
            EXPECT_EQ(std::memcmp(&nodes.Globals()[n], &expected, sizeof expected), 0) << "track " << n << " at " << ticks;
        }
    }
}

}  // namespace
