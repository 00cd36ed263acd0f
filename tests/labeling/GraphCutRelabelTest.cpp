#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "labeling/GraphCutRelabel.h"
#include "LabelingFixtures.h"

using namespace veltrix;

namespace {

// Source and target grids with the given target motion per part, and a search object over them.
struct GridPair {
    std::unique_ptr<Mesh3_real> source, target;
    std::unique_ptr<MatchCandidates> mc;
    std::unique_ptr<LabelingResult> labels;
    GridPair(int nx, int ny, const std::vector<RigidTransform>& motions, const std::vector<int>& part) {
        source.reset(makeGridMesh(nx, ny));
        target.reset(movedMesh(*source, motions, part));
        mc.reset(new MatchCandidates(source.get(), target.get()));
        labels.reset(new LabelingResult(*mc));
        setSortedTransforms(*mc, motions);
    }
    int nS() const { return source->vertexCount(); }
};

void setCosts(LabelingResult& labels, float threshold, float mismatch, float dummyData, float dummySmooth,
              float smoothWeight, float dataWeight, float dataTrunc, float smoothTrunc) {
    labels.costs.closestPtDistThreshold = threshold;
    labels.costs.mismatchError = mismatch;
    labels.costs.dummyLabelDataError = dummyData;
    labels.costs.dummyLabelSmoothError = dummySmooth;
    labels.costs.smoothWeight = smoothWeight;
    labels.costs.dataWeight = dataWeight;
    labels.costs.dataTruncateValue = dataTrunc;
    labels.costs.smoothTruncateValue = smoothTrunc;
}

RigidTransform rotationAbout(const Vec3f& axis, float angle, const Vec3f& centre) {
    Vec3f a = axis / axis.length();
    const float w[6] = {0, 0, 0, a.x * angle, a.y * angle, a.z * angle};
    RigidTransform T = twistToTransform(w);
    Vec3f rc = T.rotate(centre);
    T.t[0] = centre.x - rc.x;
    T.t[1] = centre.y - rc.y;
    T.t[2] = centre.z - rc.z;
    return T;
}

}  // namespace

TEST(GraphCutTerms, DataTermsMatchHandComputedValues) {
    const RigidTransform T1 = translation(0.1f, 0.0f, 0.3f);
    const RigidTransform T2 = rotationAbout(Vec3f(1, 0, 0), 0.2f, Vec3f(1, 1, 0));
    GridPair g(3, 3, {RigidTransform(), T1, T2}, std::vector<int>(9, 0));
    LabelingResult& labels = *g.labels;
    captured([&] { labels.precomputeClosestPts(); });
    const int R = 3;
    ASSERT_EQ(labels.closestPtsSource.size(), 9u * R);
    const float d41 = std::sqrt(0.1f * 0.1f + 0.3f * 0.3f);
    EXPECT_EQ(labels.closestPtsSource[4 * R + 1].index, 4);
    EXPECT_NEAR(labels.closestPtsSource[4 * R + 1].distance, d41, 1e-6f);
    EXPECT_EQ(labels.closestPtsSource[4 * R + 0].index, 4);
    EXPECT_EQ(labels.closestPtsSource[4 * R + 0].distance, 0.0f);

    setCosts(labels, 0.5f, 1.0f, 7.0f, 3.0f, 1.0f, 2.0f, 0.2f, 1.0f);
    // Point-to-point: truncated distance times the data weight.
    EXPECT_NEAR(gcDataPointToPoint(4, 1, labels), 0.2f * 2.0f, 1e-6f);
    EXPECT_NEAR(gcDataPointToPoint(4, 0, labels), 0.0f, 1e-6f);
    // Target site 4 with the inverse of T1 lands on source vertex 4 at the same distance.
    EXPECT_NEAR(gcDataPointToPoint(9 + 4, 1, labels), 0.2f * 2.0f, 1e-6f);
    labels.costs.dataTruncateValue = 10.0f;
    EXPECT_NEAR(gcDataPointToPoint(9 + 4, 1, labels), d41 * 2.0f, 1e-5f);
    // The dummy label costs the dummy data error.
    EXPECT_NEAR(gcDataPointToPoint(4, 3, labels), 7.0f * 2.0f, 1e-6f);
    EXPECT_NEAR(gcDataHybrid(9 + 2, 3, labels), 7.0f * 2.0f, 1e-6f);

    // Point-to-plane: below the truncation the distance along the target normal (0.3), at the
    // truncation the distance itself.
    labels.costs.dataTruncateValue = 0.5f;
    EXPECT_NEAR(gcDataPointToPlane(4, 1, labels), 0.3f * 2.0f, 1e-5f);
    labels.costs.dataTruncateValue = labels.closestPtsSource[4 * R + 1].distance;
    EXPECT_NEAR(gcDataPointToPlane(4, 1, labels), d41 * 2.0f, 1e-5f);
    // An isolated closest vertex has no normal: the distance itself.
    labels.costs.dataTruncateValue = 0.5f;
    const Vec3f normal = g.target->normals.point(4);
    g.target->normals.point(4) = Vec3f(NAN, NAN, NAN);
    EXPECT_NEAR(gcDataPointToPlane(4, 1, labels), d41 * 2.0f, 1e-5f);
    g.target->normals.point(4) = normal;

    // Hybrid: plane distance where the closest vertex is on the boundary, distance otherwise.
    EXPECT_EQ(g.target->vertexStatus[0], STATUS_BOUNDARY);
    EXPECT_EQ(labels.closestPtsSource[0 * R + 1].index, 0);
    EXPECT_NEAR(gcDataHybrid(0, 1, labels), 0.3f * 2.0f, 1e-5f);
    EXPECT_NEAR(gcDataHybrid(4, 1, labels), d41 * 2.0f, 1e-5f);

    // Point and normal: sqrt(e + 2 h |R n - n_q|) with h the target's mesh resolution.
    g.target->meshResolution = 0.5f;
    EXPECT_NEAR(gcDataPointAndNormal(4, 1, labels), std::sqrt(d41) * 2.0f, 1e-5f);
    const LabelingResult::ClosestPoint c = labels.closestPtsSource[4 * R + 2];
    const Vec3f rn = T2.rotate(g.source->normals.point(4));
    const float normalError = (rn - g.target->normals.point(c.index)).length();
    EXPECT_NEAR(normalError, 2.0f * std::sin(0.1f), 1e-5f);
    const float e = g.target->vertexStatus[c.index] == STATUS_BOUNDARY
                        ? std::fabs((T2.apply(g.source->vertices.point(4)) - g.target->vertices.point(c.index))
                                        .dot(g.target->normals.point(c.index)))
                        : c.distance;
    EXPECT_NEAR(gcDataPointAndNormal(4, 2, labels), std::sqrt(e + 2 * 0.5f * normalError) * 2.0f, 1e-5f);
    g.source->vertexStatus[4] = STATUS_ISOLATED;
    EXPECT_EQ(gcDataPointAndNormal(4, 2, labels), 0.0f);
}

