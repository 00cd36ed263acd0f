#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "labeling/GraphCutResult.h"
#include "labeling/LabelingResult.h"
#include "LabelingFixtures.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

std::string scratchFile(const std::string& name) {
    fs::create_directories(labelingScratchDir());
    return labelingScratchDir() + name;
}

std::vector<char> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A search object and its labelling over two 5 x 4 grids with three cluster regions (one unverified, empty) and
// labels on both shapes.
struct ResultFixture {
    std::unique_ptr<Mesh3_real> source{makeGridMesh(5, 4)};
    std::unique_ptr<Mesh3_real> target{makeGridMesh(5, 4)};
    MatchCandidates mc{source.get(), target.get()};
    LabelingResult labels{mc};
    ResultFixture() {
        std::mt19937 rng(4);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        mc.regions.resize(3);
        mc.regionTransforms.resize(3);
        for (int r : {1, 2}) {
            RigidTransform& T = mc.regionTransforms[r];
            for (float& x : T.R) x = u(rng);
            for (float& x : T.t) x = u(rng) * 1e-3f;
            for (int k = 0; k < 4 + 3 * r; ++k)
                mc.regions[r].addCorrespondence(Vec3f(u(rng), u(rng), u(rng)), Vec3f(u(rng), u(rng), u(rng)),
                                                k % 20, (k * 7) % 20);
        }
        mc.regionTransforms[0].t[0] = 0.125f;  // unverified cluster: empty region, its transform kept
        captured([&] { mc.sortResult(2, -1); });
        for (int v = 0; v < 20; ++v) {
            labels.labelsSource.push_back(v % 3);  // label 2 is the dummy label
            labels.labelsTarget.push_back((v + 1) % 2);
        }
    }
};

void expectSameResult(const LabelingResult& labelsA, const LabelingResult& labelsB) {
    const MatchCandidates& a = labelsA.search();
    const MatchCandidates& b = labelsB.search();
    ASSERT_EQ(a.regions.size(), b.regions.size());
    for (size_t r = 0; r < a.regions.size(); ++r) {
        for (int k = 0; k < 9; ++k) EXPECT_TRUE(sameBits(a.regionTransforms[r].R[k], b.regionTransforms[r].R[k]));
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(sameBits(a.regionTransforms[r].t[k], b.regionTransforms[r].t[k]));
        ASSERT_EQ(a.regions[r].size(), b.regions[r].size());
        EXPECT_EQ(a.regions[r].sourceIndices, b.regions[r].sourceIndices);
        EXPECT_EQ(a.regions[r].targetIndices, b.regions[r].targetIndices);
        for (int k = 0; k < a.regions[r].size(); ++k) {
            EXPECT_EQ(a.regions[r].sourcePoints.point(k), b.regions[r].sourcePoints.point(k));
            EXPECT_EQ(a.regions[r].targetPoints.point(k), b.regions[r].targetPoints.point(k));
        }
    }
    EXPECT_EQ(a.resultMinRegionSize, b.resultMinRegionSize);
    EXPECT_EQ(a.resultMaxRegions, b.resultMaxRegions);
    EXPECT_EQ(labelsA.labelsSource, labelsB.labelsSource);
    EXPECT_EQ(labelsA.labelsTarget, labelsB.labelsTarget);
    ASSERT_EQ(a.sortedTransforms.size(), b.sortedTransforms.size());
    for (size_t r = 0; r < a.sortedTransforms.size(); ++r) {
        EXPECT_EQ(a.sortedRegions[r].size(), b.sortedRegions[r].size());
        for (int k = 0; k < 9; ++k) {
            EXPECT_TRUE(sameBits(a.sortedTransforms[r].R[k], b.sortedTransforms[r].R[k]));
            EXPECT_TRUE(sameBits(a.sortedInverseTransforms[r].R[k], b.sortedInverseTransforms[r].R[k]));
        }
    }
}

}  // namespace

