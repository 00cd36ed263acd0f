#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <utility>

#include "core/Log.h"
#include "MatchingFixtures.h"
#include "core/Random.h"

using namespace veltrix;

namespace {

// Source sample / target sample pair owned by a MatchCandidates without full shapes.
struct SampledSearch {
    ShapeModel* fullSource;
    ShapeModel* fullTarget;
    MatchCandidates* mc;
    SampledSearch(ShapeModel* sourceSample, ShapeModel* targetSample) {
        fullSource = new ShapeModel(1);
        fullTarget = new ShapeModel(1);
        mc = new MatchCandidates(fullSource, fullTarget);
        mc->sourceSample = sourceSample;
        mc->targetSample = targetSample;
    }
    ~SampledSearch() {
        delete mc;
        delete fullSource;
        delete fullTarget;
    }
};

std::vector<unsigned char> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int32_t int32At(const std::vector<unsigned char>& b, std::size_t at) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t(b[at + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

float floatAt(const std::vector<unsigned char>& b, std::size_t at) {
    const uint32_t u = static_cast<uint32_t>(int32At(b, at));
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

}  // namespace

TEST(GroundTruthPairing, RigidCopyGivesOnePairPerVertexWithTheMotion) {
    std::mt19937 rng(11);
    const std::vector<Vec3f> points = ellipsoidPoints(300, rng);
    std::vector<PrincipalFrame> frames;
    for (std::size_t i = 0; i < points.size(); ++i) frames.push_back(randomFrame(rng));
    // One vertex without a usable frame must be left out, keeping the lists consistent.
    frames[17].normal.x = std::numeric_limits<float>::quiet_NaN();
    // Nor the all-zero frame of a vertex that is not interior.
    frames[40] = PrincipalFrame();
    std::unique_ptr<ShapeModel> source(makePointShape(points, frames));
    const RigidTransform M = motion(Vec3f(0.2f, 1.0f, -0.3f), 0.8f, Vec3f(0.5f, -0.2f, 1.5f));
    std::unique_ptr<ShapeModel> target(movedCopy(*source, M));
    std::unique_ptr<ShapeModel> shorter(makePointShape(std::vector<Vec3f>(points.begin(), points.begin() + 10),
                                                       std::vector<PrincipalFrame>(frames.begin(), frames.begin() + 10)));

    MatchCandidates mc(source.get(), target.get());
    mc.groundTruthCorrespondence();

    ASSERT_EQ(mc.size(), 298);
    ASSERT_EQ(mc.transformationSpace.size(), 298);
    for (int k = 0; k < mc.size(); ++k) {
        const int expected = k < 17 ? k : (k < 39 ? k + 1 : k + 2);
        EXPECT_EQ(mc.sourceIndex[k], expected);
        EXPECT_EQ(mc.targetIndex[k], expected);
        RigidTransform T = mc.transformations[k];
        for (int a = 0; a < 3; ++a) T.t[a] = mc.translationMean[a] + mc.translationScale * T.t[a];
        EXPECT_LT(rotationDistance(T, M), 1e-5f);
        EXPECT_LT(translationDistance(T, M), 1e-4f);
        for (float c : mc.transformationSpace.point(k)) EXPECT_TRUE(std::isfinite(c));
    }
    // A second call replaces the pairs instead of appending to them.
    mc.groundTruthCorrespondence();
    EXPECT_EQ(mc.size(), 298);

    MatchCandidates unequal(source.get(), shorter.get());
    LogCapture log;
    unequal.groundTruthCorrespondence();
    EXPECT_NE(log.err().find("Source/Target meshes must have per-vertex correspondence!"),
              std::string::npos);
    EXPECT_EQ(unequal.size(), 0);
}

TEST(PairTransform, OppositeHandednessAndPureTranslation) {
    std::mt19937 rng(5);
    const PrincipalFrame f = randomFrame(rng);
    PrincipalFrame flippedMax = f, flippedMin = f;
    flippedMax.maxDirection = -f.maxDirection;
    flippedMin.minDirection = -f.minDirection;
    ShapeModel* source = makePointShape({Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(0, 3, 0)}, {f, f, f});
    ShapeModel* target = makePointShape({Vec3f(1, 2, 3), Vec3f(2, 2, 3), Vec3f(4, 0, 0)}, {flippedMax, flippedMin, f});
    SampledSearch s(source, target);

    for (int k = 0; k < 2; ++k) {
        RigidTransform T;
        ASSERT_TRUE(s.mc->pairTransform(k, k, T));
        EXPECT_NEAR(det3(T.R), 1.0f, 1e-5f);
        // The flipped direction is the one repaired, so the frames coincide again.
        EXPECT_LT(rotationDistance(T, RigidTransform()), 1e-5f);
        EXPECT_NEAR(T.t[0], 1.0f, 1e-5f);
        EXPECT_NEAR(T.t[1], 2.0f, 1e-5f);
        EXPECT_NEAR(T.t[2], 3.0f, 1e-5f);
    }

    // Equal frames: pure translations, whose twists are the normalised translations and zeros.
    ASSERT_TRUE(s.mc->addCandidate(0, 0));
    ASSERT_TRUE(s.mc->addCandidate(1, 1));
    ASSERT_TRUE(s.mc->addCandidate(2, 2));
    s.mc->populateTransformationSpace();
    // Translations (1,2,3), (1,2,3), (4,-3,0): mean (2,1/3,2); scale is the sample deviation of
    // the centred lengths.
    EXPECT_NEAR(s.mc->translationMean[1], 1.0f / 3.0f, 1e-6f);
    const double l1 = std::sqrt(1.0 + (5.0 / 3) * (5.0 / 3) + 1.0), l3 = std::sqrt(4.0 + (10.0 / 3) * (10.0 / 3) + 4.0);
    const double mean = (2 * l1 + l3) / 3;
    const double sigma = std::sqrt((2 * (l1 - mean) * (l1 - mean) + (l3 - mean) * (l3 - mean)) / 2);
    EXPECT_NEAR(s.mc->translationScale, sigma, 1e-5);
    for (int k = 0; k < 3; ++k) {
        const FeatureVector& tw = s.mc->transformationSpace.point(k);
        for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(tw[c], s.mc->transformations[k].t[c]);
        for (int c = 3; c < 6; ++c) EXPECT_EQ(tw[c], 0.0f);
    }
}

TEST(PairTransform, DegenerateTranslationSpreadFallsBackToScaleOne) {
    std::mt19937 rng(6);
    const PrincipalFrame f = randomFrame(rng);
    // One pair, then two pairs (whose centred translations always have equal lengths).
    for (int pairs = 1; pairs <= 2; ++pairs) {
        ShapeModel* source = makePointShape({Vec3f(0, 0, 0), Vec3f(1, 0, 0)}, {f, f});
        ShapeModel* target = makePointShape({Vec3f(0, 5, 0), Vec3f(3, 1, 0)}, {f, f});
        SampledSearch s(source, target);
        for (int k = 0; k < pairs; ++k) ASSERT_TRUE(s.mc->addCandidate(k, k));
        LogCapture log;
        s.mc->populateTransformationSpace();
        const std::string err = log.err();
        const std::string out = log.out();
        EXPECT_NE(err.find("Warning in MatchCandidates::normalizeTranslations()"), std::string::npos);
        EXPECT_EQ(out.find("Infinite-valued transform pair"), std::string::npos);
        EXPECT_EQ(s.mc->translationScale, 1.0f);
        for (int k = 0; k < pairs; ++k)
            for (float c : s.mc->transformationSpace.point(k)) EXPECT_TRUE(std::isfinite(c));
        // The cluster transformation of a pair's own twist gives back the pair's motion.
        s.mc->clusters.modes.addPoint(s.mc->transformationSpace.point(0));
        const RigidTransform T = s.mc->clusterTransform(0);
        EXPECT_NEAR(T.t[1], 5.0f, 1e-5f);
    }
}

TEST(FeaturePairing, MatchesBruteForceRangeSearch) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    const int ns = 40, nt = 60;
    auto makeSample = [&](int n) {
        std::vector<Vec3f> points;
        std::vector<PrincipalFrame> frames;
        for (int i = 0; i < n; ++i) {
            points.push_back(Vec3f(u(rng), u(rng), u(rng)));
            frames.push_back(randomFrame(rng));
        }
        ShapeModel* shape = makePointShape(points, frames);
        shape->features.reset(new FeatureSetANN(3));
        for (int i = 0; i < n; ++i) shape->features->addPoint({u(rng), u(rng), u(rng)});
        return shape;
    };
    ShapeModel* sourceSample = makeSample(ns);
    ShapeModel* targetSample = makeSample(nt);
    SampledSearch s(sourceSample, targetSample);
    const float sqRadius = 0.09f;

    for (int maxMatches : {5, -1, 0, 1}) {
        s.mc->findCandidateCorrespondence(sqRadius, maxMatches, 0.0f);
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; i < ns; ++i) {
            std::vector<std::pair<float, int>> within;
            for (int j = 0; j < nt; ++j) {
                float d2 = 0;
                for (int c = 0; c < 3; ++c) {
                    const float d = sourceSample->features->point(i)[c] - targetSample->features->point(j)[c];
                    d2 += d * d;
                }
                if (d2 < sqRadius) within.emplace_back(d2, j);
            }
            std::sort(within.begin(), within.end());
            const std::size_t take = std::min<std::size_t>(static_cast<unsigned int>(maxMatches), within.size());
            for (std::size_t j = 0; j < take; ++j) expected.emplace_back(i, within[j].second);
        }
        ASSERT_EQ(s.mc->size(), static_cast<int>(expected.size())) << "maxMatches " << maxMatches;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(s.mc->sourceIndex[k], expected[k].first);
            EXPECT_EQ(s.mc->targetIndex[k], expected[k].second);
        }
        EXPECT_EQ(s.mc->transformationSpace.size(), s.mc->size());
        if (maxMatches == 0) {
            EXPECT_EQ(s.mc->size(), 0);
        }
    }