TEST(GraphCutTerms, SmoothnessTermMatchesHandComputedValues) {
    const RigidTransform T1 = translation(0.1f, 0.0f, 0.3f);
    GridPair g(3, 3, {RigidTransform(), T1}, std::vector<int>(9, 0));
    LabelingResult& labels = *g.labels;
    captured([&] { labels.precomputeClosestPts(); });
    setCosts(labels, 0.5f, 1.5f, 7.0f, 3.0f, 2.0f, 1.0f, 1.0f, 1.0f);
    // Edge-length change of the edge (0, 1) when vertex 1 moves by T1 and vertex 0 stays.
    const float change = std::fabs(1.0f - std::sqrt(1.1f * 1.1f + 0.3f * 0.3f));
    EXPECT_NEAR(gcSmoothTerm(1, 0, 1, 0, labels), change * 2.0f, 1e-5f);
    EXPECT_NEAR(gcSmoothTerm(0, 1, 0, 1, labels), change * 2.0f, 1e-5f);
    EXPECT_NEAR(gcSmoothTerm(1, 0, 1, 1, labels), 0.0f, 1e-5f);
    labels.costs.smoothTruncateValue = 0.1f;
    EXPECT_NEAR(gcSmoothTerm(1, 0, 1, 0, labels), 0.1f * 2.0f, 1e-6f);
    // The same on the target shape with the inverse transforms: vertex 1 moves to (0.9, 0, -0.3).
    const float targetChange = std::fabs(1.0f - std::sqrt(0.9f * 0.9f + 0.3f * 0.3f));
    EXPECT_NEAR(gcSmoothTerm(9 + 1, 9 + 0, 1, 0, labels), targetChange * 2.0f, 1e-5f);
    // Dummy label: both dummy is free, one dummy costs the dummy smooth error.
    EXPECT_EQ(gcSmoothTerm(1, 0, 2, 2, labels), 0.0f);
    EXPECT_NEAR(gcSmoothTerm(1, 0, 2, 0, labels), 3.0f * 2.0f, 1e-6f);
    EXPECT_NEAR(gcSmoothTerm(9 + 4, 4, 0, 2, labels), 3.0f * 2.0f, 1e-6f);
    // Label consistency between source vertex 4 and target vertex 4: each closest-point test
    // that holds adds the mismatch error.
    EXPECT_EQ(gcSmoothTerm(9 + 4, 4, 1, 1, labels), 0.0f);
    EXPECT_NEAR(gcSmoothTerm(9 + 4, 4, 0, 1, labels), 2 * 1.5f * 2.0f, 1e-6f);
    EXPECT_NEAR(gcSmoothTerm(4, 9 + 4, 1, 0, labels), 2 * 1.5f * 2.0f, 1e-6f);
    labels.costs.closestPtDistThreshold = 0.2f;  // the T1 closest point (0.316 away) fails
    EXPECT_NEAR(gcSmoothTerm(4, 9 + 4, 1, 0, labels), 1.5f * 2.0f, 1e-6f);
    EXPECT_EQ(gcSmoothTerm(4, 9 + 5, 1, 0, labels), 0.0f);  // not each other's closest points
}

