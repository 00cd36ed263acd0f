#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "geometry/Features.h"
#include "FrameFixtures.h"
#include "core/Log.h"
#include "geometry/ShapeModel.h"
#include "MeshFixtures.h"

using namespace veltrix;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

PrincipalFrame curvatures(float kMin, float kMax) {
    PrincipalFrame f;
    f.minCurvature = kMin;
    f.maxCurvature = kMax;
    return f;
}

class FeaturesTest : public testing::Test {
protected:
    const std::string root = makeTempDir("features_");
    ~FeaturesTest() override { std::filesystem::remove_all(root); }
    std::string base() const { return root; }

    // Four vertices with frames at two scales (0.5 and 2); vertex 3 is on the boundary.
    std::unique_ptr<ShapeModel> framedShape() {
        std::unique_ptr<ShapeModel> s = makePointShape(base(), "framed.obj");
        for (int i = 0; i < 4; ++i) addOriented(*s, Vec3f(float(i), 0, 0), Vec3f(0, 0, 1), i == 3 ? 1 : 0);
        s->scales = {0.5f, 2.0f};
        s->frames = {{curvatures(-0.5f, 1.0f), curvatures(0.25f, 2.0f)},
                     {curvatures(0.0f, 0.0f), curvatures(0.0f, 1e-8f)},   // a plane
                     {curvatures(0.3f, 0.3f), curvatures(-0.5f, 7.0f)},   // umbilic, then not
                     {curvatures(1.0f, 2.0f), curvatures(3.0f, 4.0f)}};  // boundary
        return s;
    }
};

std::vector<float> row(const ShapeModel& s, int i) { return s.features->point(i); }

}  // namespace

TEST_F(FeaturesTest, CurvatureFeatureTypes) {
    std::unique_ptr<ShapeModel> s = framedShape();
    LogCapture log;
    copyCurvatureFeatures(*s);
    EXPECT_EQ(log.out(),
              "Populating feature values (copying principal curvatures)...\nScales: 0.5 0.5 2 2\n...done!\n");
    EXPECT_EQ(s->features->dimension(), 4);
    EXPECT_EQ(s->featureScales, (std::vector<float>{0.5f, 0.5f, 2.0f, 2.0f}));
    EXPECT_EQ(row(*s, 0), (std::vector<float>{-0.5f, 1.0f, 0.25f, 2.0f}));
    EXPECT_EQ(row(*s, 3), std::vector<float>(4, 0.0f));

    LogCapture log2;
    curvatureRatioFeatures(*s);
    EXPECT_EQ(log2.out(),
              "*** Computing features (ratio of principal curvatures)...\n****** Scales: 0.5 2\n...done!\n");
    EXPECT_EQ(s->featureScales, (std::vector<float>{0.5f, 2.0f}));
    EXPECT_EQ(row(*s, 0), (std::vector<float>{0.5f, 0.125f}));
    EXPECT_EQ(row(*s, 1), (std::vector<float>{0.0f, 0.0f}));  // no maximum curvature
    EXPECT_FLOAT_EQ(row(*s, 2)[0], 1.0f);                      // umbilic
    EXPECT_FLOAT_EQ(row(*s, 2)[1], 0.5f / 7.0f);
    EXPECT_EQ(row(*s, 3), std::vector<float>(2, 0.0f));

    LogCapture log3;
    curvatureNormFeatures(*s);
    EXPECT_EQ(log3.out(),
              "*** Computing features (norm of multi-scale principal curvatures)...\n****** Scales: 2\n...done!\n");
    EXPECT_EQ(s->featureScales, std::vector<float>{2.0f});
    EXPECT_FLOAT_EQ(row(*s, 0)[0], std::sqrt(0.25f + 0.0625f));
    // Only the minimum curvatures count.
    s->frames[1] = {curvatures(-0.5f, 9.0f), curvatures(0.25f, -3.0f)};
    curvatureNormFeatures(*s);
    EXPECT_EQ(row(*s, 0), row(*s, 1));
    EXPECT_EQ(row(*s, 3)[0], 0.0f);
    // None of these three touch the features file.
    EXPECT_EQ(readAll(s->featuresPath()), "");
}

