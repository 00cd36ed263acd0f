#include "geometry/SurfaceFitting.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>

// LAPACK through its Fortran interface: every argument by pointer, matrices column-major. The
// trailing lengths are the hidden lengths of the character arguments.
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, size_t uploLen);
void dpotrs_(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda,
             double* b, const int* ldb, int* info, size_t uploLen);
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
}

namespace veltrix {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;

// Division by the length, unguarded: a zero vector becomes non-finite on purpose.
inline Vec3f normalized(const Vec3f& a) { return a / a.length(); }

// Cholesky solve of an n x n symmetric system given row-major; only the upper triangle is read.
bool solveSPD(int n, const float* matrix, float* rhs) {
    double a[25];
    double b[5];
    for (int r = 0; r < n; ++r) {
        b[r] = rhs[r];
        for (int c = 0; c < n; ++c) a[c * n + r] = (r <= c) ? matrix[r * n + c] : 0.0;
    }
    const char uplo = 'U';
    const int nrhs = 1;
    int info = 0;
    dpotrf_(&uplo, &n, a, &n, &info, 1);
    if (info != 0) return false;  // not positive definite (singular or indefinite)
    dpotrs_(&uplo, &n, &nrhs, a, &n, b, &n, &info, 1);
    if (info != 0) return false;
    float x[5];
    for (int r = 0; r < n; ++r) {
        x[r] = static_cast<float>(b[r]);
        if (!std::isfinite(x[r])) return false;
    }
    for (int r = 0; r < n; ++r) rhs[r] = x[r];
    return true;
}

// Makes (a, b) unit length. It is scaled by its largest component first, so that tiny components
// (a nearly diagonal tensor) do not underflow when squared; (0, 0) becomes non-finite.
void unitPair(float& a, float& b) {
    const float m = std::max(std::fabs(a), std::fabs(b));
    if (m > 0.0f) {
        a /= m;
        b /= m;
    }
    const float len = std::sqrt(a * a + b * b);
    a /= len;
    b /= len;
}

}  // namespace

void tangentBasis(const Vec3f& n, Vec3f& u, Vec3f& v) {
    int k = (std::fabs(n.x) > std::fabs(n.y)) ? 1 : 0;
    if (std::fabs(n.z) < std::fabs(n[k])) k = 2;
    Vec3f axis;
    axis[k] = 1.0f;
    v = normalized(n.cross(axis));
    u = normalized(v.cross(n));
}

bool solveSPD3(const float* matrix, float* rhs) { return solveSPD(3, matrix, rhs); }

bool solveSPD5(const float* matrix, float* rhs) { return solveSPD(5, matrix, rhs); }

bool solveGeneral3(const float* matrix, float* rhs) {
    double a[9];
    double b[3];
    for (int r = 0; r < 3; ++r) {
        b[r] = rhs[r];
        for (int c = 0; c < 3; ++c) a[c * 3 + r] = matrix[r * 3 + c];
    }
    const int n = 3;
    const int nrhs = 1;
    int ipiv[3];
    int info = 0;
    dgesv_(&n, &nrhs, a, &n, ipiv, b, &n, &info);
    if (info != 0) return false;  // exactly singular
    float x[3];
    for (int r = 0; r < 3; ++r) {
        x[r] = static_cast<float>(b[r]);
        if (!std::isfinite(x[r])) return false;
    }
    for (int r = 0; r < 3; ++r) rhs[r] = x[r];
    return true;
}

float sphereWeight(const Vec3f& p, const Vec3f& c, float h2) {
    float d2 = (p - c).squaredLength();
    if (!(d2 < h2)) return 0.0f;
    float t = 1.0f - d2 / h2;
    t *= t;
    return t * t;
}

bool fitCurvatureTensorPairwise(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals,
                                Vec3f u, Vec3f v, PrincipalFrame& out) {
    const size_t count = std::min(points.size(), normals.size());
    if (count < 3) {
        logOut() << "Error in FitCurvatureTensorLS(): Not enough constraints for curvature tensor!"
                  << std::endl;
        return false;
    }
    float suu = 0, suv = 0, svv = 0, r1 = 0, r2 = 0, r3 = 0;
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = i + 1; j < count; ++j) {
            const Vec3f e = points[j] - points[i];
            const Vec3f d = normals[j] - normals[i];
            const float eu = e.dot(u), ev = e.dot(v), nu = d.dot(u), nv = d.dot(v);
            suu += eu * eu;
            suv += eu * ev;
            svv += ev * ev;
            r1 += eu * nu;
            r2 += ev * nu + eu * nv;
            r3 += ev * nv;
        }
    }
    return curvatureFromSums(suu, suv, svv, r1, r2, r3, u, v, out);
}

