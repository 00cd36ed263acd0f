#pragma once
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

class ShapeModel;

// Local frame of a vertex at one scale: 11 floats, in this order in memory.
// A vertex that is not interior holds zeros at every scale.
struct PrincipalFrame {
    Vec3f normal;        // unit vertex normal
    Vec3f minDirection;  // unit direction of the minimum principal curvature
    Vec3f maxDirection;  // unit direction of the maximum principal curvature
    float minCurvature = 0.0f;  // smaller principal curvature (signed)
    float maxCurvature = 0.0f;  // larger principal curvature (signed)
};

static_assert(sizeof(PrincipalFrame) == 11 * sizeof(float), "PrincipalFrame must be 11 packed floats");

// True when the three vectors are unit length within 1e-5 and pairwise perpendicular within 1e-5.
// Comparisons with non-finite values fail, so a frame with non-finite directions passes.
bool isOrthonormal(const PrincipalFrame& frame);
// Normalises the normal, then makes maxDirection and minDirection unit and perpendicular to what
// comes before them (Gram-Schmidt). Orientation of the normal and maxDirection is kept; no
// handedness is imposed.
void orthonormalize(PrincipalFrame& frame);

// The cache files keep the parameters they were made with; computeFrames,
// meanCurvatureFeatures and computeSpinImages use a cache only when those are the requested
// ones and recompute (with a warning) otherwise. The load functions without a request accept
// any parameters and adopt the file's.

// Frames of every vertex of shape at every scale (squared radii), on threadCount() threads. With
// maxNeighbours > 0 a neighbourhood is at most that many nearest points within the radius,
// which keeps the cost per vertex fixed however fine the mesh; 0 takes the whole ball.
void computeFrames(ShapeModel& shape, const std::vector<float>& scaleList, bool force, int maxNeighbours = 0);
// Writes the frames and scales of shape to shape.framesPath().
void saveFrames(ShapeModel& shape, const std::string& description);
// Reads shape.framesPath() into the frames and scales of shape; false when the file is missing,
// damaged, for another shape or (with a request) of other scales. The shape is left unchanged,
// except that a description naming no shape file clears its frames and scales.
bool loadFrames(ShapeModel& shape, const std::vector<float>* requestedScales = nullptr);

}  // namespace veltrix