TEST(GraphCutResultFile, RoundTripIsExact) {
    ResultFixture saved;
    const std::string path = scratchFile("roundtrip.gc");
    auto out = captured([&] { saveGraphCutResult(saved.labels, path); });
    EXPECT_EQ(out.first, "Saving graph cut result...done!\n");
    // 3 region blocks (52 bytes each plus 32 per correspondence), 4 ints, 40 labels.
    EXPECT_EQ(fs::file_size(path), 4u + 3 * 52 + (7 + 10) * 32 + 16 + 40 * 4);

    ResultFixture loaded;
    loaded.mc.regions.clear();
    loaded.labels.labelsSource.assign(20, 0);
    out = captured([&] { loadGraphCutResult(loaded.mc, loaded.labels, path); });
    EXPECT_EQ(out.first.rfind("Loading graph cut result... min verified region size: 2 max number of verified "
                              "regions: -1",
                              0),
              0u)
        << out.first;
    EXPECT_NE(out.first.find(" ...done!\n"), std::string::npos);
    expectSameResult(saved.labels, loaded.labels);
    EXPECT_EQ(loaded.mc.regions[0].size(), 0);
    EXPECT_EQ(loaded.mc.regionTransforms[0].t[0], 0.125f);
    EXPECT_EQ(loaded.mc.sortedRegions.size(), 2u);

    // After a forward relabelling there are no target labels.
    saved.labels.labelsTarget.clear();
    captured([&] { saveGraphCutResult(saved.labels, path); });
    captured([&] { loadGraphCutResult(loaded.mc, loaded.labels, path); });
    EXPECT_TRUE(loaded.labels.labelsTarget.empty());
    expectSameResult(saved.labels, loaded.labels);
}

TEST(GraphCutResultFile, RejectedFilesLeaveThePreviousResult) {
    ResultFixture good;
    const std::string path = scratchFile("good.gc");
    captured([&] { saveGraphCutResult(good.labels, path); });
    const std::vector<char> bytes = readBytes(path);

    auto patched = [&](std::size_t offset, int32_t value) {
        std::vector<char> b = bytes;
        std::memcpy(b.data() + offset, &value, 4);
        return b;
    };
    const std::size_t labelsAt = bytes.size() - 40 * 4;  // first source label
    const std::size_t countsAt = labelsAt - 8;           // source and target label counts
    std::mt19937 rng(12);
    std::vector<char> foreign(300);
    for (char& c : foreign) c = static_cast<char>(rng());
    std::vector<char> longer = bytes;
    longer.push_back(0);
    const std::vector<std::pair<std::string, std::vector<char>>> bad = {
        {"empty", {}},
        {"truncated", std::vector<char>(bytes.begin(), bytes.end() - 3)},
        {"cut in a region", std::vector<char>(bytes.begin(), bytes.begin() + 100)},
        {"foreign", foreign},
        {"trailing byte", longer},
        {"huge region count", patched(0, 1 << 30)},
        {"negative region count", patched(0, -1)},
        {"huge correspondence count", patched(4 + 48, 1 << 28)},
        {"source label count", patched(countsAt, 19)},
        {"target label count", patched(countsAt + 4, 7)},
        {"label beyond sorted regions", patched(labelsAt, 3)},
        {"negative label", patched(labelsAt + 4, -1)},
        {"non-finite rotation", patched(4 + 8, 0x7fc00000)},
        {"infinite translation", patched(4 + 40, 0x7f800000)},
        {"non-finite correspondence point", patched(4 + 52 + 8, 0x7fc00000)},
        {"absurd translation", patched(4 + 44, 0x7e800000)},
    };
    ResultFixture current;
    const std::string badPath = scratchFile("bad.gc");
    for (const auto& [what, content] : bad) {
        writeBytes(badPath, content);
        auto out = captured([&] { loadGraphCutResult(current.mc, current.labels, badPath); });
        EXPECT_NE(out.first.find("Error in loadGraphCutResult(): "), std::string::npos) << what;
        expectSameResult(good.labels, current.labels);
    }
    // The dummy label (one past the sorted regions) is accepted.
    writeBytes(badPath, patched(labelsAt, 2));
    captured([&] { loadGraphCutResult(current.mc, current.labels, badPath); });
    EXPECT_EQ(current.labels.labelsSource[0], 2);

    auto out = captured([&] { loadGraphCutResult(current.mc, current.labels, scratchFile("missing/none.gc")); });
    EXPECT_EQ(out.first, "Error in loadGraphCutResult(): could not open file " + scratchFile("missing/none.gc") +
                             " for reading!\n");
    out = captured([&] { saveGraphCutResult(current.labels, scratchFile("missing/none.gc")); });
    EXPECT_EQ(out.first, "Error in saveGraphCutResult(): could not open file " + scratchFile("missing/none.gc") +
                             " for writing!\n");
}

