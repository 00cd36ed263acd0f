#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/Parallel.h"
#include "geometry/PrincipalFrames.h"
#include "geometry/ShapeModel.h"
#include "FrameFixtures.h"
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

bool sameFrames(const ShapeModel& a, const ShapeModel& b) {
    if (a.frames.size() != b.frames.size() || a.scales != b.scales) return false;
    for (size_t i = 0; i < a.frames.size(); ++i) {
        if (a.frames[i].size() != b.frames[i].size()) return false;
        // Bitwise, so that non-finite directions compare too.
        if (!a.frames[i].empty() &&
            std::memcmp(a.frames[i].data(), b.frames[i].data(), a.frames[i].size() * sizeof(PrincipalFrame)) != 0)
            return false;
    }
    return true;
}

// Runs computeFrames silently and returns what it printed on standard output.
std::string computeQuietly(ShapeModel& shape, const std::vector<float>& scales, bool force = false,
                           int maxNeighbours = 0) {
    LogCapture log;
    computeFrames(shape, scales, force, maxNeighbours);
    return log.out();
}

bool loadQuietly(ShapeModel& shape, std::string* err = nullptr) {
    LogCapture log;
    bool ok = loadFrames(shape);
    std::string e = log.err();
    if (err) *err = e;
    return ok;
}

class FramesTest : public testing::Test {
protected:
    const std::string root = makeTempDir("frames_");
    ~FramesTest() override { std::filesystem::remove_all(root); }
    std::string base() const { return root; }
};

}  // namespace

TEST_F(FramesTest, SphereCylinderTorusCurvatures) {
    // Sphere of radius 2: umbilic, both curvatures 0.5.
    std::unique_ptr<ShapeModel> sphere = makeSphereCloud(2.0f, 3000, base(), "sphere.obj");
    computeQuietly(*sphere, {0.35f * 0.35f, 0.5f * 0.5f});
    for (int i = 0; i < sphere->vertexCount(); ++i)
        for (const PrincipalFrame& f : sphere->frames[i]) {
            ASSERT_NEAR(f.minCurvature, 0.5f, 1e-3f) << i;
            ASSERT_NEAR(f.maxCurvature, 0.5f, 1e-3f) << i;
        }

    // Cylinder of radius 1 about z: 1 across the axis, 0 along it; the ends are boundary.
    std::unique_ptr<ShapeModel> cyl = makeCylinderCloud(1.0f, 3.0f, 60, 60, base(), "cylinder.obj");
    computeQuietly(*cyl, {0.2f * 0.2f});
    int checked = 0;
    for (int i = 0; i < cyl->vertexCount(); ++i) {
        const PrincipalFrame& f = cyl->frames[i][0];
        if (cyl->vertexStatus[i] != STATUS_INTERIOR) {
            EXPECT_EQ(f.maxCurvature, 0.0f);
            EXPECT_EQ(f.normal, Vec3f());
            continue;
        }
        ASSERT_NEAR(f.maxCurvature, 1.0f, 1e-3f) << i;
        ASSERT_NEAR(f.minCurvature, 0.0f, 1e-3f) << i;
        ASSERT_NEAR(std::fabs(f.minDirection.z), 1.0f, 1e-3f) << i;
        ASSERT_NEAR(f.maxDirection.z, 0.0f, 1e-3f) << i;
        ++checked;
    }
    EXPECT_GT(checked, 3000);

    // Torus R = 3, r = 1: 1/r around the tube and cos v / (R + r cos v) around the axis. Fitted to
    // neighbours within 0.25 on a fine grid (about 34 of them), both stay within 0.01 of the
    // analytic values.
    std::unique_ptr<ShapeModel> torus = makeTorusCloud(3.0f, 1.0f, 240, 80, base(), "torus.obj");
    computeQuietly(*torus, {0.25f * 0.25f});
    double worst = 0.0;
    for (int i = 0; i < torus->vertexCount(); ++i) {
        const Vec3f p = torus->vertices.point(i);
        const double v = std::atan2(p.z, std::sqrt(p.x * p.x + p.y * p.y) - 3.0);
        const double k1 = 1.0, k2 = std::cos(v) / (3.0 + std::cos(v));
        const PrincipalFrame& f = torus->frames[i][0];
        worst = std::max(worst, std::fabs(f.maxCurvature - std::max(k1, k2)));
        worst = std::max(worst, std::fabs(f.minCurvature - std::min(k1, k2)));
    }
    EXPECT_LT(worst, 0.01);
}