    // Without samples the pairing refuses to run and keeps its pairs.
    const int before = s.mc->size();
    s.mc->cleanANNData();
    LogCapture log;
    s.mc->findCandidateCorrespondence(sqRadius, 5, 0.0f);
    s.mc->spinImageCandidates(5);
    const std::string err = log.err();
    EXPECT_NE(err.find("Error in MatchCandidates::findCandidateCorrespondence(): Please generate a sample first!"),
              std::string::npos);
    EXPECT_NE(err.find("Error in MatchCandidates::spinImageCandidates(): Please generate a sample first!"),
              std::string::npos);
    EXPECT_EQ(s.mc->size(), before);
}

TEST(Subsampling, RedrawsOnlyWhenTheCountDiffers) {
    std::mt19937 rng(3);
    std::vector<Vec3f> points = ellipsoidPoints(200, rng);
    std::vector<PrincipalFrame> frames;
    for (std::size_t i = 0; i < points.size(); ++i) frames.push_back(randomFrame(rng));
    std::unique_ptr<ShapeModel> source(makePointShape(points, frames));
    std::unique_ptr<ShapeModel> target(makePointShape(points, frames));
    // Half of the target vertices are unsuitable, so its sample comes out short.
    for (int v = 0; v < 200; v += 2) target->vertexStatus[v] = STATUS_BOUNDARY;
    randomSeed(12345);
    MatchCandidates mc(source.get(), target.get());
    LogCapture log;
    mc.subsample(50, 60, 0.9f);
    std::string out = log.out();
    ASSERT_NE(mc.sourceSample, nullptr);
    ASSERT_NE(mc.targetSample, nullptr);
    EXPECT_NE(out.find("*** Subsampling source model: 50 vertices."), std::string::npos);
    EXPECT_NE(out.find("***Subsampling target model: "), std::string::npos);
    EXPECT_LT(mc.targetSample->vertexCount(), 60);

    std::vector<int> idx;
    std::vector<float> dist;
    mc.sourceSample->vertices.knnQuery(Vec3f(0, 0, 0), 1, idx, dist, true);
    mc.targetSample->vertices.knnQuery(Vec3f(0, 0, 0), 1, idx, dist, true);
    ShapeModel* keptSource = mc.sourceSample;
    mc.subsample(50, 60, 0.9f);
    EXPECT_EQ(mc.sourceSample, keptSource);
    EXPECT_TRUE(mc.sourceSample->vertices.hasTree());
    // The short target sample no longer matches its count: it is drawn anew (no tree yet).
    EXPECT_FALSE(mc.targetSample->vertices.hasTree());

    mc.subsample(50, 0, 0.9f);  // count 0: every suitable target vertex
    EXPECT_EQ(mc.sourceSample, keptSource);
    EXPECT_EQ(mc.targetSample->vertexCount(), 100);
}

