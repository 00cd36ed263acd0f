#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/Log.h"
#include "core/Parallel.h"
#include "geometry/ShapeModel.h"
#include "geometry/SpinImages.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

const float kInf = std::numeric_limits<float>::infinity();

SpinImage zeroImage(int W) { return SpinImage(W, std::vector<float>(W, 0.0f)); }

// An image whose first bins (row by row) hold the given values, the rest zero.
SpinImage imageFrom(const std::vector<float>& values, int W = 4)
{
    SpinImage image = zeroImage(W);
    for (size_t k = 0; k < values.size(); ++k)
        image[k / W][k % W] = values[k];
    return image;
}

// A point-set shape stored under its own temporary root directory.
struct PointShape {
    fs::path root;
    ShapeModel shape{1};

    explicit PointShape(const std::string& name)
    {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("veltrix-spin-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(root);
        shape.baseDir = root.string() + "/";
        shape.relDir = "";
        shape.fileName = name;
        shape.meshResolution = 1.0f;
    }
    ~PointShape()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void add(const Vec3f& p, const Vec3f& n, int status = STATUS_INTERIOR)
    {
        shape.vertices.addPoint(p);
        shape.normals.addPoint(n);
        shape.vertexStatus.push_back(status);
    }
    void useStack(float binSize, int W, float supportAngle)
    {
        shape.spinImages.binSize = binSize;
        shape.spinImages.imageWidth = W;
        shape.spinImages.supportAngle = supportAngle;
        shape.spinImages.images.assign(shape.vertexCount(), SpinImage());
    }
};

// A noisy unit sphere of n points with outward normals, drawn from a seeded generator.
void fillNoisySphere(PointShape& s, int n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::uniform_real_distribution<float> radius(0.97f, 1.03f);
    for (int i = 0; i < n; ++i) {
        Vec3f d(gauss(gen), gauss(gen), gauss(gen));
        d = d / d.length();
        s.add(d * radius(gen), d);
    }
}

std::vector<char> readBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& p, const std::vector<char>& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

}  // namespace

// ---- coordinates and bilinear binning ----

TEST(SpinBinning, CoordinatesAreDistanceFromNormalLineAndHeight)
{
    float alpha, beta;
    spinCoordinates(Vec3f(1, 1, 1), Vec3f(0, 0, 1), Vec3f(4, 5, 3), alpha, beta);
    EXPECT_FLOAT_EQ(beta, 2.0f);
    EXPECT_FLOAT_EQ(alpha, 5.0f);
    spinCoordinates(Vec3f(0, 0, 0), Vec3f(0, 0, 1), Vec3f(0, 0, -1.5f), alpha, beta);
    EXPECT_FLOAT_EQ(beta, -1.5f);
    EXPECT_FLOAT_EQ(alpha, 0.0f);
}

TEST(SpinBinning, HalfBinOnTangentPlaneSplitsBetweenFirstTwoColumns)
{
    SpinImage image = zeroImage(5);
    addSpinImagePoint(image, 5, 2.0f, 0.5f * 2.0f, 0.0f);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c) {
            const float expected = (r == 2 && (c == 0 || c == 1)) ? 0.5f : 0.0f;
            EXPECT_FLOAT_EQ(image[r][c], expected) << r << "," << c;
        }
}

TEST(SpinBinning, PointsAboveThePlaneGoToSmallerRows)
{
    SpinImage image = zeroImage(5);
    // row = 2 - 0.25 = 1.75, col = 1.5
    addSpinImagePoint(image, 5, 1.0f, 1.5f, 0.25f);
    EXPECT_FLOAT_EQ(image[1][1], 0.25f * 0.5f);
    EXPECT_FLOAT_EQ(image[2][1], 0.75f * 0.5f);
    EXPECT_FLOAT_EQ(image[1][2], 0.25f * 0.5f);
    EXPECT_FLOAT_EQ(image[2][2], 0.75f * 0.5f);
    float total = 0;
    for (auto& row : image)
        for (float v : row)
            total += v;
    EXPECT_FLOAT_EQ(total, 1.0f);
}

