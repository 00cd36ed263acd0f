#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "geometry/Features.h"
#include "MatchingFixtures.h"
#include "matching/MeanShift.h"
#include "matching/Verify.h"
#include "core/Random.h"
#include "geometry/ShapeGenerator.h"

using namespace veltrix;

namespace {

Mesh3_real* meshFrom(const std::vector<std::array<float, 3>>& points, const std::vector<std::array<int, 3>>& faces,
                     const std::string& name) {
    Mesh3_real* mesh = new Mesh3_real();
    mesh->baseDir = scratchDir() + "articulated/";
    mesh->fileName = name;
    std::vector<Vec3f> vertices;
    for (const auto& p : points) vertices.push_back(Vec3f(p[0], p[1], p[2]));
    mesh->vertices.setPoints(vertices);
    mesh->vertexStatus.assign(vertices.size(), STATUS_INTERIOR);
    for (const auto& f : faces) mesh->faces.push_back(Triangle{f[0], f[1], f[2]});
    mesh->computeNormals(true);
    mesh->detectBoundary();
    return mesh;
}

RigidTransform partMotion(const std::array<float, 12>& m) {
    RigidTransform T;
    for (int i = 0; i < 9; ++i) T.R[i] = m[i];
    for (int i = 0; i < 3; ++i) T.t[i] = m[9 + i];
    return T;
}

}  // namespace

// The whole search on a generated figure whose limbs move rigidly: sub-sampling, feature pairing,
// mean shift, verification and sorting. The largest regions must carry the true limb motions.
TEST(ArticulatedPair, LargestRegionsCarryTheTrueLimbMotions) {
    const ArticulatedPair pair = makeArticulatedPair(3000);
    std::unique_ptr<Mesh3_real> source(meshFrom(pair.source, pair.faces, "figure-000.obj"));
    std::unique_ptr<Mesh3_real> target(meshFrom(pair.target, pair.faces, "figure-001.obj"));
    const float r = 0.04f * 2.0f;
    computeFrames(*source, {r * r}, true);
    computeFrames(*target, {r * r}, true);
    copyCurvatureFeatures(*source);
    copyCurvatureFeatures(*target);

    randomSeed(1);
    MatchCandidates mc(source.get(), target.get());
    mc.subsample(1000, 1000, 0.5f);
    mc.findCandidateCorrespondence(0.5f * 0.5f, 100, 0.0f);
    mc.clusters = clusterMotions(mc.transformationSpace, {0.2f * 0.2f, 1.0f, 100, 0.0f});
    keepVerified(mc, verifyRegions(mc, {0, 20, 0.01f, 0.0f, {}}));
    mc.sortResult(20, 10);

    // The two largest regions each lie in one limb and carry that limb's motion: rotation
    // entries within 0.01 and translation within 0.02 model units (the figure is 2 units tall).
    ASSERT_GE(mc.sortedRegions.size(), 2u);
    std::vector<int> partsFound;
    for (int k = 0; k < 2; ++k) {
        const CorrespondenceList& region = mc.sortedRegions[k];
        std::vector<int> partCount(pair.partCount, 0);
        for (int v : region.sourceIndices) ++partCount[pair.part[v]];
        const int part = int(std::max_element(partCount.begin(), partCount.end()) - partCount.begin());
        EXPECT_GE(partCount[part], region.size() * 95 / 100) << "region " << k;
        const RigidTransform M = partMotion(pair.motions[part]);
        EXPECT_LT(rotationDistance(M, mc.sortedTransforms[k]), 0.01f) << "region " << k;
        EXPECT_LT(translationDistance(M, mc.sortedTransforms[k]), 0.02f) << "region " << k;
        EXPECT_GE(region.size(), 100) << "region " << k;
        partsFound.push_back(part);
    }
    EXPECT_NE(partsFound[0], partsFound[1]);
}
