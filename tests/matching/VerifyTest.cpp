#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/Log.h"
#include "MatchingFixtures.h"
#include "matching/MeanShift.h"
#include "matching/Verify.h"
#include "core/Parallel.h"

using namespace veltrix;

namespace {

std::vector<PrincipalFrame> randomFrames(std::size_t n, std::mt19937& rng) {
    std::vector<PrincipalFrame> frames;
    for (std::size_t i = 0; i < n; ++i) frames.push_back(randomFrame(rng));
    return frames;
}

// A search whose samples are copies of the full shapes and whose clusters are set by hand:
// cluster c (1-based) has the given motion as its mode and the listed pairs (i, i) as members.
struct HandClusters {
    std::unique_ptr<ShapeModel> source, target;
    std::unique_ptr<MatchCandidates> mc;
    HandClusters(ShapeModel* sourceShape, ShapeModel* targetShape) : source(sourceShape), target(targetShape) {
        mc.reset(new MatchCandidates(source.get(), target.get()));
        mc->sourceSample = source->clone();
        mc->targetSample = target->clone();
        mc->translationMean[0] = mc->translationMean[1] = mc->translationMean[2] = 0.0f;
        mc->translationScale = 1.0f;
        mc->clusters.modes.addPoint(FeatureVector(6, 0.0f));
        mc->clusters.sizes.push_back(0);
    }
    void addCluster(const RigidTransform& T, const std::vector<int>& members) {
        const Twist tw = transformToTwist(T);
        const int label = mc->clusters.modes.size();
        mc->clusters.modes.addPoint(FeatureVector(tw.begin(), tw.end()));
        mc->clusters.sizes.push_back(int(members.size()));
        for (int v : members) {
            mc->sourceIndex.push_back(v);
            mc->targetIndex.push_back(v);
            mc->transformations.push_back(T);
            mc->clusters.label.push_back(label);
        }
    }
    void verify(unsigned minClusterSize, int maxClusters, float threshold, const IcpSchedule& schedule = IcpSchedule()) {
        keepVerified(*mc, verifyRegions(*mc, {minClusterSize, maxClusters, threshold, 0.0f, schedule}));
    }
};

// Points along a zigzag, one unit apart along x: the 4 nearest neighbours link the whole chain.
std::vector<Vec3f> zigzag(int n) {
    std::vector<Vec3f> points;
    for (int k = 0; k < n; ++k) points.push_back(Vec3f(float(k), (k % 2) * 0.3f, (k % 3) * 0.2f));
    return points;
}

bool sameTransform(const RigidTransform& a, const RigidTransform& b) {
    for (int i = 0; i < 9; ++i)
        if (a.R[i] != b.R[i]) return false;
    return a.t[0] == b.t[0] && a.t[1] == b.t[1] && a.t[2] == b.t[2];
}

}  // namespace

TEST(RegisterICP, RecoversKnownRigidMotionFromAPerturbedStart) {
    std::mt19937 rng(77);
    const std::vector<Vec3f> points = ellipsoidPoints(400, rng);
    std::unique_ptr<ShapeModel> source(makePointShape(points, randomFrames(points.size(), rng)));
    const RigidTransform M = motion(Vec3f(1.0f, -0.5f, 0.3f), 1.2f, Vec3f(0.3f, 2.0f, -1.0f));
    std::unique_ptr<ShapeModel> target(movedCopy(*source, M));

    CorrespondenceList list;
    for (int v = 0; v < source->vertexCount(); ++v) list.addCorrespondence(points[v], Vec3f(), v, v);
    const RigidTransform start = composeTransforms(M, motion(Vec3f(0.2f, 0.9f, 0.1f), 0.04f, Vec3f(0.02f, -0.01f, 0.015f)));
    const RigidTransform found = registerICP(list, *target, start);
    EXPECT_LT(rotationDistance(found, M), 1e-4f);
    EXPECT_LT(translationDistance(found, M), 1e-4f);
    for (int k = 0; k < list.size(); ++k) {
        const Vec3f expected = found.apply(list.sourcePoints.point(k));
        EXPECT_LT((list.targetPoints.point(k) - expected).length(), 1e-6f);
    }

    // A stop movement far below the last rounds' changes leaves the result as it was; one above
    // every movement stops after the first round, short of the motion.
    CorrespondenceList again = list, once = list;
    EXPECT_TRUE(sameTransform(registerICP(again, *target, start, 1e-20f), found));
    const RigidTransform oneRound = registerICP(once, *target, start, 1e3f);
    EXPECT_GT(rotationDistance(oneRound, M), rotationDistance(found, M));

    // A cap on the fitted correspondences still finds the motion and moves every target point; a
    // cap at or above the list size changes nothing.
    CorrespondenceList capped = list, roomy = list;
    const RigidTransform fromFew = registerICP(capped, *target, start, 0.0f, 37);
    EXPECT_LT(rotationDistance(fromFew, M), 1e-3f);
    EXPECT_LT(translationDistance(fromFew, M), 1e-3f);
    for (int k = 0; k < capped.size(); ++k)
        EXPECT_LT((capped.targetPoints.point(k) - fromFew.apply(capped.sourcePoints.point(k))).length(), 1e-6f);
    EXPECT_TRUE(sameTransform(registerICP(roomy, *target, start, 0.0f, list.size()), found));

    // Two correspondences are too few to refine anything.
    CorrespondenceList pair;
    pair.addCorrespondence(points[0], points[0], 0, 0);
    pair.addCorrespondence(points[1], points[1], 1, 1);
    EXPECT_TRUE(sameTransform(registerICP(pair, *target, start), start));
}

