#pragma once
#include <vector>

#include "PointSetANN.h"
#include "Vec3f.h"

// Per-vertex features are members of ShapeModel (copyCurvatureFeatures, curvatureRatioFeatures,
// curvatureNormFeatures, meanCurvatureFeatures, saveFeatures, loadFeatures; Features.cpp).

// Mean-curvature value ln(1 + 1/R) of the sphere fitted around point at each squared radius of
// scaleList, or 0 where the fit fails or gives no real sphere. Neighbours come from a range query on
// vertices reusing its tree (squared radius 0.5012640060768128 * h2); neighbours without a normal
// are left out. The query and the fit add their time to the timers "Range query" and "Fit circle".
std::vector<float> meanCurvatureAt(const Vec3f& point, PointSetANN& vertices, const PointSetANN& normals,
                                   const std::vector<float>& scaleList);