TEST_F(FramesTest, FramesAreOrthonormalAndFollowTheNormal) {
    std::unique_ptr<ShapeModel> torus = makeTorusCloud(3.0f, 1.0f, 120, 40, base(), "torus.obj");
    computeQuietly(*torus, {0.3f * 0.3f, 0.6f * 0.6f});
    for (int i = 0; i < torus->vertexCount(); ++i)
        for (const PrincipalFrame& f : torus->frames[i]) {
            ASSERT_TRUE(f.minDirection.isFinite() && f.maxDirection.isFinite()) << i;
            ASSERT_TRUE(isOrthonormal(f)) << i;
            ASSERT_EQ(f.normal, torus->normals.point(i));
        }

    PrincipalFrame skew;
    skew.normal = Vec3f(0, 0, 2);
    skew.maxDirection = Vec3f(1, 0, 1);
    skew.minDirection = Vec3f(1, 1, 0);
    EXPECT_FALSE(isOrthonormal(skew));
    orthonormalize(skew);
    EXPECT_TRUE(isOrthonormal(skew));
    EXPECT_EQ(skew.normal, Vec3f(0, 0, 1));
    EXPECT_NEAR(skew.maxDirection.x, 1.0f, 1e-6f);
    EXPECT_NEAR(skew.minDirection.y, 1.0f, 1e-6f);

    // A zero direction cannot be repaired; it becomes non-finite and the frame passes the test.
    PrincipalFrame failed;
    failed.normal = Vec3f(0, 0, 1);
    orthonormalize(failed);
    EXPECT_FALSE(failed.maxDirection.isFinite());
    EXPECT_TRUE(isOrthonormal(failed));
}

TEST_F(FramesTest, NeighbourSelection) {
    // A flipped or perpendicular neighbour next to a vertex does not change its frame.
    std::unique_ptr<ShapeModel> a = makeSphereCloud(2.0f, 2000, base(), "a.obj");
    std::unique_ptr<ShapeModel> b = makeSphereCloud(2.0f, 2000, base(), "b.obj");
    const Vec3f p0 = b->vertices.point(0);
    b->vertices.addPoint(p0 * 1.01f);
    b->normals.addPoint(-b->normals.point(0));
    b->vertexStatus.push_back(STATUS_INTERIOR);
    b->vertices.addPoint(p0 * 0.99f);
    const Vec3f side = b->normals.point(0).cross(Vec3f(0.6f, 0.8f, 0));
    b->normals.addPoint(side / side.length());
    b->vertexStatus.push_back(STATUS_BOUNDARY);
    // An isolated vertex is never a neighbour either.
    b->vertices.addPoint(p0 * 1.005f);
    b->normals.addPoint(Vec3f(0.3f, 0.3f, 0.9f));
    b->vertexStatus.push_back(STATUS_ISOLATED);
    computeQuietly(*a, {0.4f * 0.4f});
    computeQuietly(*b, {0.4f * 0.4f});
    EXPECT_EQ(std::memcmp(&a->frames[0][0], &b->frames[0][0], sizeof(PrincipalFrame)), 0);
    // Non-interior vertices keep zero frames.
    const int last = b->vertexCount() - 1;
    EXPECT_EQ(b->frames[last][0].maxCurvature, 0.0f);
    EXPECT_EQ(b->frames[last][0].normal, Vec3f());
    EXPECT_EQ(b->frames[last - 1][0].normal, Vec3f());
}

