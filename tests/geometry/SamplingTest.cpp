#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Icosphere.h"
#include "core/Random.h"
#include "geometry/Sampling.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

// A temporary root directory, removed with everything in it.
struct TempRoot {
    fs::path root;
    TempRoot()
    {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("veltrix-sampling-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(root);
    }
    ~TempRoot()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string base() const { return root.string() + "/"; }
};

void writeObj(const fs::path& path, const std::vector<Vec3f>& v, const std::vector<Triangle>& f)
{
    std::ofstream out(path);
    for (const Vec3f& p : v)
        out << "v " << p.x << " " << p.y << " " << p.z << "\n";
    for (const Triangle& t : f)
        out << "f " << t[0] + 1 << " " << t[1] + 1 << " " << t[2] + 1 << "\n";
}

float diagonal(const ShapeModel& s) { return (s.boundingBoxMax - s.boundingBoxMin).length(); }

// A point set of n vertices on a line, every vertex interior, named under root.
void fillLine(ShapeModel& s, const TempRoot& root, int n)
{
    s.baseDir = root.base();
    s.relDir = "";
    s.fileName = "line.obj";
    for (int i = 0; i < n; ++i) {
        s.vertices.addPoint(Vec3f(float(i), 0, 0));
        s.normals.addPoint(Vec3f(0, 0, 1));
        s.vertexStatus.push_back(STATUS_INTERIOR);
    }
}

PrincipalFrame frameWith(float minCurvature, float maxCurvature)
{
    PrincipalFrame f;
    f.normal = Vec3f(0, 0, 1);
    f.minDirection = Vec3f(1, 0, 0);
    f.maxDirection = Vec3f(0, 1, 0);
    f.minCurvature = minCurvature;
    f.maxCurvature = maxCurvature;
    return f;
}

}  // namespace

// ---- filters ----

TEST(SubSampleFilters, ValidVerticesKeepInteriorOnesInOrder)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 5);
    s.vertexStatus = {STATUS_INTERIOR, STATUS_BOUNDARY, STATUS_INTERIOR, STATUS_ISOLATED, STATUS_INTERIOR};
    EXPECT_EQ(validVertices(s, {4, 3, 2, 1, 0, 2, 7, -1}), std::vector<int>({4, 2, 0, 2}));
}

TEST(SubSampleFilters, StableVerticesNeedClearlyDifferentCurvaturesAtEveryScale)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 6);
    const std::vector<int> all{0, 1, 2, 3, 4, 5};
    // Without frames nothing can fail.
    EXPECT_EQ(stableVertices(s, all, 1.0f), all);

    s.scales = {0.1f, 0.4f};
    s.frames = {
        {frameWith(0.2f, 1.0f), frameWith(-0.3f, 0.9f)},     // anisotropic at both scales
        {frameWith(0.5f, 0.5f), frameWith(0.5f, 0.5f)},      // umbilic (sphere)
        {frameWith(0.0f, 1.0f), frameWith(0.0f, 1.0f)},      // cylinder: zero minimum curvature
        {frameWith(0.0f, 0.0f), frameWith(0.0f, 0.0f)},      // flat
        {frameWith(0.2f, 1.0f), frameWith(0.95f, 1.0f)},     // nearly umbilic at the second scale
        {frameWith(0.2f, 1.0f), frameWith(std::nanf(""), std::nanf(""))},
    };
    EXPECT_EQ(stableVertices(s, all, 1.0f), std::vector<int>({0, 4}));
    EXPECT_EQ(stableVertices(s, all, 0.9f), std::vector<int>({0}));
    // Above 1 umbilic points stay; a cylinder never does.
    EXPECT_EQ(stableVertices(s, all, 1.5f), std::vector<int>({0, 1, 4}));
    EXPECT_EQ(stableVertices(s, all, 100.0f), std::vector<int>({0, 1, 4}));
    EXPECT_EQ(stableVertices(s, {4, 0, 4}, 1.0f), std::vector<int>({4, 0, 4}));
}

// ---- sub-samples ----

TEST(SubSample, CountZeroOrAtLeastTheVertexCountUsesEveryVertex)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 8);
    s.vertexStatus[2] = STATUS_BOUNDARY;
    for (int count : {0, -3, 8, 50}) {
        std::unique_ptr<ShapeModel> sample(subSample(s, count, 1.0f));
        ASSERT_TRUE(sample);
        ASSERT_EQ(sample->vertexCount(), 7) << count;
        EXPECT_EQ(sample->vertices.point(2).x, 3.0f);
        EXPECT_EQ(sample->kind, 1);
    }
}

