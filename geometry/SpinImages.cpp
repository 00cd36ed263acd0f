#include "geometry/SpinImages.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>

#include "geometry/CacheFile.h"
#include "core/Parallel.h"
#include "core/Progress.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the preprocessing files are little-endian and written from memory as they are");

void spinCoordinates(const Vec3f& p, const Vec3f& n, const Vec3f& x, float& alpha, float& beta)
{
    const Vec3f d = x - p;
    beta = n.dot(d);
    alpha = std::sqrt(d.squaredLength() - beta * beta);
}

void addSpinImagePoint(SpinImage& image, int W, float binSize, float alpha, float beta)
{
    const float row = (W - 1) / 2.0f - beta / binSize;
    const float col = alpha / binSize;
    const float l = std::floor(row), m = std::floor(col);
    // Written so that a NaN coordinate fails the test as well.
    if (!(l >= 0.0f && m >= 0.0f && l + 1.0f < float(W) && m + 1.0f < float(W)))
        return;
    const size_t li = size_t(l), mi = size_t(m);
    if (li + 1 >= image.size() || mi + 1 >= image[li].size() || mi + 1 >= image[li + 1].size())
        return;
    const float fr = row - l, fc = col - m;
    image[li][mi] += (1 - fr) * (1 - fc);
    image[li + 1][mi] += fr * (1 - fc);
    image[li][mi + 1] += (1 - fr) * fc;
    image[li + 1][mi + 1] += fr * fc;
}

int countNonZeroBins(const SpinImage& image)
{
    int count = 0;
    for (const auto& row : image)
        for (float v : row)
            if (v > 0.0f)
                ++count;
    return count;
}

float medianOfCounts(std::vector<int> counts)
{
    if (counts.empty())
        return 0.0f;
    std::sort(counts.begin(), counts.end());
    const size_t n = counts.size();
    if (n % 2 == 1)
        return float(counts[n / 2]);
    return (float(counts[n / 2 - 1]) + float(counts[n / 2])) / 2.0f;
}

float spinSimilarity(const SpinImage& P, const SpinImage& Q, float lambda)
{
    const float lowest = -std::numeric_limits<float>::infinity();
    double sp = 0, sq = 0, spp = 0, sqq = 0, spq = 0;
    long n = 0;
    const size_t rows = std::min(P.size(), Q.size());
    for (size_t r = 0; r < rows; ++r) {
        const size_t cols = std::min(P[r].size(), Q[r].size());
        for (size_t c = 0; c < cols; ++c) {
            const double p = P[r][c], q = Q[r][c];
            if (p > 0 && q > 0) {
                ++n;
                sp += p;
                sq += q;
                spp += p * p;
                sqq += q * q;
                spq += p * q;
            }
        }
    }
    // So small an overlap says nothing about the shapes, and the penalty divides by N - 3.
    if (n <= 3)
        return lowest;
    const double N = double(n);
    const double varP = N * spp - sp * sp, varQ = N * sqq - sq * sq;
    // An image constant over the overlap has no correlation.
    if (!(varP > 0 && varQ > 0))
        return lowest;
    // One square root of the product: for P = Q it gives exactly R = 1.
    double R = (N * spq - sp * sq) / std::sqrt(varQ * varP);
    if (std::isnan(R))
        return lowest;
    R = std::clamp(R, -1.0, 1.0);
    const double score = std::log((1 + R) / (1 - R)) - double(lambda) / (N - 3);
    return std::isnan(score) ? lowest : float(score);
}