TEST(MatchAndVerify, RigidCopyGrowsOneRegionOverTheWholeShape) {
    std::mt19937 rng(31);
    const std::vector<Vec3f> points = ellipsoidPoints(500, rng);
    std::unique_ptr<ShapeModel> source(makePointShape(points, randomFrames(points.size(), rng)));
    const RigidTransform M = motion(Vec3f(-0.4f, 0.2f, 1.0f), 2.0f, Vec3f(1.0f, 0.5f, -0.25f));
    std::unique_ptr<ShapeModel> target(movedCopy(*source, M));
    MatchCandidates mc(source.get(), target.get());
    mc.groundTruthCorrespondence();
    mc.clusters = clusterMotions(mc.transformationSpace, {0.05f * 0.05f, 1.0f, 20, 0.0f});

    ASSERT_GE(mc.clusters.sizes.size(), 2u);
    EXPECT_EQ(mc.clusters.sizes[1], 500);
    // The dominant mode is the motion: rotation entries within 1e-4, translation within 1e-4
    // model units (the shape is about 2 units across).
    const RigidTransform mode = mc.clusterTransform(1);
    EXPECT_LT(rotationDistance(mode, M), 1e-4f);
    EXPECT_LT(translationDistance(mode, M), 1e-4f);

    keepVerified(mc, verifyRegions(mc, {10, -1, 0.01f, 0.0f, {}}));
    mc.sortResult(10, 4);
    ASSERT_EQ(mc.regions.size(), mc.clusters.sizes.size());
    EXPECT_EQ(mc.regions[1].size(), 500);
    ASSERT_EQ(mc.sortedRegions.size(), 1u);
    EXPECT_EQ(mc.sortedRegions[0].size(), 500);
    EXPECT_LT(rotationDistance(mc.sortedTransforms[0], M), 1e-4f);
    EXPECT_LT(translationDistance(mc.sortedTransforms[0], M), 1e-4f);
    const RigidTransform back = composeTransforms(mc.sortedInverseTransforms[0], mc.sortedTransforms[0]);
    EXPECT_LT(rotationDistance(back, RigidTransform()), 1e-5f);
    EXPECT_EQ(mc.resultMinRegionSize, 10);
    EXPECT_EQ(mc.resultMaxRegions, 4);
    // Every source vertex appears once in the region, matched to its own moved copy.
    std::vector<int> seen(500, 0);
    for (int k = 0; k < mc.sortedRegions[0].size(); ++k) {
        ++seen[mc.sortedRegions[0].sourceIndices[k]];
        EXPECT_EQ(mc.sortedRegions[0].sourceIndices[k], mc.sortedRegions[0].targetIndices[k]);
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 500);
    EXPECT_EQ(mc.regionsContaining({3, 1000}), (std::vector<int>{0}));
    EXPECT_TRUE(mc.regionsContaining({}).empty());
}