TEST(SubSample, FixedSeedGivesTheSameSample)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 1000);
    randomSeed(1234u);
    const std::vector<int> drawn = ShapeModel::randomIndices(20, 1000);
    randomSeed(1234u);
    std::unique_ptr<ShapeModel> a(subSample(s, 20, 1.0f));
    randomSeed(1234u);
    std::unique_ptr<ShapeModel> b(subSample(s, 20, 1.0f));
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->vertexCount(), 20);
    for (int k = 0; k < 20; ++k) {
        EXPECT_EQ(a->vertices.point(k).x, float(drawn[k]));
        EXPECT_EQ(a->vertices.point(k), b->vertices.point(k));
    }
}

TEST(SubSample, NothingLeftAfterAFilterGivesNull)
{
    TempRoot root;
    ShapeModel empty(1);
    fillLine(empty, root, 0);
    EXPECT_EQ(subSample(empty, 10, 1.0f), nullptr);

    ShapeModel boundary(1);
    fillLine(boundary, root, 4);
    boundary.vertexStatus.assign(4, STATUS_BOUNDARY);
    EXPECT_EQ(subSample(boundary, 0, 1.0f), nullptr);

    ShapeModel flat(1);
    fillLine(flat, root, 4);
    flat.scales = {1.0f};
    flat.frames.assign(4, {frameWith(0, 0)});
    EXPECT_EQ(subSample(flat, 0, 1.0f), nullptr);
}

TEST(SubSample, SampleVerticesCarryTheirFramesFeaturesAndImages)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 5);
    s.meshResolution = 0.25f;
    s.boundingBoxMin = Vec3f(0, 0, 0);
    s.boundingBoxMax = Vec3f(4, 0, 0);
    s.vertexStatus[1] = STATUS_BOUNDARY;
    s.scales = {0.5f};
    s.featureScales = {0.5f, 1.0f};
    s.features = std::make_unique<FeatureSetANN>(2);
    s.spinImages.binSize = 0.5f;
    s.spinImages.imageWidth = 2;
    s.spinImages.supportAngle = 30.0f;
    s.spinImages.expectedOverlap = 1.5f;
    for (int i = 0; i < 5; ++i) {
        s.normals.point(i) = Vec3f(0, float(i), 1);
        s.frames.push_back({frameWith(0.1f * i, 1.0f + i)});
        s.features->addPoint({float(i), float(10 * i)});
        s.spinImages.images.push_back(SpinImage(2, std::vector<float>(2, float(i))));
    }
    const std::vector<int> picks{3, 0, 3, 1};
    std::unique_ptr<ShapeModel> sample(extractSubset(s, picks, nullptr));
    ASSERT_EQ(sample->vertexCount(), 4);
    EXPECT_EQ(sample->kind, 1);
    EXPECT_EQ(sample->fileName, "line_sample.obj");
    EXPECT_EQ(sample->meshResolution, 0.25f);
    EXPECT_EQ(sample->boundingBoxMax, s.boundingBoxMax);
    EXPECT_EQ(sample->scales, s.scales);
    EXPECT_EQ(sample->featureScales, s.featureScales);
    EXPECT_EQ(sample->spinImages.expectedOverlap, 1.5f);
    EXPECT_EQ(sample->spinImages.imageWidth, 2);
    ASSERT_TRUE(sample->features);
    EXPECT_EQ(sample->features->dimension(), 2);
    for (int k = 0; k < 4; ++k) {
        const int v = picks[k];
        EXPECT_EQ(sample->vertices.point(k), s.vertices.point(v));
        EXPECT_EQ(sample->normals.point(k), s.normals.point(v));
        EXPECT_EQ(sample->vertexStatus[k], s.vertexStatus[v]);
        EXPECT_EQ(sample->frames[k][0].maxCurvature, s.frames[v][0].maxCurvature);
        EXPECT_EQ(sample->features->point(k), s.features->point(v));
        EXPECT_EQ(sample->spinImages.images[k], s.spinImages.images[v]);
    }
    // The sample's own tree answers queries on its own points.
    std::vector<int> idx;
    std::vector<float> dist;
    sample->vertices.knnQuery(Vec3f(0.1f, 0, 0), 1, idx, dist, true);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0], 1);
}

TEST(SubSample, ShapeWithoutDescriptorsGivesPlainSample)
{
    TempRoot root;
    ShapeModel s(1);
    fillLine(s, root, 3);
    std::unique_ptr<ShapeModel> sample(extractSubset(s, {2, 9, 0}, nullptr));
    ASSERT_EQ(sample->vertexCount(), 2);  // index 9 names no vertex
    EXPECT_TRUE(sample->frames.empty());
    EXPECT_FALSE(sample->features);
    EXPECT_TRUE(sample->spinImages.images.empty());
}

