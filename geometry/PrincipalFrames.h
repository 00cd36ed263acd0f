#pragma once
#include "Vec3f.h"

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
