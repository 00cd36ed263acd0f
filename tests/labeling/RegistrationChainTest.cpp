#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "geometry/Features.h"
#include "LabelingFixtures.h"
#include "labeling/LabelingResult.h"
#include "matching/MeanShift.h"
#include "core/Random.h"
#include "geometry/Remesh.h"
#include "geometry/ShapeGenerator.h"
#include "matching/Verify.h"

using namespace veltrix;

namespace {

Mesh3_real* meshFromPose(const std::vector<std::array<float, 3>>& points,
                         const std::vector<std::array<int, 3>>& faces, const std::string& name, float diagonal,
                         const std::vector<float>& scales) {
    Mesh3_real* m = new Mesh3_real;
    m->baseDir = labelingScratchDir() + "chain/";
    m->fileName = name;
    for (const auto& p : points) m->vertices.addPoint(Vec3f(p[0], p[1], p[2]));
    for (const auto& f : faces) m->faces.push_back({f[0], f[1], f[2]});
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    m->meshResolution = 0.01f * diagonal;
    m->computeNormals(true);
    m->detectBoundary();
    computeFrames(*m, scales, true);
    copyCurvatureFeatures(*m);
    return m;
}

float diagonalOf(const ArticulatedPair& pair) {
    Vec3f lo(1e30f, 1e30f, 1e30f), hi(-1e30f, -1e30f, -1e30f);
    for (const auto* pose : {&pair.source, &pair.target})
        for (const auto& p : *pose)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], p[a]);
                hi[a] = std::max(hi[a], p[a]);
            }
    return (hi - lo).length();
}

}  // namespace