TEST(GraphCutResultFile, UnlabelledResultLoadsAndLoadingReplacesTheLastRun) {
    ResultFixture saved;
    saved.labels.labelsSource.clear();
    saved.labels.labelsTarget.clear();
    const std::string path = scratchFile("unlabelled.gc");
    captured([&] { EXPECT_TRUE(saveGraphCutResult(saved.labels, path)); });
    ResultFixture current;  // the last run's tables and labelling regions
    current.labels.closestPtsSource.assign(40, {1, 0.5f});
    current.labels.movedPtsSource.assign(40, Vec3f(1, 2, 3));
    current.labels.regionsSource.resize(2);
    captured([&] { EXPECT_TRUE(loadGraphCutResult(current.mc, current.labels, path)); });
    expectSameResult(saved.labels, current.labels);
    EXPECT_TRUE(current.labels.closestPtsSource.empty());
    EXPECT_TRUE(current.labels.movedPtsSource.empty());
    EXPECT_TRUE(current.labels.regionsSource.empty());
    // Loaded labels rebuild the labelling regions: 7 vertices each on labels 0 and 1.
    ResultFixture labelled;
    captured([&] { saveGraphCutResult(labelled.labels, path); });
    captured([&] { loadGraphCutResult(current.mc, current.labels, path); });
    ASSERT_EQ(current.labels.regionsSource.size(), 2u);
    EXPECT_EQ(current.labels.regionsSource[0].size() + current.labels.regionsSource[1].size(), 14);
    // A device where the result belongs is neither written nor read, and is left alone.
    auto out = captured([&] { EXPECT_FALSE(saveGraphCutResult(saved.labels, "/dev/full")); });
    EXPECT_NE(out.second.find("/dev/full is not a regular file!"), std::string::npos) << out.second;
    out = captured([&] { EXPECT_FALSE(loadGraphCutResult(current.mc, current.labels, "/dev/full")); });
    EXPECT_NE(out.first.find("could not open file /dev/full for reading!"), std::string::npos);
    EXPECT_TRUE(fs::exists("/dev/full"));
}

// Points in all seven regions around a triangle, random triangles and degenerate ones, against a
// brute-force minimum over a fine barycentric grid.
TEST(PointTriangleDistance, MatchesBruteForceInEveryRegion) {
    auto brute = [](const Vec3f& p, const Vec3f& a, const Vec3f& b, const Vec3f& c) {
        const int n = 400;
        float best = std::numeric_limits<float>::max();
        for (int i = 0; i <= n; ++i)
            for (int j = 0; i + j <= n; ++j) {
                Vec3f q = a + (b - a) * (float(i) / n) + (c - a) * (float(j) / n);
                best = std::min(best, (p - q).squaredLength());
            }
        return best;
    };
    auto check = [&](const Vec3f& p, const Vec3f& a, const Vec3f& b, const Vec3f& c) {
        Vec3f q;
        float d = pointTriangleSquaredDistance(p, a, b, c, &q);
        float ref = brute(p, a, b, c);
        float scale = (b - a).length() + (c - a).length() + (p - a).length();
        EXPECT_LE(d, ref + 1e-5f * scale * scale);
        EXPECT_GE(d, ref - 2e-2f * scale * std::sqrt(ref) / 400 - 1e-4f * scale * scale / 400);
        EXPECT_NEAR((p - q).squaredLength(), d, 1e-5f * scale * scale);
    };
    const Vec3f a(0, 0, 0), b(2, 0, 0), c(0.5f, 1.5f, 0);
    // Interior, beyond each edge, beyond each corner, each lifted off the plane.
    const std::vector<Vec3f> probes = {{0.7f, 0.4f, 0.5f}, {1.0f, -1.0f, 0.3f}, {2.0f, 1.5f, -0.2f},
                                       {-0.8f, 0.8f, 0.1f}, {-0.5f, -0.5f, 0.2f}, {3.0f, -0.4f, 0.4f},
                                       {0.4f, 2.5f, -0.6f}, {1.2f, 0.9f, 0.0f},  {0.5f, 1.5f, 0.0f}};
    for (const Vec3f& p : probes) check(p, a, b, c);
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (int k = 0; k < 150; ++k) {
        Vec3f ta(u(rng), u(rng), u(rng)), tb(u(rng), u(rng), u(rng)), tc(u(rng), u(rng), u(rng));
        check(Vec3f(u(rng), u(rng), u(rng)) * 1.5f, ta, tb, tc);
    }
    // Degenerate: collinear corners, two coincident corners, all three coincident.
    check(Vec3f(1, 1, 0), Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(3, 0, 0));
    check(Vec3f(-1, 0.5f, 0.2f), Vec3f(0, 0, 0), Vec3f(0, 0, 0), Vec3f(2, 1, 0));
    Vec3f q;
    EXPECT_FLOAT_EQ(pointTriangleSquaredDistance(Vec3f(1, 2, 2), Vec3f(1, 0, 0), Vec3f(1, 0, 0), Vec3f(1, 0, 0), &q),
                    8.0f);
    EXPECT_EQ(q, Vec3f(1, 0, 0));
}