void SpinImageStack::querySimilar(const SpinImage& query, std::vector<int>& out, const char* fileName) const
{
    out.clear();
    if (images.empty())
        return;
    std::vector<std::pair<float, int>> scored(images.size());
    for (size_t i = 0; i < images.size(); ++i)
        scored[i] = {spinSimilarity(query, images[i], expectedOverlap), int(i)};
    // Scores are never NaN; equal scores keep index order, so the order is fully defined.
    std::sort(scored.begin(), scored.end(), [](const std::pair<float, int>& a, const std::pair<float, int>& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    const size_t n = scored.size();
    const float upper = scored[n / 4].first;
    const float lower = scored[(3 * n) / 4].first;
    const float maxScore = scored[0].first;
    // Equal quartiles (possibly both infinite) have no spread; inf - inf would give NaN.
    const float threshold = (upper == lower) ? upper : float(upper + 1.5 * (double(upper) - double(lower)));
    for (const auto& s : scored) {
        // Pairs without a usable overlap are never similar.
        if (s.first < threshold || s.first == -std::numeric_limits<float>::infinity())
            break;
        out.push_back(s.second);
    }
    if (!fileName)
        return;
    std::ofstream file(fileName);
    if (!file) {
        logOut() << "Error in SpinImageStack::querySimilar: could not open file " << fileName << " for writing!"
                  << std::endl;
        return;
    }
    logOut() << "Saving similarity scores to " << fileName << "..." << std::flush;
    file << "max score:\t" << maxScore << "\n";
    file << "lower median:\t" << lower << "\n";
    file << "upper median:\t" << upper << "\n";
    file << "outlierThreshold (moderate):\t" << threshold << "\n";
    for (const auto& s : scored)
        file << s.first << "\t" << s.second << "\n";
    file.close();
    logOut() << "done!" << std::endl;
}

// ---- images of a shape ----

static const float kPi = 3.1415927f;
static const float kMaxFloat = 3.4028235e38f;

// Sets image i to W rows of W zeros and reports whether vertex i can have a non-empty image.
static bool startImage(ShapeModel& shape, int i)
{
    const int W = std::max(shape.spinImages.imageWidth, 0);
    SpinImage& image = shape.spinImages.images[i];
    image.assign(W, std::vector<float>(W, 0.0f));
    if (i < int(shape.vertexStatus.size()) && shape.vertexStatus[i] == STATUS_ISOLATED)
        return false;
    return i < shape.normals.size() && shape.vertices.point(i).isFinite();
}

// Adds vertex j to image i when its normal lies within the support angle.
static inline void addVertex(ShapeModel& shape, SpinImage& image, int i, int j, float cosSupport)
{
    if (j == i || j >= shape.normals.size())
        return;
    const Vec3f& ni = shape.normals.point(i);
    // NaN normals fail this test.
    if (!(ni.dot(shape.normals.point(j)) > cosSupport))
        return;
    float alpha, beta;
    spinCoordinates(shape.vertices.point(i), ni, shape.vertices.point(j), alpha, beta);
    addSpinImagePoint(image, shape.spinImages.imageWidth, shape.spinImages.binSize, alpha, beta);
}

static float cosSupportAngle(const SpinImageStack& stack)
{
    return std::cos(stack.supportAngle / 180.0f * kPi);
}

static void ensureImageSlot(ShapeModel& shape, int i)
{
    if (int(shape.spinImages.images.size()) <= i)
        shape.spinImages.images.resize(i + 1);
}

void computeSpinImageAllPairs(ShapeModel& shape, int i)
{
    if (i < 0 || i >= shape.vertexCount())
        return;
    ensureImageSlot(shape, i);
    if (!startImage(shape, i))
        return;
    SpinImage& image = shape.spinImages.images[i];
    const float c = cosSupportAngle(shape.spinImages);
    for (int j = 0; j < shape.vertexCount(); ++j)
        addVertex(shape, image, i, j, c);
}

double SpinImageReach::squaredReach(int W, float b)
{
    // A point lands only with alpha < (W - 1) b and |beta| <= (W - 1) b / 2, so within this
    // distance; the margin covers rounding.
    const double reach = double(W - 1) * double(b);
    return 1.25 * reach * reach * 1.01;
}

static bool usableReach(int W, float b, double sqRadius)
{
    return b > 0 && W > 1 && std::isfinite(sqRadius) && sqRadius < 1.0e36;
}

// Adds the sorted candidates to image i, as the all-pairs loop would add them.
static void fillImage(ShapeModel& shape, int i, const std::vector<int>& sortedCandidates)
{
    SpinImage& image = shape.spinImages.images[i];
    const float c = cosSupportAngle(shape.spinImages);
    for (int j : sortedCandidates)
        addVertex(shape, image, i, j, c);
}

void computeSpinImage(ShapeModel& shape, int i)
{
    if (i < 0 || i >= shape.vertexCount())
        return;
    // An approximate search guarantees only the radius shrunk by (1 + epsilon).
    const double eps = shape.vertices.epsilon();
    const SpinImageStack& stack = shape.spinImages;
    const double sqRadius = SpinImageReach::squaredReach(stack.imageWidth, stack.binSize) * (1 + eps) * (1 + eps);
    if (!usableReach(stack.imageWidth, stack.binSize, sqRadius)) {
        computeSpinImageAllPairs(shape, i);
        return;
    }
    ensureImageSlot(shape, i);
    if (!startImage(shape, i))
        return;
    std::vector<int> candidates;
    std::vector<float> distances;
    shape.vertices.rangeQuery(shape.vertices.point(i), float(sqRadius), candidates, distances, true);
    // Index order, as in the all-pairs loop, so that the sums come out the same.
    std::sort(candidates.begin(), candidates.end());
    fillImage(shape, i, candidates);
}

SpinImageReach::SpinImageReach(const ShapeModel& shape)
{
    const int n = shape.vertexCount();
    const double sqRadius = squaredReach(shape.spinImages.imageWidth, shape.spinImages.binSize);
    if (n == 0 || !usableReach(shape.spinImages.imageWidth, shape.spinImages.binSize, sqRadius))
        return;
    const float radius = float(std::sqrt(sqRadius));
    Vec3f lo(kMaxFloat, kMaxFloat, kMaxFloat), hi(-kMaxFloat, -kMaxFloat, -kMaxFloat);
    for (const Vec3f& p : shape.vertices.points())
        if (p.isFinite())
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], p[a]);
                hi[a] = std::max(hi[a], p[a]);
            }
    if (!(lo.x <= hi.x))
        return;  // no finite position at all
    // Cells at least 1 / kCellsPerReach of the reach wide on every axis, and never many more
    // cells than vertices.
    const float minCell = radius / kCellsPerReach;
    const int maxPerAxis = std::max(1, int(std::cbrt(8.0 * n)));
    long cells = 1;
    for (int a = 0; a < 3; ++a) {
        const double extent = double(hi[a]) - double(lo[a]);
        dims_[a] = int(std::clamp(std::floor(extent / minCell), 1.0, double(maxPerAxis)));
        cellSize_[a] = float(extent / dims_[a]);
        // Float rounding must not make a cell narrower than that.
        if (!(cellSize_[a] >= minCell))
            cellSize_[a] = minCell;
        cells *= dims_[a];
    }
    origin_ = lo;
    // Counting sort by cell; vertices enter their cell in index order.
    cellStart_.assign(cells + 1, 0);
    std::vector<int> cellOfVertex(n, -1);
    for (int i = 0; i < n; ++i) {
        const Vec3f& p = shape.vertices.point(i);
        if (!p.isFinite())
            continue;
        const int cell = (cellOf(p, 2) * dims_[1] + cellOf(p, 1)) * dims_[0] + cellOf(p, 0);
        cellOfVertex[i] = cell;
        ++cellStart_[cell + 1];
    }
    for (long k = 0; k < cells; ++k)
        cellStart_[k + 1] += cellStart_[k];
    cellPoints_.resize(cellStart_[cells]);
    cellPositions_.resize(cellStart_[cells]);
    std::vector<int> fill(cellStart_.begin(), cellStart_.end() - 1);
    for (int i = 0; i < n; ++i)
        if (cellOfVertex[i] >= 0) {
            cellPositions_[fill[cellOfVertex[i]]] = shape.vertices.point(i);
            cellPoints_[fill[cellOfVertex[i]]++] = i;
        }
    valid_ = true;
}