TEST(GraphCutRelabel, ShapeAgainstItselfKeepsTheIdentity) {
    GridPair g(6, 5, {translation(0, 0, 3.0f), RigidTransform(), translation(0.5f, 0, 0)}, std::vector<int>(30, 1));
    auto out = captured([&] {
        g.labels->relabel(2, 1, true, 2, 0.5f, 1.0f, 1.0f, 2.0f, 1.0f, 1.0f, 1.0f, 2.0f);
    });
    ASSERT_EQ(g.labels->labelsSource.size(), 30u);
    ASSERT_EQ(g.labels->labelsTarget.size(), 30u);
    for (int l : g.labels->labelsSource) EXPECT_EQ(l, 1);
    for (int l : g.labels->labelsTarget) EXPECT_EQ(l, 1);
    ASSERT_EQ(g.labels->regionsSource.size(), 1u);
    EXPECT_EQ(g.labels->regionsSource[0].size(), 30);
    ASSERT_EQ(g.labels->regionsTarget.size(), 1u);
    EXPECT_EQ(g.labels->regionsTarget[0].size(), 30);

    const std::string& log = out.first;
    EXPECT_NE(log.find(std::string(79, '-') + "\nStarting graph cut optimization (symmetric)...\n"
                       "*** Smooth term type: edge-length preserve, label consistency\n"
                       "*** Data term type: point-to-point\n*** Using dummy label: 1\n"
                       "*** Extra smoothness constraints: 2 nearest boundary vertices\n"
                       "*** Closest point maximum matching distance: 0.5\n"
                       "*** Error for penalizing inconsistent labels: 1\n"
                       "*** Penalty for assigning the dummy label (no correspondence, smooth/data): (1/2)\n"
                       "*** Smoothness / data term weights: (1/1)\n"
                       "*** Maximum smooth term / data term value: 1/2\n"
                       "*** Number of sites/labels: 60/4\n"
                       "*** Source model vertices / Target model vertices: 30/30\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Solving graph cut using expansion..."), std::string::npos);
    EXPECT_NE(log.find("After optimization energy is: 0\n*** Non-regular smoothness terms truncated: "),
              std::string::npos)
        << log;
    // 18 boundary vertices of the 6 x 5 grid, two extra edges each.
    EXPECT_NE(log.find("Created 36 extra edges!"), std::string::npos);

    captured([&] { EXPECT_EQ(g.labels->maxSymmetricHausdorff(), 0.0f); });
}

// Two rigid parts of a strip: the left half stays, the right half turns about the joint.
TEST(GraphCutRelabel, LabelsFollowTheRigidParts) {
    const int nx = 16, ny = 5;
    std::vector<int> part(nx * ny);
    for (int v = 0; v < nx * ny; ++v) part[v] = (v % nx) < nx / 2 ? 0 : 1;
    const RigidTransform bend = rotationAbout(Vec3f(0, 1, 0), 0.6f, Vec3f(7.5f, 0, 0));
    for (int solution : {1, 2}) {
        GridPair g(nx, ny, {RigidTransform(), bend}, part);
        captured([&] {
            g.labels->relabel(solution, 1, false, 0, 0.3f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 2.0f);
        });
        int wrongFar = 0, wrong = 0;
        for (int v = 0; v < nx * ny; ++v) {
            bool nearJoint = std::abs((v % nx) - 7.5f) < 1.0f;
            if (g.labels->labelsSource[v] != part[v]) {
                ++wrong;
                if (!nearJoint) ++wrongFar;
            }
            if (g.labels->labelsTarget[v] != part[v] && !nearJoint) ++wrongFar;
        }
        EXPECT_EQ(wrongFar, 0) << "solution " << solution;
        EXPECT_LE(wrong, 2 * ny);
        ASSERT_EQ(g.labels->regionsSource.size(), 2u);
    }

    // Started at the parts, the expansion ends no higher than from scratch; a start that does not
    // fit (too short, or a label beyond the label count) is ignored.
    GridPair g(nx, ny, {RigidTransform(), bend}, part);
    auto relabelFrom = [&](const std::vector<int>* start) {
        captured([&] { g.labels->relabel(2, 1, false, 0, 0.3f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 2.0f, start); });
        return g.labels->energy;
    };
    const float cold = relabelFrom(nullptr);
    std::vector<int> start(part);
    start.insert(start.end(), part.begin(), part.end());
    EXPECT_LE(relabelFrom(&start), cold);
    std::vector<int> beyond(start);
    beyond[3] = 2;
    EXPECT_EQ(relabelFrom(&part), cold);
    EXPECT_EQ(relabelFrom(&beyond), cold);
}

