#pragma once
#include <array>
#include <cstddef>
#include <iostream>
#include <vector>

#include "core/Vec3f.h"
#include "core/Log.h"

namespace veltrix {

// A rigid motion p -> R * p + t. R is a 3x3 rotation stored row-major, t a translation in model
// units. Default construction gives the identity.
struct RigidTransform {
    float R[9];
    float t[3];

    RigidTransform();
    static RigidTransform identity() { return RigidTransform(); }

    // out = R * p + t (out may alias p).
    void apply(const float p[3], float out[3]) const;
    // out = R * v (no translation; out may alias v).
    void rotate(const float v[3], float out[3]) const;
    Vec3f apply(const Vec3f& p) const {
        const float in[3] = {p.x, p.y, p.z};
        float out[3];
        apply(in, out);
        return Vec3f(out[0], out[1], out[2]);
    }
    Vec3f rotate(const Vec3f& v) const {
        const float in[3] = {v.x, v.y, v.z};
        float out[3];
        rotate(in, out);
        return Vec3f(out[0], out[1], out[2]);
    }
};

// Exponential coordinates of a rigid motion: (ux, uy, uz, wx, wy, wz). w = angle * unit axis; u =
// angle * v, v being the linear part. With w = 0 the twist is the pure translation t = u.
typedef std::array<float, 6> Twist;

// Logarithm of a rigid motion. Rotations of angle below 2^-23 (and any rotation the axis
// extraction reads as the identity) give the pure translation (t, 0, 0, 0). The twist is not
// finite only when the 3x3 solve fails, which a proper rotation never causes.
Twist transformToTwist(const RigidTransform& T);
// Exponential map; the inverse of transformToTwist for angles in (0, pi].
RigidTransform twistToTransform(const float twist[6]);
inline RigidTransform twistToTransform(const Twist& twist) { return twistToTransform(twist.data()); }
// (R^T, -R^T t).
RigidTransform invertTransform(const RigidTransform& T);
// The composition a(b(p)).
RigidTransform composeTransforms(const RigidTransform& a, const RigidTransform& b);

// Closed-form least-squares rigid alignment (unit-quaternion method) of n source points onto n
// target points. `mup`/`muq` are the centroids and `S` the centred cross-covariance
// S[a][b] = sum_k (p_k - mup)[a] * (q_k - muq)[b], row-major.
RigidTransform registerQuatFromCovariance(const double S[9], const double mup[3], const double muq[3]);

// Least-squares rigid motion carrying P[k] onto Q[k]. Points are anything indexable with [0..2]
// (for instance the point array of a PointSetANN). Empty or unequal lists print an error and give
// the identity.
template <class PointsP, class PointsQ>
RigidTransform registerQuat(const PointsP& P, const PointsQ& Q) {
    const std::size_t n = P.size();
    if (n == 0 || Q.size() != n) {
        logErr() << "Error in registerQuat(): No points, or number of points b/t sets do not match!"
                  << std::endl;
        return RigidTransform();
    }
    double mup[3] = {0, 0, 0}, muq[3] = {0, 0, 0};
    for (std::size_t k = 0; k < n; ++k)
        for (int a = 0; a < 3; ++a) {
            mup[a] += P[k][a];
            muq[a] += Q[k][a];
        }
    for (int a = 0; a < 3; ++a) {
        mup[a] /= double(n);
        muq[a] /= double(n);
    }
    // Centring before summing keeps the covariance accurate far from the origin.
    double S[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t k = 0; k < n; ++k) {
        double p[3], q[3];
        for (int a = 0; a < 3; ++a) {
            p[a] = double(P[k][a]) - mup[a];
            q[a] = double(Q[k][a]) - muq[a];
        }
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) S[3 * a + b] += p[a] * q[b];
    }
    return registerQuatFromCovariance(S, mup, muq);
}

// Small fixed-size helpers (row-major 3x3 matrices).
void matMul3(const float A[9], const float B[9], float C[9]);   // C = A * B
void transpose3(const float A[9], float At[9]);
float det3(const float A[9]);
void matVec3(const float A[9], const float v[3], float out[3]); // out = A * v
// Unit axis and angle in [0, pi] of a rotation matrix. Near-symmetric matrices are read as the
// identity (axis (1,0,0), angle 0) or as a half turn (angle pi).
void axisAngle(const float R[9], float axis[3], float& angle);

// Console formats: a matrix as three rows of tab-terminated values; a 3-vector as "[x,y,z,\b]"; a
// float vector as "[a,b,...]".
void printMatrix3(std::ostream& os, const float M[9]);
void printVector3(std::ostream& os, const float v[3]);
void printVector(std::ostream& os, const float* v, std::size_t n);
void printTransform(std::ostream& os, const RigidTransform& T);

}  // namespace veltrix