int SpinImageReach::cellOf(const Vec3f& p, int axis) const
{
    const float t = std::floor((p[axis] - origin_[axis]) / cellSize_[axis]);
    return int(std::clamp(t, 0.0f, float(dims_[axis] - 1)));
}

void SpinImageReach::candidates(const ShapeModel& shape, int i, std::vector<int>& out) const
{
    out.clear();
    if (!valid_ || i < 0 || i >= shape.vertexCount())
        return;
    const Vec3f& p = shape.vertices.point(i);
    if (!p.isFinite())
        return;
    const double sqRadius = squaredReach(shape.spinImages.imageWidth, shape.spinImages.binSize);
    int c[3];
    for (int a = 0; a < 3; ++a)
        c[a] = cellOf(p, a);
    const int k = kCellsPerReach;
    for (int z = std::max(c[2] - k, 0); z <= std::min(c[2] + k, dims_[2] - 1); ++z)
        for (int y = std::max(c[1] - k, 0); y <= std::min(c[1] + k, dims_[1] - 1); ++y) {
            // One row of cells is one contiguous run of the cell arrays.
            const int row = (z * dims_[1] + y) * dims_[0];
            const int first = cellStart_[row + std::max(c[0] - k, 0)];
            const int last = cellStart_[row + std::min(c[0] + k, dims_[0] - 1) + 1];
            for (int m = first; m < last; ++m) {
                const Vec3f& q = cellPositions_[m];
                const double dx = double(q.x) - p.x, dy = double(q.y) - p.y, dz = double(q.z) - p.z;
                if (dx * dx + dy * dy + dz * dz <= sqRadius)
                    out.push_back(cellPoints_[m]);
            }
        }
    std::sort(out.begin(), out.end());
}