TEST(SpinBinning, EvenWidthIsCentredBetweenTheMiddleRows)
{
    SpinImage image = zeroImage(4);
    addSpinImagePoint(image, 4, 1.0f, 0.0f, 0.0f);  // row 1.5
    EXPECT_FLOAT_EQ(image[1][0], 0.5f);
    EXPECT_FLOAT_EQ(image[2][0], 0.5f);
}

TEST(SpinBinning, PointsOutsideOrUndefinedAreDropped)
{
    const int W = 5;
    SpinImage image = zeroImage(W);
    addSpinImagePoint(image, W, 1.0f, 4.0f, 0.0f);   // last column has no right neighbour
    addSpinImagePoint(image, W, 1.0f, 1.0f, 2.5f);   // above the top row
    addSpinImagePoint(image, W, 1.0f, 1.0f, -2.0f);  // row 4: no row below it
    addSpinImagePoint(image, W, 1.0f, std::nanf(""), 0.0f);
    addSpinImagePoint(image, W, 1.0f, 1.0f, kInf);
    EXPECT_EQ(countNonZeroBins(image), 0);
    addSpinImagePoint(image, W, 1.0f, 3.5f, 2.0f);  // top row, next to last column: kept
    EXPECT_FLOAT_EQ(image[0][3], 0.5f);
    EXPECT_FLOAT_EQ(image[0][4], 0.5f);
}

TEST(SpinBinning, MedianOfCounts)
{
    EXPECT_FLOAT_EQ(medianOfCounts({}), 0.0f);
    EXPECT_FLOAT_EQ(medianOfCounts({7, 1, 3}), 3.0f);
    EXPECT_FLOAT_EQ(medianOfCounts({8, 1, 3, 0}), 2.0f);
}

// ---- images of a shape ----

TEST(SpinImageShape, PlanePointsLandInHandComputedBins)
{
    PointShape s("plane.obj");
    const Vec3f up(0, 0, 1);
    s.add(Vec3f(0, 0, 0), up);
    s.add(Vec3f(1, 0, 0), up);          // alpha 1 -> [2][1]
    s.add(Vec3f(0, -2, 0), up);         // alpha 2 -> [2][2]
    s.add(Vec3f(0, 3, 0), up);          // alpha 3 -> [2][3]
    s.add(Vec3f(4, 0, 0), up);          // alpha 4: outside
    s.add(Vec3f(0, 1.5f, 0.5f), up);    // row 1.5, col 1.5: a quarter in four bins
    s.add(Vec3f(1, 1, 0), Vec3f(0, 0, -1));  // faces away: not used
    s.useStack(1.0f, 5, 60.0f);
    computeSpinImage(s.shape, 0);

    SpinImage expected = zeroImage(5);
    expected[2][1] = 1.0f + 0.25f;
    expected[2][2] = 1.0f + 0.25f;
    expected[2][3] = 1.0f;
    expected[1][1] = 0.25f;
    expected[1][2] = 0.25f;
    EXPECT_EQ(s.shape.spinImages.images[0], expected);
}