TEST_F(FeaturesTest, CurvatureFeaturesNeedFrames) {
    std::unique_ptr<ShapeModel> s = framedShape();
    s->frames.clear();
    LogCapture log;
    copyCurvatureFeatures(*s);
    EXPECT_EQ(log.err(),
              "Error in copyCurvatureFeatures(): no principal curvature frames!\n");
    EXPECT_EQ(s->features, nullptr);
}

TEST_F(FeaturesTest, MeanCurvatureOfSphereAndPlane) {
    std::unique_ptr<ShapeModel> ball = makeSphereCloud(2.0f, 3000, base(), "ball.obj");
    ball->vertexStatus[5] = STATUS_BOUNDARY;  // type 4 computes every vertex
    LogCapture log;
    meanCurvatureFeatures(*ball, {0.6f * 0.6f, 1.0f}, 0.0);
    const std::string out = log.out();
    EXPECT_EQ(out.find("*** No cached features in " + ball->featuresPath() +
                       " yet: computing them.\nComputing mean curvature features...\nScales: 0.36 1\n"),
              0u)
        << out;
    EXPECT_NE(out.find("Saving mean curvatures to " + ball->featuresPath() + "...done!\n"), std::string::npos);
    ASSERT_EQ(ball->features->dimension(), 2);
    for (int i = 0; i < ball->vertexCount(); ++i)
        for (float v : row(*ball, i)) ASSERT_NEAR(v, std::log(1.5f), 1e-3f) << i;

    // A plane has no mean curvature; neighbours without normals are left out.
    std::unique_ptr<ShapeModel> plane = makePointShape(base(), "plane.obj");
    for (int i = -5; i <= 5; ++i)
        for (int j = -5; j <= 5; ++j) addOriented(*plane, Vec3f(0.1f * i, 0.1f * j, 0), Vec3f(0, 0, 1));
    EXPECT_EQ(meanCurvatureAt(Vec3f(0, 0, 0), plane->vertices, plane->normals, {0.25f}),
              std::vector<float>{0.0f});
    std::unique_ptr<ShapeModel> cap = makeSphereCloud(2.0f, 3000, base(), "cap.obj");
    const std::vector<float> clean = meanCurvatureAt(cap->vertices.point(0), cap->vertices, cap->normals, {0.36f});
    cap->vertices.addPoint(cap->vertices.point(0) * 0.9f);
    cap->normals.addPoint(Vec3f(0, 0, 0));
    EXPECT_EQ(meanCurvatureAt(cap->vertices.point(0), cap->vertices, cap->normals, {0.36f}), clean);
}

TEST_F(FeaturesTest, FileRoundTripAndReuse) {
    std::unique_ptr<ShapeModel> a = makeSphereCloud(2.0f, 400, base(), "round.obj");
    meanCurvatureFeatures(*a, {1.0f}, 0.0);

    // Layout: counts, scales, vectors, the 20-byte trailer.
    const std::string bytes = readAll(a->featuresPath());
    ASSERT_EQ(bytes.size(), 4u + 4u + 4u + 400u * 4u + 20u);
    EXPECT_EQ(bytes.substr(bytes.size() - 20, 4), "VXC1");
    int32_t n, d;
    float scale, first;
    std::memcpy(&n, &bytes[0], 4);
    std::memcpy(&d, &bytes[4], 4);
    std::memcpy(&scale, &bytes[8], 4);
    std::memcpy(&first, &bytes[12], 4);
    EXPECT_EQ(n, 400);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(scale, 1.0f);
    EXPECT_EQ(first, row(*a, 0)[0]);

    // The next shape of that name reads them back for the same scales and recomputes for others.
    std::unique_ptr<ShapeModel> b = makeSphereCloud(2.0f, 400, base(), "round.obj");
    LogCapture log;
    meanCurvatureFeatures(*b, {1.0f}, 0.0);
    EXPECT_EQ(log.out(), " features");
    for (int i = 0; i < 400; ++i) ASSERT_EQ(row(*a, i), row(*b, i));
    LogCapture log2;
    meanCurvatureFeatures(*b, {4.0f, 9.0f}, 0.0);
    EXPECT_EQ(log2.err(),
              "Warning in loadFeatures(): " + b->featuresPath() + " holds features of other scales; recomputing.\n");
    EXPECT_NE(log2.out().find("Computing mean curvature features..."), std::string::npos);
    EXPECT_EQ(b->featureScales, (std::vector<float>{4.0f, 9.0f}));
    EXPECT_EQ(b->features->dimension(), 2);

    // Another vertex count is rejected and recomputed.
    std::unique_ptr<ShapeModel> c = makeSphereCloud(2.0f, 401, base(), "round.obj");
    LogCapture log3;
    meanCurvatureFeatures(*c, {1.0f}, 0.0);
    EXPECT_EQ(log3.err(), "Error in loadFeatures(): number of vertices do not match!\n");
    EXPECT_NE(log3.out().find("Computing mean curvature features..."), std::string::npos);
    EXPECT_EQ(c->features->size(), 401);
}