TEST(MatchAndVerify, FirstRefitComesAtTenTimesClusterSizePlusOne) {
    // The cluster motion is off by 0.05 along x; a refit pulls it onto the true motion. A region
    // of 10 correspondences (cluster size 1) is not yet refitted, one of 11 is; a shape-relative
    // step below ten times the cluster size changes nothing, one of all 11 vertices delays it.
    const RigidTransform M = motion(Vec3f(0, 0, 1), 0.5f, Vec3f(1, 2, 0));
    RigidTransform off = M;
    off.t[0] += 0.05f;
    struct Case {
        int n;
        float stepFraction;
        bool refitted;
    };
    for (const Case& c : {Case{10, 0.0f, false}, Case{11, 0.0f, true}, Case{11, 0.1f, true}, Case{11, 1.0f, false}}) {
        std::mt19937 rng(4);
        const std::vector<Vec3f> points = zigzag(c.n);
        ShapeModel* source = makePointShape(points, randomFrames(points.size(), rng));
        HandClusters h(source, movedCopy(*source, M));
        h.addCluster(off, {0});
        IcpSchedule schedule;
        schedule.refitStepFraction = c.stepFraction;
        h.verify(0, -1, 0.2f, schedule);
        ASSERT_EQ(h.mc->regions[1].size(), c.n);
        const RigidTransform unrefined = h.mc->clusterTransform(1);
        if (!c.refitted) {
            EXPECT_TRUE(sameTransform(h.mc->regionTransforms[1], unrefined)) << c.n << " " << c.stepFraction;
        } else {
            EXPECT_LT(translationDistance(h.mc->regionTransforms[1], M), 1e-3f) << c.n << " " << c.stepFraction;
        }
    }
}

TEST(MatchAndVerify, ClustersOnWorkerThreadsGiveTheSameRegionsAndOutput) {
    const int savedThreads = threadCount();
    const RigidTransform M = motion(Vec3f(0.3f, -1.0f, 0.5f), 0.7f, Vec3f(0.5f, 1.0f, -0.5f));
    std::vector<std::vector<int>> sources;
    std::vector<std::string> outputs;
    std::vector<RigidTransform> motions;
    for (int threads : {1, 2}) {
        setThreadCount(threads);
        std::mt19937 rng(12);
        const std::vector<Vec3f> points = ellipsoidPoints(600, rng);
        ShapeModel* source = makePointShape(points, randomFrames(points.size(), rng));
        HandClusters h(source, movedCopy(*source, M));
        // Near and far starts: refitted regions of different sizes, one that never grows.
        h.addCluster(composeTransforms(M, motion(Vec3f(0, 0, 1), 0.02f, Vec3f(0.01f, 0, 0))), {0, 1, 2, 3});
        h.addCluster(composeTransforms(M, motion(Vec3f(1, 0, 0), 0.05f, Vec3f(0, 0.02f, 0))), {100, 101, 102});
        h.addCluster(motion(Vec3f(0, 1, 0), 2.0f, Vec3f(5, 5, 5)), {200, 201});
        h.addCluster(composeTransforms(M, motion(Vec3f(0, 1, 1), 0.01f, Vec3f(0, 0, 0.01f))), {300, 301, 302, 303, 304});
        {
            LogCapture log;
            keepVerified(*h.mc, verifyRegions(*h.mc, {0, -1, 0.05f, 0.0f, {}}));
            outputs.push_back(log.out());
        }
        std::vector<int> all;
        for (int j = 1; j < 5; ++j) {
            all.insert(all.end(), h.mc->regions[j].sourceIndices.begin(), h.mc->regions[j].sourceIndices.end());
            all.push_back(-1);
            motions.push_back(h.mc->regionTransforms[j]);
        }
        sources.push_back(all);
    }
    setThreadCount(savedThreads);
    EXPECT_EQ(sources[0], sources[1]);
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_GT(sources[0].size(), 600u);
    for (int j = 0; j < 4; ++j) EXPECT_TRUE(sameTransform(motions[j], motions[j + 4])) << j;
}