void computeSpinImageWithin(ShapeModel& shape, int i, const SpinImageReach& reach)
{
    if (i < 0 || i >= shape.vertexCount())
        return;
    if (!reach.valid()) {
        computeSpinImageAllPairs(shape, i);
        return;
    }
    ensureImageSlot(shape, i);
    if (!startImage(shape, i))
        return;
    std::vector<int> candidates;
    reach.candidates(shape, i, candidates);
    fillImage(shape, i, candidates);
}

void computeSpinImages(ShapeModel& shape, float binSizeMultiple, int W, float supportAngle)
{
    if (W <= 0)
        return;
    if (loadSpinImages(shape, shape.meshResolution * binSizeMultiple, W, supportAngle))
        return;
    const int n = shape.vertexCount();
    shape.spinImages.images.assign(n, SpinImage());
    shape.spinImages.imageWidth = W;
    shape.spinImages.binSize = shape.meshResolution * binSizeMultiple;
    shape.spinImages.supportAngle = supportAngle;

    logOut() << "Computing spin image features..." << std::endl;
    logOut() << "*** Bin Size: " << shape.spinImages.binSize << "(" << binSizeMultiple
             << " times the mesh resolution)" << std::endl;
    logOut() << "*** Image Width: " << W << std::endl;
    logOut() << "*** Support Angle: " << supportAngle << " degrees" << std::endl;
    progress(n, true);

    // Only the vertices within an image's reach can land in it.
    // Each image is written by one thread only; the counts are gathered in vertex order after.
    const SpinImageReach reach(shape);
    parallelFor(n, [&](int i, int) { computeSpinImageWithin(shape, i, reach); }, true);
    std::vector<int> counts;
    for (int i = 0; i < n; ++i)
        if (!shape.spinImages.images[i].empty())
            counts.push_back(countNonZeroBins(shape.spinImages.images[i]));
    shape.spinImages.expectedOverlap = medianOfCounts(counts) / 2.0f;
    logOut() << "*** Expected overlap: " << shape.spinImages.expectedOverlap << " bins" << std::endl;
    logOut() << " done!" << std::endl;
    saveSpinImages(shape);
}

// ---- spin image files ----

static const int64_t kHeaderBytes = 5 * 4;

void saveSpinImages(ShapeModel& shape)
{
    const std::string path = shape.spinImagesPath();
    // Written beside the old file and renamed over it on commit, so that a crash or a full disk
    // leaves either the old file or the complete new one.
    CacheWriter file(path);
    if (!file.isOpen()) {
        logOut() << "Error in saveSpinImages(): could not open file " << path << " for writing!" << std::endl;
        return;
    }
    logOut() << "Saving spin images to " << path << "..." << std::flush;
    const int32_t W = shape.spinImages.imageWidth;
    file.writeInt32(int32_t(shape.spinImages.images.size()));
    file.writeFloats(&shape.spinImages.binSize, 1);
    file.writeInt32(W);
    file.writeFloats(&shape.spinImages.supportAngle, 1);
    file.writeFloats(&shape.spinImages.expectedOverlap, 1);
    const std::vector<float> zeros(std::max(W, 0), 0.0f);
    for (const SpinImage& image : shape.spinImages.images)
        for (int r = 0; r < W; ++r) {
            // Every image is written W x W, so that the file size matches its header.
            const bool full = r < int(image.size()) && int(image[r].size()) == W;
            file.writeFloats(full ? image[r].data() : zeros.data(), W);
        }
    if (!file.commit(shape.geometryKey())) {
        logOut() << std::endl << "Error in saveSpinImages(): could not write file " << path << "!" << std::endl;
        return;
    }
    logOut() << "done!" << std::endl;
}