TEST(SpinImageShape, SphereNeighbourAndSupportAngle)
{
    // Radius 2, north pole, a neighbour at polar angle 60 degrees: alpha = 2 sin 60, beta = -1.
    // With bins of 0.8 that is row 2 + 1.25 and column 2.165.
    PointShape s("sphere.obj");
    s.add(Vec3f(0, 0, 2), Vec3f(0, 0, 1));
    const float t = 3.1415927f / 3.0f;
    s.add(Vec3f(2 * std::sin(t), 0, 2 * std::cos(t)), Vec3f(std::sin(t), 0, std::cos(t)));
    s.useStack(0.8f, 5, 70.0f);
    computeSpinImage(s.shape, 0);
    const float fc = 2 * std::sqrt(3.0f) / 2 / 0.8f - 2;
    const SpinImage& image = s.shape.spinImages.images[0];
    EXPECT_NEAR(image[3][2], 0.75f * (1 - fc), 1e-5f);
    EXPECT_NEAR(image[4][2], 0.25f * (1 - fc), 1e-5f);
    EXPECT_NEAR(image[3][3], 0.75f * fc, 1e-5f);
    EXPECT_NEAR(image[4][3], 0.25f * fc, 1e-5f);
    EXPECT_EQ(countNonZeroBins(image), 4);

    s.shape.spinImages.supportAngle = 50.0f;  // the neighbour's normal is 60 degrees off
    computeSpinImage(s.shape, 0);
    EXPECT_EQ(countNonZeroBins(s.shape.spinImages.images[0]), 0);
}

TEST(SpinImageShape, NinetyDegreesKeepsTheSameHalfSpace)
{
    PointShape s("half.obj");
    s.add(Vec3f(0, 0, 0), Vec3f(0, 0, 1));
    s.add(Vec3f(1, 0, 0), Vec3f(0.6f, 0, 0.8f));   // same side
    s.add(Vec3f(2, 0, 0), Vec3f(0.6f, 0, -0.8f));                  // other side
    s.useStack(1.0f, 5, 90.0f);
    computeSpinImage(s.shape, 0);
    const SpinImage& image = s.shape.spinImages.images[0];
    EXPECT_FLOAT_EQ(image[2][1], 1.0f);
    EXPECT_FLOAT_EQ(image[2][2], 0.0f);
}

TEST(SpinImageShape, IsolatedVertexHasAnAllZeroImageThatCountsInTheMedian)
{
    PointShape s("isolated.obj");
    const Vec3f up(0, 0, 1);
    for (int k = 0; k < 4; ++k)
        s.add(Vec3f(0.5f * k, 0, 0), up);
    s.add(Vec3f(0.25f, 0.1f, 0), Vec3f(std::nanf(""), 0, 0), STATUS_ISOLATED);
    computeSpinImages(s.shape, 1.0f, 5, 60.0f);
    const SpinImage& iso = s.shape.spinImages.images[4];
    ASSERT_EQ(iso.size(), 5u);
    EXPECT_EQ(countNonZeroBins(iso), 0);
    // Bins used by the others: 3, 2, 2, 3; with the isolated 0 the median is 2 (2.5 without it).
    EXPECT_FLOAT_EQ(s.shape.spinImages.expectedOverlap, 1.0f);
}

TEST(SpinImageShape, ReachQueryAndGridGiveTheAllPairsImagesBitForBit)
{
    PointShape s("cloud.obj");
    fillNoisySphere(s, 400, 7u);
    // A few vertices far away and one at a non-finite position must not disturb the grid.
    s.add(Vec3f(50, 0, 0), Vec3f(0, 0, 1));
    s.add(Vec3f(50.01f, 0, 0), Vec3f(0, 0, 1));
    s.add(Vec3f(kInf, 0, 0), Vec3f(0, 0, 1));
    int nonEmpty = 0;
    for (float binSize : {0.05f, 0.2f, 3.0f}) {
        for (int W : {5, 8}) {
            s.useStack(binSize, W, 70.0f);
            const SpinImageReach reach(s.shape);
            ASSERT_TRUE(reach.valid());
            for (int i = 0; i < s.shape.vertexCount(); ++i) {
                computeSpinImageAllPairs(s.shape, i);
                const SpinImage reference = s.shape.spinImages.images[i];
                nonEmpty += countNonZeroBins(reference) > 4;
                computeSpinImage(s.shape, i);
                ASSERT_EQ(s.shape.spinImages.images[i], reference) << "range query, vertex " << i << " W " << W;
                s.shape.spinImages.images[i].clear();
                computeSpinImageWithin(s.shape, i, reach);
                ASSERT_EQ(s.shape.spinImages.images[i], reference) << "grid, vertex " << i << " W " << W;
            }
        }
    }
    // Most images must be non-trivial for the comparison to mean anything.
    EXPECT_GT(nonEmpty, 1500);

    // computeSpinImages uses the grid, on two threads here.
    const int savedThreads = threadCount();
    setThreadCount(2);
    PointShape t("cloud2.obj");
    fillNoisySphere(t, 300, 8u);
    t.shape.meshResolution = 0.1f;
    computeSpinImages(t.shape, 1.0f, 6, 60.0f);
    setThreadCount(savedThreads);
    const std::vector<SpinImage> computed = t.shape.spinImages.images;
    for (int i = 0; i < t.shape.vertexCount(); ++i) {
        computeSpinImageAllPairs(t.shape, i);
        ASSERT_EQ(t.shape.spinImages.images[i], computed[i]) << i;
    }
}