TEST(TriangleBVH, EqualsTheExhaustiveLoopExactly) {
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::unique_ptr<Mesh3_real> grid(makeGridMesh(17, 13, 0.1f));
    std::vector<Vec3f> vertices = grid->vertices.points();
    for (Vec3f& v : vertices) v.z = 0.2f * std::sin(5 * v.x) * std::cos(3 * v.y) + 0.01f * u(rng);
    std::vector<Triangle> soup = grid->faces;
    for (int k = 0; k < 40; ++k) {  // loose triangles of all sizes, some degenerate
        int base = static_cast<int>(vertices.size());
        Vec3f p(u(rng), u(rng), u(rng));
        vertices.push_back(p);
        vertices.push_back(k % 10 == 0 ? p : p + Vec3f(u(rng), u(rng), u(rng)) * 0.3f);
        vertices.push_back(p + Vec3f(u(rng), u(rng), u(rng)) * 0.05f);
        soup.push_back({base, base + 1, base + 2});
    }
    TriangleBVH bvh(vertices, soup);
    for (int k = 0; k < 2000; ++k) {
        Vec3f p(u(rng) * 2, u(rng) * 2, u(rng) * 2);
        if (k % 4 == 0) p = vertices[rng() % vertices.size()];
        ASSERT_EQ(bvh.closestSquaredDistance(p), closestTriangleSquaredDistanceExhaustive(p, vertices, soup)) << k;
    }
    std::vector<Triangle> none;
    TriangleBVH empty(vertices, none);
    EXPECT_EQ(empty.closestSquaredDistance(Vec3f()), 3.4028235e38f);
}

TEST(MaxSymmetricHausdorff, MeasuresMovedSourceAgainstTarget) {
    std::unique_ptr<Mesh3_real> source(makeGridMesh(6, 6));
    std::unique_ptr<Mesh3_real> target(makeGridMesh(6, 6));
    MatchCandidates mc(source.get(), target.get());
    LabelingResult labels(mc);
    // Before any relabelling: the largest float, silently.
    auto out = captured([&] { EXPECT_EQ(labels.maxSymmetricHausdorff(), 3.4028235e38f); });
    EXPECT_EQ(out.first + out.second, "");

    // Identity everywhere except one corner vertex lifted by 0.5 through its own label.
    setSortedTransforms(mc, {RigidTransform(), translation(0, 0, 0.5f)});
    labels.labelsSource.assign(36, 0);
    labels.labelsSource[0] = 1;
    float error = 0;
    out = captured([&] { error = labels.maxSymmetricHausdorff(); });
    EXPECT_FLOAT_EQ(error, 0.5f);  // the lifted corner is 0.5 above the target plane
    EXPECT_NE(out.first.find("*** Hausdorff distance (tf*source --> target): 0.5\n"), std::string::npos) << out.first;
    EXPECT_NE(out.first.find("*** Hausdorff distance (target --> tf*source): "), std::string::npos);

    // The dummy label: the lifted corner and its triangles are left out; the rest matches exactly.
    labels.labelsSource[0] = 2;
    out = captured([&] { error = labels.maxSymmetricHausdorff(); });
    EXPECT_NE(out.first.find("*** Leaving out 1 source vertices with the dummy label and 2 source triangles"),
              std::string::npos)
        << out.first;
    // Target corner 0 is 1 away from the nearest remaining source triangles (at vertices 1 and 6).
    EXPECT_FLOAT_EQ(error, 1.0f);
    labels.labelsSource.assign(36, 2);
    out = captured([&] { EXPECT_EQ(labels.maxSymmetricHausdorff(), 3.4028235e38f); });

    // Point sets are not supported.
    ShapeModel points(1);
    points.vertices.addPoint(Vec3f());
    MatchCandidates notMeshes(&points, target.get());
    LabelingResult notMeshesLabels(notMeshes);
    notMeshesLabels.labelsSource = {0};
    out = captured([&] { EXPECT_EQ(notMeshesLabels.maxSymmetricHausdorff(), 3.4028235e38f); });
    EXPECT_EQ(out.second, "Error in MatchCandidates::maxSymmetricHausdorff(): only implemented for meshes!\n");
}
