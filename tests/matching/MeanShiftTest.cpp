#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/Log.h"
#include "matching/MatchCandidates.h"
#include "matching/MeanShift.h"

using namespace veltrix;

namespace {

// A search object whose transformation space holds the given twists (pairs without shapes).
struct TwistSpace {
    ShapeModel source{1}, target{1};
    MatchCandidates mc{&source, &target};
    explicit TwistSpace(const std::vector<FeatureVector>& twists) {
        mc.sourceIndex.assign(twists.size(), 0);
        mc.targetIndex.assign(twists.size(), 0);
        mc.transformations.assign(twists.size(), RigidTransform());
        mc.transformationSpace.setPoints(twists);
    }
    std::string run(float sqBandwidth, float rate, int maxIterations) {
        LogCapture log;
        mc.clusters = clusterMotions(mc.transformationSpace, {sqBandwidth, rate, maxIterations, 0.0f});
        return log.out();
    }
};

FeatureVector along(float x) { return {x, 0, 0, 0, 0, 0}; }

}  // namespace

TEST(MeanShift, FindsSeededClustersSortedBySize) {
    std::mt19937 rng(2024);
    std::normal_distribution<float> noise(0.0f, 0.08f);
    const FeatureVector centres[3] = {{0, 0, 0, 0, 0, 0}, {3, 0, 0, 0.5f, 0, 0}, {0, -3, 1, 0, 0, 1}};
    const int sizes[3] = {15, 60, 35};  // deliberately not in size order
    std::vector<FeatureVector> twists;
    std::vector<int> blob;
    for (int b = 0; b < 3; ++b)
        for (int k = 0; k < sizes[b]; ++k) {
            FeatureVector t = centres[b];
            for (float& c : t) c += noise(rng);
            twists.push_back(t);
            blob.push_back(b);
        }
    for (int k = 0; k < 4; ++k) {  // isolated twists
        twists.push_back({20.0f + 5 * k, 20, 0, 0, 0, 0});
        blob.push_back(-1);
    }
    // Interleave so that cluster order does not follow index order.
    std::vector<int> order(twists.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = int(i);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<FeatureVector> shuffled;
    std::vector<int> shuffledBlob;
    for (int i : order) {
        shuffled.push_back(twists[i]);
        shuffledBlob.push_back(blob[i]);
    }

    TwistSpace s(shuffled);
    const std::string out = s.run(0.6f * 0.6f, 1.0f, 50);
    EXPECT_NE(out.find("*** Found total 4 clusters!"), std::string::npos);
    ASSERT_EQ(s.mc.clusters.modes.size(), 4);
    EXPECT_EQ(s.mc.clusters.sizes, (std::vector<int>{4, 60, 35, 15}));
    const int clusterOfBlob[3] = {3, 1, 2};
    for (std::size_t i = 0; i < shuffled.size(); ++i)
        EXPECT_EQ(s.mc.clusters.label[i], shuffledBlob[i] < 0 ? 0 : clusterOfBlob[shuffledBlob[i]]);
    for (float c : s.mc.clusters.modes.point(0)) EXPECT_EQ(c, 0.0f);
    for (int b = 0; b < 3; ++b)
        for (int c = 0; c < 6; ++c)
            EXPECT_NEAR(s.mc.clusters.modes.point(clusterOfBlob[b])[c], centres[b][c], 0.05f);
}

TEST(MeanShift, WithoutIterationsClustersTheUnshiftedTwists) {
    // With bandwidth 1: a and b group; c only reaches b, which is taken, and forms a cluster of
    // its own of size 1; d reaches nothing and stays unclustered.
    const std::vector<FeatureVector> twists = {along(0.0f), along(0.9f), along(1.8f), along(10.0f)};
    for (int maxIterations : {0, -3}) {
        TwistSpace s(twists);
        const std::string out = s.run(1.0f, 1.0f, maxIterations);
        EXPECT_EQ(out.find("Iteration"), std::string::npos);
        EXPECT_EQ(s.mc.clusters.label, (std::vector<int>{1, 1, 2, 0}));
        EXPECT_EQ(s.mc.clusters.sizes, (std::vector<int>{1, 2, 1}));
        EXPECT_FLOAT_EQ(s.mc.clusters.modes.point(1)[0], 0.45f);
        EXPECT_FLOAT_EQ(s.mc.clusters.modes.point(2)[0], 1.8f);
    }
    // Rate 0 never moves a point: everything settles in the first iteration.
    TwistSpace still(twists);
    const std::string out = still.run(1.0f, 0.0f, 10);
    EXPECT_NE(out.find("id Iteration 0 - 000%"), std::string::npos);
    EXPECT_EQ(out.find("Iteration 1"), std::string::npos);
    EXPECT_EQ(still.mc.clusters.label, (std::vector<int>{1, 1, 2, 0}));
}

TEST(MeanShift, RateOneMovesStraightToTheMean) {
    TwistSpace s({along(0.0f), along(0.9f)});
    const std::string out = s.run(1.0f, 1.0f, 10);
    // Iteration 0 moves both to 0.45, iteration 1 finds them settled.
    EXPECT_NE(out.find("id Iteration 1 - "), std::string::npos);
    EXPECT_EQ(out.find("Iteration 2"), std::string::npos);
    ASSERT_EQ(s.mc.clusters.modes.size(), 2);
    EXPECT_FLOAT_EQ(s.mc.clusters.modes.point(1)[0], 0.45f);
    EXPECT_EQ(s.mc.clusters.sizes, (std::vector<int>{0, 2}));

    // A shift of squared length 0.0009 (below 0.001) does not count as a move.
    TwistSpace near({along(0.0f), along(0.06f)});
    const std::string nearOut = near.run(1.0f, 1.0f, 10);
    EXPECT_EQ(nearOut.find("Iteration 1"), std::string::npos);
    EXPECT_EQ(near.mc.clusters.sizes, (std::vector<int>{0, 2}));
}

TEST(MeanShift, EmptySpaceGivesOnlyTheUnclusteredGroup) {
    TwistSpace s({});
    const std::string out = s.run(1.0f, 1.0f, 10);
    EXPECT_NE(out.find("*** Found total 1 clusters!"), std::string::npos);
    EXPECT_EQ(s.mc.clusters.sizes, (std::vector<int>{0}));
    EXPECT_TRUE(s.mc.clusters.label.empty());
}

TEST(SortClusters, KeepsGroupZeroFirstAndRelabelsPairs) {
    TwistSpace s({along(0), along(1), along(2), along(3), along(4), along(5)});
    s.mc.clusters.modes.setPoints({along(0), along(10), along(20), along(30)});
    s.mc.clusters.sizes = {7, 1, 3, 2};
    s.mc.clusters.label = {1, 2, 2, 0, 3, 2};
    s.mc.clusters.sortBySize();
    EXPECT_EQ(s.mc.clusters.sizes, (std::vector<int>{7, 3, 2, 1}));
    EXPECT_EQ(s.mc.clusters.label, (std::vector<int>{3, 1, 1, 0, 2, 1}));
    EXPECT_EQ(s.mc.clusters.modes.point(0)[0], 0.0f);
    EXPECT_EQ(s.mc.clusters.modes.point(1)[0], 20.0f);
    EXPECT_EQ(s.mc.clusters.modes.point(3)[0], 10.0f);
}