// ---- files ----

TEST(SpinImageFiles, WidthZeroNeitherComputesNorLoads)
{
    PointShape s("zero.obj");
    fillNoisySphere(s, 20, 1u);
    computeSpinImages(s.shape, 1.0f, 0, 60.0f);
    EXPECT_TRUE(s.shape.spinImages.images.empty());
    EXPECT_FALSE(fs::exists(s.shape.spinImagesPath()));
}

TEST(SpinImageFiles, SavedImagesAreReadBackUnchanged)
{
    PointShape s("ball.obj");
    fillNoisySphere(s, 60, 3u);
    s.shape.meshResolution = 0.1f;
    computeSpinImages(s.shape, 2.0f, 6, 60.0f);
    const std::string path = s.shape.spinImagesPath();
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 20u + 60u * 36u * 4u + 20u);  // header, images, trailer
    EXPECT_FLOAT_EQ(s.shape.spinImages.binSize, 0.2f);

    ShapeModel copy(s.shape);
    copy.spinImages = SpinImageStack();
    ASSERT_TRUE(loadSpinImages(copy));
    EXPECT_EQ(copy.spinImages.images, s.shape.spinImages.images);
    EXPECT_EQ(copy.spinImages.binSize, s.shape.spinImages.binSize);
    EXPECT_EQ(copy.spinImages.imageWidth, 6);
    EXPECT_EQ(copy.spinImages.supportAngle, 60.0f);
    EXPECT_EQ(copy.spinImages.expectedOverlap, s.shape.spinImages.expectedOverlap);

    // A second computation uses the file for the same parameters only; each other one recomputes.
    copy.spinImages = SpinImageStack();
    LogCapture log;
    computeSpinImages(copy, 2.0f, 6, 60.0f);
    EXPECT_EQ(log.out().find("Computing spin image features..."), std::string::npos);
    EXPECT_EQ(copy.spinImages.images, s.shape.spinImages.images);
    const float others[3][3] = {{1, 6, 60}, {2, 9, 60}, {2, 6, 10}};  // bin size multiple, width, angle
    for (const auto& o : others) {
        LogCapture log2;
        computeSpinImages(s.shape, 2.0f, 6, 60.0f);  // the file as first written
        computeSpinImages(copy, o[0], int(o[1]), o[2]);
        EXPECT_NE(log2.err().find("Warning in loadSpinImages(): " + path), std::string::npos);
        EXPECT_EQ(copy.spinImages.imageWidth, int(o[1]));
        EXPECT_EQ(copy.spinImages.supportAngle, o[2]);
    }
}