// Two threads give the frames and the console text of one; a cap on the neighbourhood changes
// nothing while the balls hold fewer points, and the frames once they hold more.
TEST_F(FramesTest, ThreadsAndNeighbourCap) {
    const int savedThreads = threadCount();
    std::unique_ptr<ShapeModel> one = makeSphereCloud(2.0f, 3000, base(), "one.obj");
    std::unique_ptr<ShapeModel> two = makeSphereCloud(2.0f, 3000, base(), "two.obj");
    std::unique_ptr<ShapeModel> capped = makeSphereCloud(2.0f, 3000, base(), "capped.obj");
    const std::vector<float> scales = {0.3f * 0.3f, 0.6f * 0.6f};
    setThreadCount(1);
    const std::string text = computeQuietly(*one, scales, true);
    setThreadCount(2);
    const std::string text2 = computeQuietly(*two, scales, true);
    EXPECT_TRUE(sameFrames(*one, *two));
    const std::regex varying("one|two|computed on [^.]*\\.");
    EXPECT_EQ(std::regex_replace(text2, varying, ""), std::regex_replace(text, varying, ""));
    computeQuietly(*capped, scales, true, 100000);
    EXPECT_TRUE(sameFrames(*one, *capped));
    computeQuietly(*capped, scales, true, 20);
    EXPECT_FALSE(sameFrames(*one, *capped));
    setThreadCount(savedThreads);
}

TEST_F(FramesTest, TinyShapesAndScaleZero) {
    // Fewer vertices than the 7 nearest neighbours of the fallback query.
    std::unique_ptr<ShapeModel> tiny = makePointShape(base(), "tiny.obj");
    for (Vec3f n : {Vec3f(0, 0, 1), Vec3f(0.1f, 0, 1), Vec3f(0, 0.1f, 1), Vec3f(-0.1f, 0.05f, 1),
                    Vec3f(0.05f, -0.1f, 1)})
        addOriented(*tiny, n / n.length(), n);
    std::string out = computeQuietly(*tiny, {0.0f});
    ASSERT_EQ(tiny->frames.size(), 5u);
    for (const auto& fs : tiny->frames) EXPECT_NEAR(fs[0].minCurvature, 1.0f, 1e-3f);
    EXPECT_NE(out.find("Computed principal curvatures: Least-squares method using Scale 0: adaptive "
                       "operating region of 5 * distance to 6 nearest neighbor per vertex\n"),
              std::string::npos)
        << out;

    // Two vertices: every fit fails, frames keep zero curvatures and get non-finite directions.
    std::unique_ptr<ShapeModel> two = makeSphereCloud(1.0f, 2, base(), "two.obj");
    LogCapture log;
    computeFrames(*two, {1.0f}, true);
    out = log.out();
    EXPECT_NE(out.find("Error in FitCurvatureTensorLS(): Not enough constraints for curvature tensor!"),
              std::string::npos);
    EXPECT_EQ(two->frames[0][0].minCurvature, 0.0f);
    EXPECT_FALSE(two->frames[0][0].minDirection.isFinite());
}