// ---- sub-meshes ----

TEST(SubMesh, KeepsExactlyTheTrianglesWithAllCornersSelectedRenumbered)
{
    TempRoot root;
    // A strip of 6 vertices and 4 triangles.
    Mesh3_real mesh;
    fillLine(mesh, root, 6);
    mesh.fileName = "strip.obj";
    mesh.faces = {{0, 1, 2}, {1, 3, 2}, {2, 3, 4}, {3, 5, 4}};
    std::unique_ptr<Mesh3_real> sub(extractSubMesh(mesh, {4, 2, 3, 1}));
    EXPECT_EQ(sub->kind, 0);
    EXPECT_EQ(sub->fileName, "strip_sample.obj");
    ASSERT_EQ(sub->vertexCount(), 4);
    EXPECT_EQ(sub->vertices.point(0), mesh.vertices.point(4));
    const std::vector<Triangle> expected{{3, 2, 1}, {1, 2, 0}};
    EXPECT_EQ(sub->faces, expected);

    // A vertex listed twice maps to its later position.
    std::unique_ptr<Mesh3_real> twice(extractSubMesh(mesh, {0, 1, 2, 0}));
    ASSERT_EQ(twice->faces.size(), 1u);
    EXPECT_EQ(twice->faces[0], (Triangle{3, 1, 2}));

    std::unique_ptr<Mesh3_real> none(extractSubMesh(mesh, {0, 5}));
    EXPECT_TRUE(none->faces.empty());
}

// ---- decimation ----

TEST(Decimation, IcosphereKeepsItsShapeWithFewerTriangles)
{
    TempRoot root;
    std::vector<Vec3f> v;
    std::vector<Triangle> f;
    makeIcosphere(3, v, f);  // 642 vertices, 1280 triangles
    writeObj(root.root / "ball.obj", v, f);
    Mesh3_real mesh;
    mesh.setFileName(root.base() + "ball.obj", root.base());
    loadDecimated(mesh, 0.5f);
    EXPECT_NEAR(double(mesh.faces.size()), 640.0, 64.0);
    EXPECT_EQ(int(mesh.vertexStatus.size()), mesh.vertexCount());
    EXPECT_EQ(mesh.normals.size(), mesh.vertexCount());
    for (const Triangle& t : mesh.faces)
        for (int c : t) {
            ASSERT_GE(c, 0);
            ASSERT_LT(c, mesh.vertexCount());
        }
    for (int i = 0; i < mesh.vertexCount(); ++i)
        EXPECT_NEAR(mesh.vertices.point(i).length(), 1.0f, 0.05f);
    EXPECT_NEAR(mesh.boundingBoxMax.x, 1.0f, 0.05f);
    EXPECT_NEAR(mesh.boundingBoxMin.z, -1.0f, 0.05f);
}

TEST(Decimation, UnreadableFileGivesAnEmptyMesh)
{
    TempRoot root;
    Mesh3_real mesh;
    mesh.setFileName(root.base() + "missing.obj", root.base());
    loadDecimated(mesh, 0.5f);
    EXPECT_EQ(mesh.vertexCount(), 0);
    EXPECT_TRUE(mesh.faces.empty());
}

TEST(Simplification, FactorTwoDoublesTheDiagonalAndNeverOverwrites)
{
    TempRoot root;
    std::vector<Vec3f> v;
    std::vector<Triangle> f;
    makeIcosphere(2, v, f);
    writeObj(root.root / "ball.obj", v, f);
    Mesh3_real mesh;
    mesh.setFileName(root.base() + "ball.obj", root.base());
    mesh.loadGeometry();
    const std::string original = [&] {
        std::ifstream in(root.root / "ball.obj");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();

    std::unique_ptr<Mesh3_real> a(simplifyAndScale(mesh, 0.3f, 2.0f));
    EXPECT_EQ(a->fileName, "ball_simplified.obj");
    EXPECT_NEAR(diagonal(*a), 2.0f * diagonal(mesh), 0.05f * diagonal(mesh));
    EXPECT_TRUE(fs::exists(root.root / "ball_simplified.obj"));
    EXPECT_EQ(a->normals.size(), a->vertexCount());
    EXPECT_LT(a->faces.size(), f.size());

    const auto firstWritten = fs::file_size(root.root / "ball_simplified.obj");
    std::unique_ptr<Mesh3_real> b(simplifyAndScale(mesh, 0.6f, 1.0f));
    EXPECT_EQ(b->fileName, "ball_simplified1.obj");
    EXPECT_EQ(fs::file_size(root.root / "ball_simplified.obj"), firstWritten);
    std::ifstream in(root.root / "ball.obj");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), original);
}