TEST(SpinImageFiles, BadFilesAreRejectedAndLeaveTheShapeAsItWas)
{
    PointShape s("bad.obj");
    fillNoisySphere(s, 30, 5u);
    computeSpinImages(s.shape, 1.0f, 4, 60.0f);
    const std::string path = s.shape.spinImagesPath();
    const std::vector<char> good = readBytes(path);
    ASSERT_EQ(good.size(), 20u + 30u * 16u * 4u + 20u);

    auto withInt = [&](size_t offset, int32_t value) {
        std::vector<char> b = good;
        std::memcpy(b.data() + offset, &value, 4);
        return b;
    };
    std::vector<char> foreign(good.size());
    for (size_t k = 0; k < foreign.size(); ++k)
        foreign[k] = char(k * 37 + 11);
    const std::vector<std::pair<std::string, std::vector<char>>> cases = {
        {"empty", {}},
        {"three bytes", {good.begin(), good.begin() + 3}},
        {"header only", {good.begin(), good.begin() + 20}},
        {"one float short", {good.begin(), good.end() - 4}},
        {"one byte long", [&] { auto b = good; b.push_back(0); return b; }()},
        {"other vertex count", withInt(0, 31)},
        {"negative count", withInt(0, -30)},
        {"zero width", withInt(8, 0)},
        {"negative width", withInt(8, -4)},
        {"huge width", withInt(8, 2147483647)},
        {"width the size cannot hold", withInt(8, 5)},
        {"foreign bytes", foreign},
    };
    SpinImageStack marker;
    marker.imageWidth = 1;
    marker.images.assign(30, SpinImage(1, std::vector<float>(1, 42.0f)));
    for (const auto& c : cases) {
        writeBytes(path, c.second);
        s.shape.spinImages = marker;
        EXPECT_FALSE(loadSpinImages(s.shape)) << c.first;
        EXPECT_EQ(s.shape.spinImages.imageWidth, 1) << c.first;
        EXPECT_EQ(s.shape.spinImages.images, marker.images) << c.first;
    }

    // A rejected file is recomputed and replaced by a complete one.
    writeBytes(path, {good.begin(), good.begin() + 100});
    s.shape.spinImages = SpinImageStack();
    computeSpinImages(s.shape, 1.0f, 4, 60.0f);
    EXPECT_EQ(readBytes(path), good);
}

TEST(SpinImageFiles, SingleImageFile)
{
    PointShape s("single.obj");
    fillNoisySphere(s, 40, 9u);
    const std::string name = (s.root / "one.data").string();
    saveSingleSpinImage(s.shape, name, 0);  // no images yet
    EXPECT_FALSE(fs::exists(name));

    computeSpinImages(s.shape, 1.0f, 5, 60.0f);
    saveSingleSpinImage(s.shape, name, 40);  // no such vertex
    EXPECT_FALSE(fs::exists(name));
    saveSingleSpinImage(s.shape, name, 3);
    const std::vector<char> bytes = readBytes(name);
    ASSERT_EQ(bytes.size(), 25u * 4u);
    std::vector<float> values(25);
    std::memcpy(values.data(), bytes.data(), bytes.size());
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(values[r * 5 + c], s.shape.spinImages.images[3][r][c]);
}

// ---- similarity ----

TEST(SpinSimilarity, HandComputedCorrelationAndPenalty)
{
    const SpinImage P = imageFrom({1, 2, 3, 4});
    const SpinImage Q = imageFrom({1, 2, 3, 5});
    // N = 4: N sum(pq) - sum(p) sum(q) = 26, N sum(q^2) - sum(q)^2 = 35, N sum(p^2) - sum(p)^2 = 20.
    const double R = 26.0 / std::sqrt(35.0 * 20.0);
    const double logTerm = std::log((1 + R) / (1 - R));
    EXPECT_NEAR(spinSimilarity(P, Q, 0.0f), logTerm, 1e-5);
    EXPECT_NEAR(spinSimilarity(P, Q, 2.0f), logTerm - 2.0, 1e-5);
    EXPECT_FLOAT_EQ(spinSimilarity(P, Q, 1.5f), spinSimilarity(Q, P, 1.5f));
}