TEST(TransformationSpaceFile, LayoutAndFailures) {
    const std::string dir = scratchDir();
    std::filesystem::create_directories(dir);
    ShapeModel a(1), b(1);
    MatchCandidates empty(&a, &b);
    const std::string emptyFile = dir + "empty-space.data";
    EXPECT_TRUE(empty.writeData(emptyFile));
    const std::vector<unsigned char> bytes = readFile(emptyFile);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(int32At(bytes, 0), 6);
    EXPECT_EQ(int32At(bytes, 4), 0);

    std::mt19937 rng(8);
    const PrincipalFrame f = randomFrame(rng), g = randomFrame(rng);
    SampledSearch s(makePointShape({Vec3f(0, 0, 0), Vec3f(1, 1, 0), Vec3f(0, 2, 1)}, {f, g, f}),
                    makePointShape({Vec3f(3, 0, 0), Vec3f(0, 1, 4), Vec3f(2, 2, 2)}, {g, f, g}));
    for (int k = 0; k < 3; ++k) s.mc->addCandidate(k, k);
    s.mc->populateTransformationSpace();
    const std::string name = dir + "space.data";
    EXPECT_TRUE(s.mc->writeData(name));
    const std::vector<unsigned char> data = readFile(name);
    ASSERT_EQ(data.size(), 8u + 3 * 24);
    EXPECT_EQ(int32At(data, 4), 3);
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(floatAt(data, 8 + 24 * k + 4 * c), s.mc->transformationSpace.point(k)[c]);

    LogCapture log;
    EXPECT_FALSE(s.mc->writeData(dir + "no-such-dir/space.data"));
    EXPECT_NE(log.err().find("Error in MatchCandidates::writeData(): Could not open output file "),
              std::string::npos);
    // A device that takes no bytes is a failure too, never a written file.
    LogCapture log2;
    EXPECT_FALSE(s.mc->writeData("/dev/full"));
    EXPECT_NE(log2.err().find("Error in MatchCandidates::writeData()"), std::string::npos);
}