TEST_F(FramesTest, ConsoleAndDescription) {
    std::unique_ptr<ShapeModel> s = makeSphereCloud(2.0f, 500, base(), "ball.obj");
    std::string out = computeQuietly(*s, {0.25f, 0.5f});
    EXPECT_EQ(out.find("*** No cached frames in " + s->framesPath() + " yet: computing them.\n"
                       "*** Computing principal curvatures...\n****** Scales: 0.25 0.5\n"),
              0u)
        << out;
    const std::string method =
        "Least-squares method using Scale 0: fixed operating region of radius 0.25 Scale 1: fixed "
        "operating region of radius 0.5";
    std::regex line("Save description: Principal curvatures for ball\\.obj computed on "
                    "\\d\\d/\\d\\d/\\d{4}, \\d\\d:\\d\\d:\\d\\d (am|pm)\\. " +
                    std::regex_replace(method, std::regex("\\."), "\\.") + "\\.\n");
    EXPECT_TRUE(std::regex_search(out, line)) << out;
    EXPECT_NE(out.find("Computed principal curvatures: " + method + "\n"), std::string::npos);
    EXPECT_NE(out.find("Saved principal curvature data from: " + s->framesPath() + "\n"), std::string::npos);
    EXPECT_NE(out.find("Saving principal curvatures...done!\n"), std::string::npos);
    EXPECT_EQ(s->framesPath(), base() + "preprocessing/ball-frames.data");

    // Something at the cache's path that is no readable cache is still an error.
    std::unique_ptr<ShapeModel> other = makeSphereCloud(2.0f, 50, base(), "blocked.obj");
    ASSERT_TRUE(std::filesystem::create_directories(other->framesPath()));
    LogCapture log;
    EXPECT_FALSE(loadFrames(*other));
    EXPECT_NE((log.out() + log.err()).find("Error in loadFrames(): "), std::string::npos) << log.out();
}