TEST(SpinSimilarity, OnlyBinsPositiveInBothImagesCount)
{
    const SpinImage P = imageFrom({1, 2, 3, 4, 0, 9, 0});
    const SpinImage Q = imageFrom({1, 2, 3, 5, 7, 0, 0});
    EXPECT_FLOAT_EQ(spinSimilarity(P, Q, 1.0f), spinSimilarity(imageFrom({1, 2, 3, 4}), imageFrom({1, 2, 3, 5}), 1.0f));
}

TEST(SpinSimilarity, DegenerateOverlapsScoreLowestAndNeverNaN)
{
    const SpinImage P = imageFrom({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(spinSimilarity(P, P, 3.0f), kInf);
    EXPECT_EQ(spinSimilarity(P, imageFrom({2, 4, 6, 8, 10, 12}), 3.0f), kInf);
    // Three overlapping bins.
    EXPECT_EQ(spinSimilarity(P, imageFrom({1, 2, 3}), 0.0f), -kInf);
    // Constant over the overlap (query or stack image).
    EXPECT_EQ(spinSimilarity(P, imageFrom({2, 2, 2, 2, 2}), 0.0f), -kInf);
    EXPECT_EQ(spinSimilarity(imageFrom({2, 2, 2, 2, 2}), P, 0.0f), -kInf);
    EXPECT_EQ(spinSimilarity(zeroImage(4), zeroImage(4), 0.0f), -kInf);
    // Perfect anticorrelation is the lowest score as well.
    EXPECT_EQ(spinSimilarity(imageFrom({1, 2, 3, 4}), imageFrom({4, 3, 2, 1}), 0.0f), -kInf);
    // Images of different sizes compare over the bins they share.
    EXPECT_FALSE(std::isnan(spinSimilarity(P, SpinImage(), 1.0f)));
    EXPECT_FALSE(std::isnan(spinSimilarity(P, imageFrom({1, 2, 3, 5, 8}, 3), 1.0f)));
}

// ---- similarity queries ----

namespace {
struct ScoresFile {
    float maxScore = 0, lower = 0, upper = 0, threshold = 0;
    std::vector<std::pair<float, int>> rows;
};

ScoresFile readScores(const std::string& path)
{
    ScoresFile f;
    std::ifstream in(path);
    std::string line;
    const char* labels[] = {"max score:\t", "lower median:\t", "upper median:\t", "outlierThreshold (moderate):\t"};
    float* values[] = {&f.maxScore, &f.lower, &f.upper, &f.threshold};
    for (int k = 0; k < 4; ++k) {
        std::getline(in, line);
        EXPECT_EQ(line.rfind(labels[k], 0), 0u) << line;
        *values[k] = std::stof(line.substr(std::string(labels[k]).size()));
    }
    while (std::getline(in, line)) {
        // "inf" is not read by operator>>, so split at the tab.
        const size_t tab = line.find('\t');
        f.rows.push_back({std::stof(line.substr(0, tab)), std::stoi(line.substr(tab + 1))});
    }
    return f;
}
}  // namespace

TEST(SpinQuery, QuartilesOfAStackOfFourAndTheOutliers)
{
    PointShape s("scores.obj");
    const std::string path = (s.root / "scores.txt").string();
    SpinImageStack stack;
    stack.expectedOverlap = 1.0f;
    const SpinImage query = imageFrom({1, 2, 3, 4, 5, 6, 7, 8});
    stack.images = {imageFrom({8, 1, 6, 3, 4, 5, 2, 7}), imageFrom({1, 2, 3, 4, 5, 6, 8, 7}),
                    imageFrom({2, 1, 3, 4, 6, 5, 7, 8}), imageFrom({5, 1, 2, 8, 3, 4, 7, 6})};
    std::vector<float> scores;
    for (const SpinImage& image : stack.images)
        scores.push_back(spinSimilarity(query, image, 1.0f));

    std::vector<int> out;
    stack.querySimilar(query, out, path.c_str());
    const ScoresFile f = readScores(path);
    ASSERT_EQ(f.rows.size(), 4u);
    std::vector<float> sorted = scores;
    std::sort(sorted.rbegin(), sorted.rend());
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(f.rows[k].first, sorted[k], 1e-4f);
        EXPECT_NEAR(scores[f.rows[k].second], sorted[k], 1e-6f);
    }
    EXPECT_NEAR(f.maxScore, sorted[0], 1e-4f);
    EXPECT_NEAR(f.upper, sorted[1], 1e-4f);
    EXPECT_NEAR(f.lower, sorted[3], 1e-4f);
    const float threshold = sorted[1] + 1.5f * (sorted[1] - sorted[3]);
    EXPECT_NEAR(f.threshold, threshold, 1e-4f);
    size_t expectedCount = 0;
    while (expectedCount < 4 && sorted[expectedCount] >= threshold)
        ++expectedCount;
    ASSERT_EQ(out.size(), expectedCount);
    for (size_t k = 0; k < out.size(); ++k)
        EXPECT_EQ(out[k], f.rows[k].second);

    std::vector<int> again;
    stack.querySimilar(query, again);  // no file
    EXPECT_EQ(again, out);
}

TEST(SpinQuery, ClearOutlierIsFoundFirst)
{
    std::mt19937 gen(11u);
    std::uniform_real_distribution<float> u(0.1f, 1.0f);
    SpinImageStack stack;
    stack.expectedOverlap = 4.0f;
    const int W = 6;
    SpinImage query = zeroImage(W);
    for (auto& row : query)
        for (float& v : row)
            v = u(gen);
    for (int k = 0; k < 40; ++k) {
        SpinImage image = zeroImage(W);
        for (auto& row : image)
            for (float& v : row)
                v = u(gen);
        stack.images.push_back(image);
    }
    // Image 17 is the query with a little noise.
    for (int r = 0; r < W; ++r)
        for (int c = 0; c < W; ++c)
            stack.images[17][r][c] = query[r][c] + 0.01f * u(gen);
    std::vector<int> out;
    stack.querySimilar(query, out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], 17);
    EXPECT_LT(out.size(), 5u);
}

