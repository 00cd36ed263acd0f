#pragma once
#include <vector>

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
};