TEST_F(FramesTest, FileLayoutByteForByte) {
    std::unique_ptr<ShapeModel> s = makeSphereCloud(1.0f, 2, base(), "x.obj");
    s->scales = {0.5f};
    s->frames.assign(2, std::vector<PrincipalFrame>(1));
    PrincipalFrame& f = s->frames[1][0];
    f.normal = Vec3f(1, 2, 3);
    f.minDirection = Vec3f(4, 5, 6);
    f.maxDirection = Vec3f(7, 8, 9);
    f.minCurvature = 10;
    f.maxCurvature = 11;
    LogCapture log;
    saveFrames(*s, "Principal curvatures for x.obj \xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(log.out(), "Saving principal curvatures...done!\n");

    std::string expect;
    auto i32 = [&expect](int32_t v) { expect.append(reinterpret_cast<const char*>(&v), 4); };
    auto f32 = [&expect](float v) { expect.append(reinterpret_cast<const char*>(&v), 4); };
    const std::string bytes = readAll(s->framesPath());
    ASSERT_GE(bytes.size(), 4u);
    int32_t descLength;
    std::memcpy(&descLength, bytes.data(), 4);
    const std::string stored = bytes.substr(4, static_cast<size_t>(descLength));
    i32(descLength);
    expect += stored;
    i32(2);
    i32(1);
    f32(0.5f);
    for (int k = 0; k < 11; ++k) f32(0.0f);
    for (float v : {1, 2, 3, 7, 8, 9, 4, 5, 6, 11, 10}) f32(v);
    ASSERT_EQ(bytes.size(), expect.size() + 20);
    EXPECT_EQ(bytes.substr(0, expect.size()), expect);
    EXPECT_EQ(bytes.substr(expect.size(), 4), "VXC1");  // then the geometry key and the checksum
    // One byte per character: the code below 256 (e acute), else 0 (the euro sign).
    EXPECT_EQ(stored, std::string("Principal curvatures for x.obj \xe9 ") + '\0');

    // Read back: the memory order comes back.
    std::unique_ptr<ShapeModel> t = makeSphereCloud(1.0f, 2, base(), "x.obj");
    ASSERT_TRUE(loadQuietly(*t));
    EXPECT_TRUE(sameFrames(*s, *t));
    EXPECT_EQ(t->frames[1][0].maxCurvature, 11.0f);
    EXPECT_EQ(t->frames[1][0].minDirection, Vec3f(4, 5, 6));
}

TEST_F(FramesTest, CachedFramesAreReused) {
    std::unique_ptr<ShapeModel> a = makeTorusCloud(3.0f, 1.0f, 60, 20, base(), "ring.obj");
    computeQuietly(*a, {0.5f, 1.0f});
    std::unique_ptr<ShapeModel> b = makeTorusCloud(3.0f, 1.0f, 60, 20, base(), "ring.obj");
    // The same scales read the cache back.
    std::string out = computeQuietly(*b, {0.5f, 1.0f});
    EXPECT_EQ(out, "*** Loading frames... done!\n");
    EXPECT_TRUE(sameFrames(*a, *b));
    // Other scales recompute, with a warning, and replace the cache.
    LogCapture log;
    computeFrames(*b, {2.0f}, false);
    EXPECT_EQ(log.err(),
              "Warning in loadFrames(): " + b->framesPath() + " holds frames of other scales; recomputing.\n");
    EXPECT_NE(log.out().find("*** Computing principal curvatures..."), std::string::npos);
    EXPECT_EQ(b->scales, std::vector<float>{2.0f});
    EXPECT_EQ(computeQuietly(*a, {2.0f}), "*** Loading frames... done!\n");
    // force recomputes.
    out = computeQuietly(*b, {2.0f}, true);
    EXPECT_NE(out.find("*** Computing principal curvatures..."), std::string::npos);

    // A name with a blank is captured only up to the blank and never matches: recomputed each time.
    std::unique_ptr<ShapeModel> c = makeTorusCloud(3.0f, 1.0f, 30, 10, base(), "my shape.obj");
    computeQuietly(*c, {0.5f});
    LogCapture log2;
    computeFrames(*c, {0.5f}, false);
    std::string err = log2.err();
    out = log2.out();
    EXPECT_NE(err.find("Error in loadFrames(): file in description does not match current file!\n"),
              std::string::npos);
    EXPECT_NE(out.find("*** Computing principal curvatures..."), std::string::npos);

    // Another vertex count is rejected and leaves the frames as they were.
    std::unique_ptr<ShapeModel> d = makeTorusCloud(3.0f, 1.0f, 61, 20, base(), "ring.obj");
    d->frames.assign(1, std::vector<PrincipalFrame>(1));
    EXPECT_FALSE(loadQuietly(*d, &err));
    EXPECT_EQ(err, "Error in loadFrames(): number of vertices do not match!\n");
    EXPECT_EQ(d->frames.size(), 1u);
}

TEST_F(FramesTest, BadFilesAreRejectedAndRecomputed) {
    std::unique_ptr<ShapeModel> a = makeSphereCloud(1.0f, 40, base(), "bad.obj");
    computeQuietly(*a, {0.3f, 0.6f});
    const std::string good = readAll(a->framesPath());
    ASSERT_GT(good.size(), 100u);

    std::unique_ptr<ShapeModel> b = makeSphereCloud(1.0f, 40, base(), "bad.obj");
    b->scales = {7.0f};
    b->frames.assign(40, std::vector<PrincipalFrame>(1));
    const std::vector<float> oldScales = b->scales;

    // Every truncation (the empty file included) and a trailing extra byte.
    std::string err;
    for (size_t len = 0; len < good.size(); len += (len < 200 ? 1 : 37)) {
        writeAll(b->framesPath(), good.substr(0, len));
        ASSERT_FALSE(loadQuietly(*b, &err)) << len;
        ASSERT_EQ(b->scales, oldScales) << len;
        ASSERT_EQ(b->frames.size(), 40u) << len;
    }
    EXPECT_NE(err.find("Error in loadFrames(): file " + b->framesPath() + " is truncated or damaged!"),
              std::string::npos);
    writeAll(b->framesPath(), good + "x");
    EXPECT_FALSE(loadQuietly(*b));

    // Huge counts that the file cannot hold are refused without allocating.
    std::string huge = good;
    int32_t descLength;
    std::memcpy(&descLength, huge.data(), 4);
    const int32_t big = 0x40000000;
    std::memcpy(&huge[4 + descLength + 4], &big, 4);  // scale count
    writeAll(b->framesPath(), huge);
    EXPECT_FALSE(loadQuietly(*b));
    std::string longDesc = good;
    std::memcpy(&longDesc[0], &big, 4);
    writeAll(b->framesPath(), longDesc);
    EXPECT_FALSE(loadQuietly(*b));
    int32_t negative = -5;
    std::memcpy(&longDesc[0], &negative, 4);
    writeAll(b->framesPath(), longDesc);
    EXPECT_FALSE(loadQuietly(*b));

    // Foreign content: seeded random bytes.
    std::mt19937 rng(99);
    std::string noise(good.size(), '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    writeAll(b->framesPath(), noise);
    EXPECT_FALSE(loadQuietly(*b));
    EXPECT_EQ(b->scales, oldScales);

    // A description without a file name clears the data, as its message says.
    std::string anon = good;
    anon.replace(4, 9, "Principxl");
    writeAll(b->framesPath(), anon);
    LogCapture log;
    EXPECT_FALSE(loadFrames(*b));
    EXPECT_EQ(log.out(),
              "*** Loading frames...No source file name in description!  Clearing data.\n");
    EXPECT_TRUE(b->frames.empty());

    // After any of these, computeFrames recomputes and leaves a good file behind.
    writeAll(b->framesPath(), good.substr(0, good.size() / 2));
    std::string out = computeQuietly(*b, {0.3f, 0.6f});
    EXPECT_NE(out.find("*** Computing principal curvatures..."), std::string::npos);
    std::unique_ptr<ShapeModel> c = makeSphereCloud(1.0f, 40, base(), "bad.obj");
    EXPECT_TRUE(loadQuietly(*c));
    EXPECT_TRUE(sameFrames(*a, *c));
}

TEST_F(FramesTest, SavingWithoutFramesLeavesAnEmptyFile) {
    std::unique_ptr<ShapeModel> s = makeSphereCloud(1.0f, 10, base(), "none.obj");
    LogCapture log;
    saveFrames(*s, "Principal curvatures for none.obj");
    EXPECT_EQ(log.out(),
              "Error in saveFrames(): No curvature information or scale information found!\n");
    EXPECT_EQ(readAll(s->framesPath()), "");
    EXPECT_FALSE(loadQuietly(*s));
}

// A cache is used only for the geometry it was computed for and only when its numbers are intact;
// an edited shape with the same vertex count, a damaged file, a file of an older version and a pipe
// in its place are recomputed, with a message naming the file.
TEST_F(FramesTest, CachesAreKeyedToTheGeometryAndChecked) {
    std::unique_ptr<ShapeModel> a = makeSphereCloud(1.0f, 60, base(), "keyed.obj");
    computeQuietly(*a, {0.5f});
    const std::string path = a->framesPath(), good = readAll(path);
    auto recomputes = [&](const std::string& why) {
        std::unique_ptr<ShapeModel> b = makeSphereCloud(1.0f, 60, base(), "keyed.obj");
        LogCapture log;
        computeFrames(*b, {0.5f}, false);
        EXPECT_NE(log.out().find("*** Computing principal curvatures..."), std::string::npos) << why;
        EXPECT_NE(log.err().find(path + " " + why), std::string::npos) << log.err();
        EXPECT_TRUE(sameFrames(*a, *b));
    };
    std::unique_ptr<ShapeModel> edited = makeSphereCloud(1.0f, 60, base(), "keyed.obj");
    edited->vertices.point(7).x += 0.01f;
    std::string err;
    EXPECT_FALSE(loadQuietly(*edited, &err));
    EXPECT_EQ(err, "Warning in loadFrames(): " + path + " was computed for other vertex positions or normals; recomputing.\n");

    std::string damaged = good;
    damaged[damaged.size() - 100] ^= 1;
    writeAll(path, damaged);
    recomputes("is damaged (its checksum does not match); recomputing.");
    writeAll(path, good.substr(0, good.size() - 20));  // as written before the trailer existed
    recomputes("carries no checksum (an older cache file); recomputing.");
    std::remove(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    recomputes("is not a regular file!");
    std::remove(path.c_str());
}
