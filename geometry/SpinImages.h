#pragma once
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

class ShapeModel;

// One spin image: imageWidth rows (index from beta) of imageWidth floats (index from alpha).
// An empty image has no rows.
typedef std::vector<std::vector<float>> SpinImage;

// Spin-image parameters of a shape and one image per vertex.
struct SpinImageStack {
    float binSize = 0.0f;          // bin edge length in model units
    int imageWidth = 0;            // W
    float supportAngle = 0.0f;     // degrees
    float expectedOverlap = 0.0f;  // half the median count of non-zero bins
    std::vector<SpinImage> images; // one per vertex

    // Indices of the stack images that are upper outliers of the similarity to query (scores at
    // least 1.5 interquartile ranges above the upper quartile), best first. Images without a usable
    // overlap with the query are never listed. With a file name, the scores are also written there.
    void querySimilar(const SpinImage& query, std::vector<int>& out, const char* fileName = nullptr) const;
};

// Spin-image coordinates of x seen from the oriented point (p, n), n a unit vector: alpha is the
// distance from the normal line (NaN when rounding makes it imaginary), beta the signed height
// above the tangent plane.
void spinCoordinates(const Vec3f& p, const Vec3f& n, const Vec3f& x, float& alpha, float& beta);

// Spreads a point at (alpha, beta) bilinearly over the four nearest bins of a W x W image with bin
// edge binSize. Row (W - 1) / 2 lies on the tangent plane, column 0 on the normal line. Points
// whose four bins are not all inside the image, or with a NaN coordinate, are dropped.
void addSpinImagePoint(SpinImage& image, int W, float binSize, float alpha, float beta);

// Number of bins with a value above 0.
int countNonZeroBins(const SpinImage& image);

// Median of the counts (mean of the two middle ones for an even number, 0 for none).
float medianOfCounts(std::vector<int> counts);

// Similarity of query P and stack image Q from the bins where both are positive (N of them):
// ln((1 + R) / (1 - R)) - lambda / (N - 3), R their correlation. Never NaN: an overlap of 3 bins
// or fewer, or one over which either image is constant, scores -infinity (the lowest score);
// images equal up to a positive factor score +infinity.
float spinSimilarity(const SpinImage& P, const SpinImage& Q, float lambda);

// The vertices of a shape that can land in its spin images, on a uniform grid whose cells are at
// least half the images' reach wide, so that the 5 x 5 x 5 cells around a vertex hold every vertex
// that can land in its image. Built from the shape's positions and stack parameters; valid() is false when the
// parameters give no finite reach (the images are then computed all-pairs).
class SpinImageReach {
public:
    explicit SpinImageReach(const ShapeModel& shape);
    bool valid() const { return valid_; }
    // Squared distance within which every landing vertex lies (with a margin for rounding).
    static double squaredReach(int imageWidth, float binSize);
    // The vertices within the squared reach of vertex i, in increasing index order.
    void candidates(const ShapeModel& shape, int i, std::vector<int>& out) const;

private:
    bool valid_ = false;
    Vec3f origin_;
    float cellSize_[3] = {1, 1, 1};
    int dims_[3] = {0, 0, 0};
    static constexpr int kCellsPerReach = 2;
    std::vector<int> cellStart_;       // offsets into the two arrays below, one per cell plus one
    std::vector<int> cellPoints_;      // vertex indices, cell by cell, increasing within a cell
    std::vector<Vec3f> cellPositions_; // their positions, in the same order
    int cellOf(const Vec3f& p, int axis) const;
};

// Image of vertex i from the candidates of reach (all-pairs when reach is not valid); the same
// image as the other two ways, bit for bit.
void computeSpinImageWithin(ShapeModel& shape, int vertexIndex, const SpinImageReach& reach);

// Image of vertex i by visiting every other vertex, in index order. computeSpinImage
// (a range query) and computeSpinImageWithin (a grid, used by computeSpinImages) visit only the
// vertices within the image's reach and give the same image, bit for bit; this one
// is the reference they are checked and timed against. Uses the stack parameters of the shape.
void computeSpinImageAllPairs(ShapeModel& shape, int vertexIndex);

// The spin images of every vertex of shape: bin size meshResolution * binSizeMultiple,
// imageWidth x imageWidth bins, support angle in degrees; read from shape.spinImagesPath() when the file holds these
// parameters, else computed on threadCount() threads and saved. Nothing for imageWidth <= 0.
void computeSpinImages(ShapeModel& shape, float binSizeMultiple, int imageWidth, float supportAngle);
// Image of one vertex from the current stack parameters, by a range query.
void computeSpinImage(ShapeModel& shape, int vertexIndex);
// Writes the stack to shape.spinImagesPath().
void saveSpinImages(ShapeModel& shape);
// Reads shape.spinImagesPath() into the stack; false (shape unchanged) when the file is missing,
// damaged, for another shape or of other parameters. binSize in model units (the mesh resolution
// times the multiple); imageWidth <= 0 accepts any.
bool loadSpinImages(ShapeModel& shape, float binSize = 0, int imageWidth = 0, float supportAngle = 0);
// Writes the image of one vertex, row by row as raw floats, to fileName.
void saveSingleSpinImage(const ShapeModel& shape, const std::string& fileName, int vertexIndex);

}  // namespace veltrix
