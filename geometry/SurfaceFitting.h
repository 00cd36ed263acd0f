#pragma once
#include <vector>

#include "geometry/PrincipalFrames.h"
#include "core/Vec3f.h"

namespace veltrix {

// Least-squares fits of local surface information to neighbourhoods of oriented points (positions
// with unit normals, equally long lists). The small systems are solved in double precision by
// LAPACK; results come back as floats.

// Two unit tangent vectors u, v for the unit normal n; (u, v, n) is orthonormal.
void tangentBasis(const Vec3f& n, Vec3f& u, Vec3f& v);

// Fits the curvature tensor in the orthonormal tangent basis (u, v) from the normal variation over
// all pairs of points. Writes both principal curvatures (minimum <= maximum, positive where the
// surface bends away from the normals' side) and their directions into out; the normal is left
// alone. At umbilic points and on planes a direction is non-finite.
// False, out untouched, with fewer than 3 points or when the normal equations are singular.
bool FitCurvatureTensorLS(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals, Vec3f u,
                          Vec3f v, PrincipalFrame& out);

// The two forms of the pair sums: the literal loop over pairs i < j in single precision, and the
// algebraically equal linear form in double precision that FitCurvatureTensorLS uses.
bool fitCurvatureTensorPairwise(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals,
                                Vec3f u, Vec3f v, PrincipalFrame& out);
bool fitCurvatureTensorLinear(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals,
                              Vec3f u, Vec3f v, PrincipalFrame& out);
// Solves the normal equations of the tensor fit from the six pair sums and fills out.
bool curvatureFromSums(float suu, float suv, float svv, float r1, float r2, float r3, Vec3f u, Vec3f v,
                       PrincipalFrame& out);

// (1 - |p - c|^2 / h2)^4 inside the ball of squared radius h2, 0 on and outside it.
float sphereWeight(const Vec3f& p, const Vec3f& c, float h2);

// Fits an algebraic sphere u0 + (u1, u2, u3).p + u4 |p|^2 = 0 to weighted positions and normals
// (normal constraints weigh 1e6 times the position constraint). centre enters as the centre of the
// weights and radiusSquared as the squared support radius; on success they leave as the sphere's
// centre and squared radius. A planar fit (|u4| tiny) returns false with centre = (u1, u2, u3) and
// radiusSquared = u0; a singular system returns false with both untouched.
bool FitSphere(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals, Vec3f& centre,
               float& radiusSquared);

// Small dense solves; matrix is row-major, the solution replaces rhs. The symmetric solvers read
// only the upper triangle. False, rhs untouched, when the matrix is singular, not positive
// definite (symmetric solvers) or the solution is not finite.
bool solveSPD3(const float* matrix, float* rhs);
bool solveSPD5(const float* matrix, float* rhs);
bool solveGeneral3(const float* matrix, float* rhs);

}  // namespace veltrix