TEST(GraphCutRelabel, DummyLabelTakesVerticesWithoutCounterpart) {
    // The target lacks the right third of the source: those source vertices take the dummy label.
    std::unique_ptr<Mesh3_real> source(makeGridMesh(12, 4));
    std::unique_ptr<Mesh3_real> target(makeGridMesh(8, 4));
    MatchCandidates mc(source.get(), target.get());
    LabelingResult labels(mc);
    setSortedTransforms(mc, {RigidTransform()});
    captured([&] { labels.relabel(2, 1, true, 0, 0.3f, 1.0f, 0.2f, 1.0f, 1.0f, 1.0f, 1.0f, 3.0f); });
    for (int v = 0; v < 48; ++v) {
        int x = v % 12;
        if (x <= 6) {
            EXPECT_EQ(labels.labelsSource[v], 0) << v;
        }
        if (x >= 10) {
            EXPECT_EQ(labels.labelsSource[v], 1) << v;
        }
    }
    for (int l : labels.labelsTarget) EXPECT_EQ(l, 0);
    ASSERT_EQ(labels.regionsSource.size(), 1u);  // dummy vertices belong to no region
    EXPECT_LT(labels.regionsSource[0].size(), 48);

    std::string log = captured([&] { labels.maxSymmetricHausdorff(); }).first;
    EXPECT_NE(log.find("*** Leaving out "), std::string::npos) << log;
}

TEST(GraphCutRelabel, ForwardInstanceLabelsSourceOnly) {
    const int nx = 10, ny = 4;
    std::vector<int> part(nx * ny);
    for (int v = 0; v < nx * ny; ++v) part[v] = (v % nx) < nx / 2 ? 0 : 1;
    GridPair g(nx, ny, {RigidTransform(), translation(0, 0, 2.0f)}, part);
    g.labels->labelsTarget.assign(40, 1);
    auto out = captured([&] { g.labels->relabelForward(2, 1, 1.0f, 1.0f, 1.0f, 5.0f); });
    EXPECT_NE(out.first.find("Starting graph cut optimization (forward)...\n"), std::string::npos);
    EXPECT_NE(out.first.find("*** Number of sites/labels: 40/2\n*** Source model vertices: 40\n"), std::string::npos);
    EXPECT_TRUE(g.labels->labelsTarget.empty());
    ASSERT_EQ(g.labels->labelsSource.size(), 40u);
    int wrong = 0;
    for (int v = 0; v < 40; ++v) wrong += g.labels->labelsSource[v] != part[v];
    EXPECT_LE(wrong, 4);
}