TEST_F(FeaturesTest, BadFilesAreRejected) {
    std::unique_ptr<ShapeModel> a = makeSphereCloud(2.0f, 50, base(), "bad.obj");
    a->features.reset(new FeatureSetANN(3));
    a->features->resize(50);
    for (int i = 0; i < 50; ++i) a->features->point(i) = {float(i), 0.5f, -1.0f};
    a->featureScales = {1, 2, 3};
    saveFeatures(*a);
    const std::string good = readAll(a->featuresPath());

    std::unique_ptr<ShapeModel> b = makeSphereCloud(2.0f, 50, base(), "bad.obj");
    b->featureScales = {42.0f};
    std::string err;
    auto rejected = [&]() {
        LogCapture log;
        bool ok = loadFeatures(*b);
        err = log.err();
        return !ok && b->features == nullptr && b->featureScales == std::vector<float>{42.0f};
    };
    for (size_t len = 0; len < good.size(); ++len) {
        writeAll(b->featuresPath(), good.substr(0, len));
        ASSERT_TRUE(rejected()) << len;
    }
    EXPECT_EQ(err, "Error in loadFeatures(): file " + b->featuresPath() + " is truncated or damaged!\n");
    writeAll(b->featuresPath(), good + std::string(4, '\0'));
    EXPECT_TRUE(rejected());
    for (int32_t dim : {0, -3, 0x7fffffff, 0x20000000}) {
        std::string bad = good;
        std::memcpy(&bad[4], &dim, 4);
        writeAll(b->featuresPath(), bad);
        EXPECT_TRUE(rejected()) << dim;
    }
    std::string nan = good;
    const float qnan = std::nanf("");
    std::memcpy(&nan[good.size() - 4], &qnan, 4);
    writeAll(b->featuresPath(), nan);
    EXPECT_TRUE(rejected());
    std::mt19937 rng(4);
    std::string noise(good.size(), '\0');
    for (char& ch : noise) ch = static_cast<char>(rng());
    writeAll(b->featuresPath(), noise);
    EXPECT_TRUE(rejected());

    writeAll(b->featuresPath(), good);
    EXPECT_TRUE(loadFeatures(*b));
    EXPECT_EQ(row(*b, 49), (std::vector<float>{49.0f, 0.5f, -1.0f}));
    EXPECT_EQ(b->featureScales, (std::vector<float>{1, 2, 3}));

    // Nothing to save: the error, and an empty file behind.
    std::unique_ptr<ShapeModel> e = makeSphereCloud(2.0f, 5, base(), "empty.obj");
    LogCapture log2;
    saveFeatures(*e);
    EXPECT_EQ(log2.out(),
              "Error in saveFeatures(): No curvature information or scale information found!\n");
    EXPECT_EQ(readAll(e->featuresPath()), "");
}