TEST(MatchCandidatesSize, ReportsInconsistentPairLists) {
    ShapeModel a(1), b(1);
    MatchCandidates mc(&a, &b);
    LogCapture log;
    EXPECT_EQ(mc.size(), 0);
    EXPECT_EQ(log.err(), "");
    mc.sourceIndex.push_back(0);
    LogCapture log2;
    EXPECT_EQ(mc.size(), 1);
    EXPECT_EQ(log2.err(),
              "Error in MatchCandidates::size(): size of correspondence list is inconsistent!\n");
    mc.sourceIndex.clear();
}

TEST(SelectionQueries, PairsAndClustersBetweenSelections) {
    std::mt19937 rng(21);
    std::vector<Vec3f> points;
    std::vector<PrincipalFrame> frames;
    for (int i = 0; i < 8; ++i) {
        points.push_back(Vec3f(float(i), 0, 0));
        frames.push_back(randomFrame(rng));
    }
    std::unique_ptr<ShapeModel> source(makePointShape(points, frames));
    std::unique_ptr<ShapeModel> target(makePointShape(points, frames));
    MatchCandidates mc(source.get(), target.get());
    // Samples: source vertices 1, 3, 5; target vertices 2, 4, 6.
    mc.sourceSample = makePointShape({points[1], points[3], points[5]}, {frames[1], frames[3], frames[5]});
    mc.targetSample = makePointShape({points[2], points[4], points[6]}, {frames[2], frames[4], frames[6]});
    EXPECT_TRUE(mc.pairsBetween({1}, {2}).empty());  // no pairs yet

    const std::vector<bool> mask = MatchCandidates::sampleMask(source.get(), mc.sourceSample, {0, 3, 5, 99});
    EXPECT_EQ(mask, (std::vector<bool>{false, true, true}));

    const std::pair<int, int> pairs[] = {{0, 0}, {0, 1}, {1, 1}, {2, 2}, {1, 0}};
    for (auto p : pairs) ASSERT_TRUE(mc.addCandidate(p.first, p.second));
    EXPECT_EQ(mc.pairsBetween({1, 3}, {2, 4}), (std::vector<int>{0, 1, 2, 4}));
    EXPECT_EQ(mc.pairsBetween({3}, {4, 6}), (std::vector<int>{2}));
    EXPECT_TRUE(mc.pairsBetween({0, 2}, {2, 4, 6}).empty());  // no sample vertex selected

    EXPECT_TRUE(mc.clustersBetween({1, 3}, {2, 4}).empty());  // not clustered
    mc.clusters.label = {2, 0, 2, 1, 3};
    mc.clusters.modes.resize(4);
    mc.clusters.sizes = {1, 1, 2, 1};
    EXPECT_EQ(mc.clustersBetween({1, 3}, {2, 4}), (std::vector<int>{0, 2, 3}));
}