TEST(GraphCutRelabel, BadRequestsChangeNothing) {
    GridPair g(4, 3, {RigidTransform(), translation(0, 0, 1)}, std::vector<int>(12, 0));
    LabelingResult& labels = *g.labels;
    labels.labelsSource.assign(12, 1);
    labels.labelsTarget.assign(12, 1);

    // Unknown data term or solution type: message, false, previous labels kept, and no
    // closest-point tables built.
    labels.closestPtsSource.clear();
    bool done = true;
    auto out = captured([&] { done = labels.relabel(2, 7, false, 0, 0.3f, 1, 1, 1, 1, 1, 1, 1); });
    EXPECT_FALSE(done);
    EXPECT_NE(out.second.find("Unknown data term type 7! Aborting graph cut optimization.\n"), std::string::npos);
    EXPECT_NE(out.first.find("*** Data term type: *** Using dummy label: 0\n"), std::string::npos);
    EXPECT_EQ(labels.labelsSource, std::vector<int>(12, 1));
    EXPECT_EQ(labels.labelsTarget, std::vector<int>(12, 1));
    out = captured([&] { done = labels.relabelForward(1, 0, 1, 1, 1, 1); });
    EXPECT_FALSE(done);
    EXPECT_NE(out.second.find("Unknown data term type 0! Aborting graph cut optimization.\n"), std::string::npos);
    EXPECT_EQ(labels.labelsSource, std::vector<int>(12, 1));
    out = captured([&] { done = labels.relabel(3, 1, false, 0, 0.3f, 1, 1, 1, 1, 1, 1, 1); });
    EXPECT_FALSE(done);
    EXPECT_NE(out.first.find("Unknown solution type 3!\n"), std::string::npos);
    out = captured([&] { done = labels.relabelForward(0, 1, 1, 1, 1, 1); });
    EXPECT_FALSE(done);
    EXPECT_NE(out.first.find("Unknown solution type 0!\n"), std::string::npos);
    EXPECT_EQ(labels.labelsSource, std::vector<int>(12, 1));
    EXPECT_EQ(labels.labelsTarget, std::vector<int>(12, 1));
    EXPECT_TRUE(labels.closestPtsSource.empty());

    // Missing prerequisites.
    MatchCandidates empty(g.source.get(), g.target.get());
    LabelingResult emptyLabels(empty);
    out = captured([&] { emptyLabels.relabel(2, 1, false, 0, 0.3f, 1, 1, 1, 1, 1, 1, 1); });
    EXPECT_EQ(out.second, "Error in MatchCandidates::GraphCutRelabel(): Please perform region match & verify first!\n");
    out = captured([&] { emptyLabels.precomputeClosestPts(); });
    EXPECT_EQ(out.second,
              "Error in MatchCandidates::precomputeClosestPts(): Please perform region match & verify first!\n");
    ShapeModel points(1);
    points.vertices.addPoint(Vec3f());
    MatchCandidates notMeshes(&points, g.target.get());
    LabelingResult notMeshesLabels(notMeshes);
    setSortedTransforms(notMeshes, {RigidTransform()});
    out = captured([&] { notMeshesLabels.relabel(2, 1, false, 0, 0.3f, 1, 1, 1, 1, 1, 1, 1); });
    EXPECT_EQ(out.second, "Error in MatchCandidates::GraphCutRelabel(): Currently only supports meshes.\n");
    out = captured([&] { notMeshesLabels.relabelForward(2, 1, 1, 1, 1, 1); });
    EXPECT_EQ(out.second, "Error in MatchCandidates::GraphCutRelabel_Forward(): Currently only supports meshes.\n");
    g.source->edgeList.reset();
    out = captured([&] { labels.relabel(2, 1, false, 0, 0.3f, 1, 1, 1, 1, 1, 1, 1); });
    EXPECT_EQ(out.second,
              "Error in MatchCandidates::GraphCutRelabel(): Please precompute edge data for source and target meshes!\n");
    out = captured([&] { labels.relabelForward(2, 1, 1, 1, 1, 1); });
    EXPECT_EQ(out.second,
              "Error in MatchCandidates::GraphCutRelabel_Forward(): Please precompute edge data for source mesh!\n");
    EXPECT_EQ(labels.labelsSource, std::vector<int>(12, 1));
}

TEST(GraphCutRelabel, NeighbourhoodIsDeduplicatedAndThresholded) {
    GridPair g(4, 3, {RigidTransform(), translation(0, 0, 5)}, std::vector<int>(12, 0));
    LabelingResult& labels = *g.labels;
    labels.costs.closestPtDistThreshold = 0.5f;
    captured([&] {
        labels.precomputeClosestPts();
        LabelingResult::createBoundarySmoothnessEdges(g.source.get(), 0, labels.boundaryEdgesSource);
    });
    EXPECT_TRUE(labels.boundaryEdgesSource.empty());
    GeneralGraphOptimizer opt(24, 2);
    // Mesh edges passed twice, as both extra lists, must still give each pair once.
    labels.setupSymmetricNeighbours(opt, g.source->edgeList->edges, g.target->edgeList->edges,
                                    g.source->edgeList->edges, g.target->edgeList->edges);
    int count;
    const int* idx;
    const float* w;
    opt.neighbourInfo(5, &count, &idx, &w);
    // Interior vertex 5 of the 4 x 3 grid: 6 mesh neighbours, and only the identity maps it within
    // the threshold, onto target vertex 5 (site 17). The far transform adds nothing.
    std::vector<int> got(idx, idx + count);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{0, 1, 4, 6, 9, 10, 17}));
    for (int k = 0; k < count; ++k) EXPECT_EQ(w[k], 1.0f);
}