bool fitCurvatureTensorLinear(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals,
                              Vec3f u, Vec3f v, PrincipalFrame& out) {
    const size_t count = std::min(points.size(), normals.size());
    if (count < 3) {
        logOut() << "Error in FitCurvatureTensorLS(): Not enough constraints for curvature tensor!"
                  << std::endl;
        return false;
    }
    // Over all pairs i < j, sum (a_j - a_i)(b_j - b_i) = m * sum(ab) - sum(a) * sum(b). The
    // projections are taken relative to the first point (the centre vertex in practice) and summed
    // in double precision, so the difference of the two large terms keeps its accuracy.
    const Vec3f p0 = points[0];
    const Vec3f n0 = normals[0];
    const double ux = u.x, uy = u.y, uz = u.z, vx = v.x, vy = v.y, vz = v.z;
    double sa = 0, sb = 0, sc = 0, sd = 0;  // sums of eu, ev, nu, nv
    double saa = 0, sab = 0, sbb = 0, sac = 0, sbc = 0, sad = 0, sbd = 0;
    for (size_t i = 0; i < count; ++i) {
        const double ex = double(points[i].x) - p0.x, ey = double(points[i].y) - p0.y,
                     ez = double(points[i].z) - p0.z;
        const double dx = double(normals[i].x) - n0.x, dy = double(normals[i].y) - n0.y,
                     dz = double(normals[i].z) - n0.z;
        const double a = ex * ux + ey * uy + ez * uz;
        const double b = ex * vx + ey * vy + ez * vz;
        const double c = dx * ux + dy * uy + dz * uz;
        const double d = dx * vx + dy * vy + dz * vz;
        sa += a;
        sb += b;
        sc += c;
        sd += d;
        saa += a * a;
        sab += a * b;
        sbb += b * b;
        sac += a * c;
        sbc += b * c;
        sad += a * d;
        sbd += b * d;
    }
    const double m = static_cast<double>(count);
    const float suu = static_cast<float>(m * saa - sa * sa);
    const float suv = static_cast<float>(m * sab - sa * sb);
    const float svv = static_cast<float>(m * sbb - sb * sb);
    const float r1 = static_cast<float>(m * sac - sa * sc);
    const float r2 = static_cast<float>((m * sbc - sb * sc) + (m * sad - sa * sd));
    const float r3 = static_cast<float>(m * sbd - sb * sd);
    return curvatureFromSums(suu, suv, svv, r1, r2, r3, u, v, out);
}

bool curvatureFromSums(float suu, float suv, float svv, float r1, float r2, float r3, Vec3f u, Vec3f v,
                       PrincipalFrame& out) {
    const float a[9] = {suu, suv, 0.0f, suv, suu + svv, suv, 0.0f, suv, svv};
    float x[3] = {r1, r2, r3};
    if (!solveSPD3(a, x)) return false;
    const float L = x[0], M = x[1], N = x[2];
    const float s = std::sqrt(4.0f * M * M + (L - N) * (L - N));

    // Eigenvectors of [[L, M], [M, N]] in the (u, v) plane, lifted to 3-D. With M = 0 one of the
    // two forms of each eigenvector vanishes although the eigenvalues differ (a cylinder aligned
    // with the basis); the other form then gives it. At umbilic points and on planes both vanish
    // and the direction becomes non-finite; callers treat such frames as unusable.
    float maxA = -2.0f * M, maxB = (L - N) - s;
    float minA = -2.0f * M, minB = (L - N) + s;
    if (maxA == 0.0f && maxB == 0.0f) {
        maxA = (L - N) + s;
        maxB = 2.0f * M;
    }
    if (minA == 0.0f && minB == 0.0f) {
        minA = (L - N) - s;
        minB = 2.0f * M;
    }
    unitPair(maxA, maxB);
    unitPair(minA, minB);
    out.minDirection = normalized(u * minA + v * minB);
    out.maxDirection = normalized(u * maxA + v * maxB);
    out.minCurvature = (L + N - s) / 2.0f;
    out.maxCurvature = (L + N + s) / 2.0f;
    return true;
}

bool FitCurvatureTensorLS(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals, Vec3f u,
                          Vec3f v, PrincipalFrame& out) {
    return fitCurvatureTensorLinear(points, normals, u, v, out);
}

bool FitSphere(const std::vector<Vec3f>& points, const std::vector<Vec3f>& normals, Vec3f& centre,
               float& radiusSquared) {
    const float beta = 1000000.0f;
    const float h2 = radiusSquared;
    const size_t count = std::min(points.size(), normals.size());
    float A[25] = {0};
    float b[5] = {0};
    float weightSum = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        const Vec3f& p = points[i];
        const Vec3f& n = normals[i];
        const float w = sphereWeight(p, centre, h2);
        weightSum += w;
        if (w == 0.0f) continue;  // contributes nothing
        const float r[5] = {1.0f, p.x, p.y, p.z, p.squaredLength()};
        for (int row = 0; row < 5; ++row)
            for (int col = row; col < 5; ++col) A[row * 5 + col] += w * r[row] * r[col];
        // Gradient rows (0, e_a, 2 p_a) per axis a: only entries a + 1 and 4 are non-zero.
        const float bw = beta * w;
        for (int ax = 0; ax < 3; ++ax) {
            const int k = ax + 1;
            const float g4 = 2.0f * p[ax];
            A[k * 5 + k] += bw;
            A[k * 5 + 4] += bw * g4;
            A[4 * 5 + 4] += bw * g4 * g4;
            b[k] += bw * n[ax];
            b[4] += bw * n[ax] * g4;
        }
    }
    if (weightSum < kFloatEpsilon) {
        logErr() << "Warning in FitSphere(): Sum of weights " << weightSum << " is very close to zero!"
                  << std::endl;
    }
    // A singular system (no point with positive weight, or too few distinct points) defines no
    // sphere.
    if (!solveSPD5(A, b)) return false;
    if (std::fabs(b[4]) < kFloatEpsilon) {
        centre = Vec3f(b[1], b[2], b[3]);
        radiusSquared = b[0];
        return false;
    }
    centre = Vec3f(-b[1], -b[2], -b[3]) / (2.0f * b[4]);
    radiusSquared = centre.squaredLength() - b[0] / b[4];
    return true;
}

}  // namespace veltrix