TEST(MatchAndVerify, ClusterLimitsAndUnreachableModes) {
    std::mt19937 rng(9);
    const std::vector<Vec3f> points = ellipsoidPoints(200, rng);
    ShapeModel* source = makePointShape(points, randomFrames(points.size(), rng));
    const RigidTransform M = motion(Vec3f(0.3f, 0.3f, 1), 0.7f, Vec3f(0, 1, 0));
    HandClusters h(source, movedCopy(*source, M));
    RigidTransform far = M;
    far.t[2] += 100.0f;
    std::vector<int> first, second, third;
    for (int v = 0; v < 30; ++v) first.push_back(v);
    for (int v = 30; v < 50; ++v) second.push_back(v);
    for (int v = 50; v < 55; ++v) third.push_back(v);
    h.addCluster(M, first);
    h.addCluster(far, second);
    h.addCluster(M, third);

    h.verify(0, 0, 0.05f);  // no cluster verified
    ASSERT_EQ(h.mc->regions.size(), 4u);
    for (const CorrespondenceList& r : h.mc->regions) EXPECT_EQ(r.size(), 0);

    h.verify(10, -1, 0.05f);  // cluster 3 is too small
    const int grown = h.mc->regions[1].size();
    EXPECT_GT(grown, 30);
    // The far mode carries no seed near the target: empty region, unrefined transformation.
    EXPECT_EQ(h.mc->regions[2].size(), 0);
    EXPECT_TRUE(sameTransform(h.mc->regionTransforms[2], h.mc->clusterTransform(2)));
    EXPECT_EQ(h.mc->regions[3].size(), 0);
    EXPECT_TRUE(sameTransform(h.mc->regionTransforms[3], RigidTransform()));

    h.verify(0, 2, 0.05f);  // the first two eligible clusters only
    EXPECT_EQ(h.mc->regions[1].size(), grown);
    EXPECT_EQ(h.mc->regions[3].size(), 0);

    h.mc->sortResult(0, -1);
    ASSERT_EQ(h.mc->sortedRegions.size(), 1u);  // empty regions never pass

    // skipVerification: a region is the cluster's own pairs on the full shapes.
    keepVerified(*h.mc, skipVerification(*h.mc, {10, -1, 0.0f, 0.0f, {}}));
    EXPECT_EQ(h.mc->regions[1].size(), 30);
    EXPECT_EQ(h.mc->regions[2].size(), 20);
    EXPECT_EQ(h.mc->regions[3].size(), 0);
    EXPECT_EQ(h.mc->regions[2].sourceIndices[0], 30);
    EXPECT_TRUE(sameTransform(h.mc->regionTransforms[2], h.mc->clusterTransform(2)));
}

TEST(MatchAndVerify, RefusesToRunWithoutClusters) {
    ShapeModel a(1), b(1);
    MatchCandidates mc(&a, &b);
    mc.regions.resize(2);
    LogCapture log;
    keepVerified(mc, verifyRegions(mc, {0, -1, 1.0f, 0.0f, {}}));
    keepVerified(mc, skipVerification(mc, {0, -1, 0.0f, 0.0f, {}}));
    const std::string err = log.err();
    EXPECT_NE(err.find("Error in MatchCandidates::verifyRegion(): Missing pose clustering result."), std::string::npos);
    EXPECT_NE(err.find("Error in MatchCandidates::skipVerify(): Missing pose clustering result."), std::string::npos);
    EXPECT_EQ(mc.regions.size(), 2u);
}

TEST(SortResult, DropsRegionsNotAboveTheMinimumAndKeepsAtMostMax) {
    ShapeModel a(1), b(1);
    MatchCandidates mc(&a, &b);
    const int sizes[] = {0, 5, 8, 3, 5};
    for (int r = 0; r < 5; ++r) {
        CorrespondenceList list;
        for (int k = 0; k < sizes[r]; ++k) list.addCorrespondence(Vec3f(float(k), 0, 0), Vec3f(), 10 * r + k, 0);
        mc.regions.push_back(list);
        mc.regionTransforms.push_back(motion(Vec3f(0, 0, 1), 0.1f * r, Vec3f(float(r), 0, 0)));
    }
    mc.sortResult(3, -1);  // the region of exactly 3 is dropped
    ASSERT_EQ(mc.sortedRegions.size(), 3u);
    EXPECT_EQ(mc.sortedRegions[0].size(), 8);
    EXPECT_EQ(mc.sortedTransforms[0].t[0], 2.0f);
    EXPECT_EQ(mc.sortedRegions[1].size(), 5);
    EXPECT_EQ(mc.sortedRegions[2].size(), 5);
    ASSERT_EQ(mc.sortedInverseTransforms.size(), 3u);
    EXPECT_NEAR(mc.sortedInverseTransforms[0].t[0], -std::cos(0.2f) * 2.0f, 1e-5f);
    EXPECT_EQ(mc.regionsContaining({20, 21}), (std::vector<int>{0}));
    EXPECT_EQ(mc.regionsContaining({44, 10, 30, 20}), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(mc.regionsContaining({30, 31}).empty());  // the dropped region

    mc.sortResult(0, 2);
    ASSERT_EQ(mc.sortedRegions.size(), 2u);
    EXPECT_EQ(mc.sortedRegions[0].size(), 8);
    mc.regionTransforms.clear();
    EXPECT_TRUE(mc.regionsContaining({41}).empty());  // no verification result
}