TEST(SpinQuery, DegenerateImagesSortWithoutNaNAndAreNeverReturned)
{
    SpinImageStack stack;
    const SpinImage query = imageFrom({1, 2, 3, 4, 5, 6, 7, 8});
    stack.images = {imageFrom({2, 2, 2, 2, 2, 2, 2, 2}), zeroImage(4), imageFrom({1, 2, 3, 4, 5, 6, 7, 8}),
                    imageFrom({3, 3, 3}), imageFrom({2, 2, 2, 2, 2, 2, 2, 2})};
    std::vector<int> out;
    PointShape s("degenerate.obj");
    const std::string path = (s.root / "scores.txt").string();
    stack.querySimilar(query, out, path.c_str());
    const ScoresFile f = readScores(path);
    ASSERT_EQ(f.rows.size(), 5u);
    EXPECT_EQ(f.rows[0].second, 2);
    // Equal scores keep index order.
    EXPECT_EQ(f.rows[1].second, 0);
    EXPECT_EQ(f.rows[2].second, 1);
    EXPECT_EQ(f.rows[3].second, 3);
    EXPECT_EQ(f.rows[4].second, 4);
    EXPECT_EQ(out, std::vector<int>({2}));

    std::vector<int> none{5, 6};
    stack.images = {zeroImage(4), zeroImage(4), zeroImage(4), zeroImage(4)};
    stack.querySimilar(query, none);
    EXPECT_TRUE(none.empty());
    stack.images.clear();
    none = {1};
    stack.querySimilar(query, none);
    EXPECT_TRUE(none.empty());
}