// The whole chain on a generated articulated figure: sub-sample, pair in feature space, mean
// shift, verify, sort and relabel. Vertex i of the source corresponds to vertex i of the target.
TEST(RegistrationChain, LabelsCarryTheLimbsOntoTheirPose) {
    const ArticulatedPair pair = makeArticulatedPair(2000);
    const float diagonal = diagonalOf(pair);
    std::filesystem::remove_all(labelingScratchDir() + "chain/");
    const float r = 0.05f * diagonal;
    std::unique_ptr<Mesh3_real> source, target;
    std::unique_ptr<MatchCandidates> mc;
    std::unique_ptr<LabelingResult> labels;
    auto out = captured([&] {
        source.reset(meshFromPose(pair.source, pair.faces, "figure-000.obj", diagonal, {r * r}));
        target.reset(meshFromPose(pair.target, pair.faces, "figure-001.obj", diagonal, {r * r}));
        mc.reset(new MatchCandidates(source.get(), target.get()));
        labels.reset(new LabelingResult(*mc));
        randomSeed(2024);
        mc->subsample(800, 800, 1.0f);
        mc->findCandidateCorrespondence(1.0f, 30, 0.0f);
        mc->clusters = clusterMotions(mc->transformationSpace, {0.2f * 0.2f, 1.0f, 100, 0.0f});
        keepVerified(*mc, verifyRegions(*mc, {5, 60, 0.005f * diagonal, 0.0f, {}}));
        mc->sortResult(30, 20);
        labels->relabel(2, 1, false, 0, 0.01f * diagonal, 1.0f * diagonal, 0.01f * diagonal,
                        0.01f * diagonal, 1.0f, 1.0f, 0.02f * diagonal, 0.05f * diagonal);
    });
    ASSERT_FALSE(mc->sortedTransforms.empty()) << out.first << out.second;
    ASSERT_EQ(labels->labelsSource.size(), pair.source.size()) << out.second;

    int close = 0;
    std::vector<std::map<int, int>> labelsPerPart(pair.partCount);
    for (size_t v = 0; v < pair.source.size(); ++v) {
        const int label = labels->labelsSource[v];
        labelsPerPart[pair.part[v]][label]++;
        const auto& s = pair.source[v];
        const auto& t = pair.target[v];
        Vec3f moved = mc->sortedTransforms[label].apply(Vec3f(s[0], s[1], s[2]));
        if ((moved - Vec3f(t[0], t[1], t[2])).length() < 0.02f * diagonal) ++close;
    }
    // About 99.5 % come within 2 % of the diagonal with these settings; assert 95 %.
    EXPECT_GE(close, static_cast<int>(0.95 * pair.source.size()));
    // Every rigid part is carried mostly by a label of its own.
    std::set<int> majority;
    for (const auto& counts : labelsPerPart) {
        auto best = std::max_element(counts.begin(), counts.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        ASSERT_NE(best, counts.end());
        majority.insert(best->first);
    }
    EXPECT_EQ(static_cast<int>(majority.size()), pair.partCount);

    float error = 0;
    captured([&] { error = labels->maxSymmetricHausdorff(); });
    EXPECT_LT(error, 0.03f * diagonal);  // about 1 % with these settings
}

// Arms swapped left for right on the generated figure (mirror symmetric about x = 0): each arm
// carried onto the other arm's place. The right labelling holds together; the swapped one tears
// both arms from the body, and the mirror proposals of the swapped labels are the right motions.
// An arm turned a quarter about its own length gets its right motion among the turned proposals.
TEST(LabelingConfidence, SwappedArmsAreDetachedAndTheirMirrorsAreTheRightMotions) {
    const ArticulatedPair pair = makeArticulatedPair(1500);
    const float diagonal = diagonalOf(pair);
    std::filesystem::remove_all(labelingScratchDir() + "chain/");
    std::unique_ptr<Mesh3_real> source, target;
    captured([&] {
        source.reset(meshFromPose(pair.source, pair.faces, "figure-000.obj", diagonal, {}));
        target.reset(meshFromPose(pair.target, pair.faces, "figure-001.obj", diagonal, {}));
    });
    std::vector<RigidTransform> truth(5);
    for (int p = 0; p < 5; ++p) {
        for (int k = 0; k < 9; ++k) truth[p].R[k] = pair.motions[p][k];
        for (int k = 0; k < 3; ++k) truth[p].t[k] = pair.motions[p][9 + k];
    }
    auto at = [&](int v) { return Vec3f(pair.source[v][0], pair.source[v][1], pair.source[v][2]); };
    // Arm 1 onto where arm 2 goes (its mirror image moved by arm 2's motion), and back.
    std::vector<RigidTransform> swapped = truth;
    for (int arm : {1, 2}) {
        std::vector<Vec3f> from, to;
        for (size_t v = 0; v < pair.source.size(); ++v)
            if (pair.part[v] == arm) {
                from.push_back(at(int(v)));
                to.push_back(truth[3 - arm].apply(Vec3f(-from.back().x, from.back().y, from.back().z)));
            }
        swapped[arm] = registerQuat(from, to);
    }
    MatchCandidates mc(source.get(), target.get());
    LabelingResult labels(mc);
    labels.labelsSource = pair.part;
    const float contact = 0.015f * diagonal, tear = 0.06f * diagonal;

    setSortedTransforms(mc, truth);
    const LabelingConfidence right = measureConfidence(mc, labels, contact, tear);
    EXPECT_TRUE(right.measured);
    EXPECT_EQ(right.tornPairs, 0);
    EXPECT_EQ(right.detachedShare, 0.0f);
    EXPECT_GE(right.contactPairs, 4);  // every limb touches the body

    setSortedTransforms(mc, swapped);
    const LabelingConfidence wrong = measureConfidence(mc, labels, contact, tear);
    EXPECT_EQ(wrong.tornPairs, 2);
    EXPECT_EQ(wrong.detachedLabels, 2);
    const long arms = std::count(pair.part.begin(), pair.part.end(), 1) + std::count(pair.part.begin(), pair.part.end(), 2);
    EXPECT_NEAR(wrong.detachedShare, float(arms) / float(pair.part.size()), 1e-6f);

    // Whether the search holds a motion within 1 % of the diagonal of the arm's true one.
    auto proposed = [&](int arm) {
        bool found = false;
        for (const RigidTransform& T : mc.regionTransforms) {
            double error = 0;
            int count = 0;
            for (size_t v = 0; v < pair.source.size(); ++v)
                if (pair.part[v] == arm) {
                    error += (T.apply(at(int(v))) - truth[arm].apply(at(int(v)))).length();
                    ++count;
                }
            found = found || error / count < 0.01 * diagonal;
        }
        return found;
    };
    captured([&] { proposeMirrored(mc, labels, 0.05f * diagonal, 0.01f * diagonal, 20); });
    for (int arm : {1, 2}) EXPECT_TRUE(proposed(arm)) << "arm " << arm;

    // Arm 1 (along x) turned a quarter about the x axis through its centre before its motion.
    Vec3f centre(0, 0, 0);
    for (size_t v = 0; v < pair.source.size(); ++v)
        if (pair.part[v] == 1) centre = centre + at(int(v)) / float(std::count(pair.part.begin(), pair.part.end(), 1));
    const float quarter[6] = {0, 0, 0, float(M_PI / 2), 0, 0};
    RigidTransform turn = twistToTransform(quarter);
    const Vec3f moved = turn.rotate(centre);
    for (int a = 0; a < 3; ++a) turn.t[a] = centre[a] - moved[a];
    std::vector<RigidTransform> twisted = truth;
    twisted[1] = composeTransforms(truth[1], turn);
    setSortedTransforms(mc, twisted);
    mc.regions.clear();
    mc.regionTransforms.clear();
    captured([&] { proposeTurnedOver(mc, labels, 0.05f * diagonal, 0.01f * diagonal, 20); });
    EXPECT_TRUE(proposed(1));
}

namespace {

// A closed tube along z, of length 6, tapered (radius scale 1 + 0.05 z) so that it does not fit
// itself flipped end to end; its cross-section r(a) = 1 + bump (cos 2a + 0.7 cos 3a) is round
// without a bump and fits itself only unturned with one.
void makeTube(float bump, std::vector<std::array<float, 3>>& points, std::vector<std::array<int, 3>>& faces) {
    const int rings = 30, segments = 32;
    points.clear();
    faces.clear();
    for (int i = 0; i < rings; ++i) {
        const float z = -3.0f + 6.0f * float(i) / float(rings - 1);
        for (int j = 0; j < segments; ++j) {
            // Unevenly spaced about the axis, so that no turn carries the vertices onto each other.
            const float a = 2.0f * float(M_PI) * (float(j) + 0.4f * float((j * 7 + i * 3) % 5 - 2) / 2.0f) / float(segments);
            const float r = (1.0f + bump * (std::cos(2 * a) + 0.7f * std::cos(3 * a))) * (1.0f + 0.05f * z);
            points.push_back({r * std::cos(a), r * std::sin(a), z});
        }
    }
    const int low = int(points.size()), high = low + 1;
    points.push_back({0, 0, -3.0f});
    points.push_back({0, 0, 3.0f});
    for (int i = 0; i + 1 < rings; ++i)
        for (int j = 0; j < segments; ++j) {
            const int a = i * segments + j, b = i * segments + (j + 1) % segments;
            faces.push_back({a, b, b + segments});
            faces.push_back({a, b + segments, a + segments});
        }
    for (int j = 0; j < segments; ++j) {
        faces.push_back({low, (j + 1) % segments, j});
        faces.push_back({high, (rings - 1) * segments + j, (rings - 1) * segments + (j + 1) % segments});
    }
}

std::unique_ptr<Mesh3_real> meshOf(const std::vector<std::array<float, 3>>& points,
                                   const std::vector<std::array<int, 3>>& faces) {
    auto m = std::make_unique<Mesh3_real>();
    for (const auto& p : points) m->vertices.addPoint(Vec3f(p[0], p[1], p[2]));
    for (const auto& f : faces) m->faces.push_back({f[0], f[1], f[2]});
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    m->computeNormals(true);
    m->detectBoundary();
    return m;
}

}  // namespace

// A round limb fits a target triangulated otherwise about as well twisted about its length; on
// the same triangulation, or with a cross-section that is not round, only its own motion fits.
TEST(LabelingConfidence, RoundPartsAreAmbiguousOnlyOnAnotherTriangulation) {
    float twist[6] = {0.5f, -0.2f, 0.3f, 0.4f, 0.1f, -0.3f};
    const RigidTransform motion = twistToTransform(twist);
    auto ambiguousShare = [&](float bump, bool remeshed) {
        std::vector<std::array<float, 3>> points, moved;
        std::vector<std::array<int, 3>> faces;
        makeTube(bump, points, faces);
        for (const auto& p : points) {
            const Vec3f q = motion.apply(Vec3f(p[0], p[1], p[2]));
            moved.push_back({q.x, q.y, q.z});
        }
        std::unique_ptr<Mesh3_real> source = meshOf(points, faces), target;
        if (remeshed) {
            const RemeshedSurface other = remeshSurface(moved, faces, RemeshOptions());
            target = meshOf(other.vertices, other.faces);
        } else {
            target = meshOf(moved, faces);
        }
        MatchCandidates mc(source.get(), target.get());
        setSortedTransforms(mc, {motion});
        LabelingResult labels(mc);
        labels.labelsSource.assign(std::size_t(source->vertexCount()), 0);
        LabelingConfidence confidence;
        captured([&] { measureAmbiguity(mc, labels, 0.3f, 0.15f, 20, confidence); });
        return confidence.ambiguousShare;
    };
    EXPECT_EQ(ambiguousShare(0.0f, true), 1.0f);
    EXPECT_EQ(ambiguousShare(0.0f, false), 0.0f);
    EXPECT_EQ(ambiguousShare(0.25f, true), 0.0f);
}