bool loadSpinImages(ShapeModel& shape, float binSize, int imageWidth, float supportAngle)
{
    const std::string path = shape.spinImagesPath();
    if (cacheNotMadeYet(path)) {
        logOut() << "*** No cached spin images in " << path << " yet: computing them." << std::endl;
        return false;
    }
    CacheReader in(path, true);
    if (!in.isOpen()) {
        logOut() << "Error in loadSpinImages(): could not open file " << path << " for reading!" << std::endl;
        return false;
    }
    logOut() << "*** Loading spin images..." << std::flush;
    const int64_t fileSize = in.remaining();
    const auto reject = [&](const char* why) {
        logErr() << "Error in loadSpinImages(): file " << path << " " << why << std::endl;
        return false;
    };

    int32_t count = 0;
    if (fileSize < 4 || !in.readInt32(count))
        return reject("is empty or truncated!");
    if (count != shape.vertexCount()) {
        logErr() << "Error in loadSpinImages(): number of vertices do not match!" << std::endl;
        return false;
    }
    SpinImageStack stack;
    int32_t W = 0;
    if (fileSize < kHeaderBytes || !in.readFloats(&stack.binSize, 1) || !in.readInt32(W) ||
        !in.readFloats(&stack.supportAngle, 1) || !in.readFloats(&stack.expectedOverlap, 1))
        return reject("is empty or truncated!");
    if (W <= 0 || !std::isfinite(stack.binSize) || !std::isfinite(stack.supportAngle) ||
        !std::isfinite(stack.expectedOverlap))
        return reject("is not a spin images file!");
    if (imageWidth > 0 && (W != imageWidth || stack.binSize != binSize || stack.supportAngle != supportAngle)) {
        logOut() << std::endl;
        logErr() << "Warning in loadSpinImages(): " << path
                  << " holds images of another bin size, width or support angle; recomputing." << std::endl;
        return false;
    }
    // The header must account for the file's size exactly; this also keeps a foreign header from
    // making us allocate more than the file holds.
    const uint64_t floatsPerImage = uint64_t(W) * uint64_t(W);
    const uint64_t payload = uint64_t(fileSize - kHeaderBytes);
    if (payload % 4 != 0 || (count > 0 && payload / 4 / uint64_t(count) != floatsPerImage) ||
        (count > 0 && payload / 4 % uint64_t(count) != 0) || (count == 0 && payload != 0))
        return reject("does not match the size its header gives (truncated or not a spin images file)!");
    stack.imageWidth = W;
    stack.images.resize(count);
    for (SpinImage& image : stack.images) {
        image.assign(W, std::vector<float>(W));
        for (auto& row : image) {
            if (!in.readFloats(row.data(), W))
                return reject("is truncated!");
            for (float v : row)
                if (!std::isfinite(v))
                    return reject("holds a value that is not finite!");
        }
    }
    if (!in.verify(shape.geometryKey(), "loadSpinImages"))
        return false;
    shape.spinImages = std::move(stack);

    logOut() << "done!" << std::endl;
    logOut() << "Loaded spin image features..." << std::endl;
    logOut() << "*** Bin Size: " << shape.spinImages.binSize << std::endl;
    logOut() << "*** Image Width: " << shape.spinImages.imageWidth << std::endl;
    logOut() << "*** Support Angle: " << shape.spinImages.supportAngle << " degrees" << std::endl;
    logOut() << "*** Expected overlap: " << shape.spinImages.expectedOverlap << " bins" << std::endl;
    return true;
}

void saveSingleSpinImage(const ShapeModel& shape, const std::string& name, int i)
{
    if (shape.spinImages.images.empty() || i < 0 || i >= int(shape.spinImages.images.size()) ||
        shape.spinImages.images[i].empty()) {
        logErr() << "Error in saveSingleSpinImage(): No Spin Image Information Found!" << std::endl;
        return;
    }
    std::ofstream out(name, std::ios::binary);
    if (!out) {
        logErr() << "Error in saveSingleSpinImage(): could not open file " << name << " for writing!" << std::endl;
        return;
    }
    logOut() << "Saving spin image at vertex " << i << "..." << std::flush;
    for (const auto& row : shape.spinImages.images[i])
        out.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()) * 4);
    out.close();
    logOut() << "done!" << std::endl;
}

}  // namespace veltrix
