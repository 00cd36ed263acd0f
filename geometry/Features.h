#pragma once
#include <vector>

#include "spatial/PointSetANN.h"
#include "core/Vec3f.h"

namespace veltrix {

class ShapeModel;

// Per-vertex features of a shape: its features (one vector per vertex) and featureScales.
// The first three read the shape's frames, which must be there (one array per vertex, at least
// one scale; else an error is logged and nothing changes); vertices that are not interior keep
// zero vectors.

// Minimum and maximum principal curvature at every frame scale.
void copyCurvatureFeatures(ShapeModel& shape);
// |minimum / maximum curvature| at every frame scale (0 where the maximum is about 0).
void curvatureRatioFeatures(ShapeModel& shape);
// Norm of the minimum curvatures over the frame scales, one component.
void curvatureNormFeatures(ShapeModel& shape);
// meanCurvatureAt for every vertex at each squared radius of scaleList (epsilon the search error
// bound), unless the features file holds those scales already; saved afterwards.
void meanCurvatureFeatures(ShapeModel& shape, const std::vector<float>& scaleList, double epsilon);
// Writes the features and their scales to shape.featuresPath().
void saveFeatures(ShapeModel& shape);
// Reads shape.featuresPath(); false (shape unchanged) when the file is missing, damaged, for
// another shape or (with a request) of other scales.
bool loadFeatures(ShapeModel& shape, const std::vector<float>* requestedScales = nullptr);

// Mean-curvature value ln(1 + 1/R) of the sphere fitted around point at each squared radius of
// scaleList, or 0 where the fit fails or gives no real sphere. Neighbours come from a range query on
// vertices reusing its tree (squared radius 0.5012640060768128 * h2); neighbours without a normal
// are left out. The query and the fit add their time to the timers "Range query" and "Fit circle".
std::vector<float> meanCurvatureAt(const Vec3f& point, PointSetANN& vertices, const PointSetANN& normals,
                                   const std::vector<float>& scaleList);

}  // namespace veltrix
