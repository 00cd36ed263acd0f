#include "matching/RigidTransform.h"

#include <cmath>
#include <limits>

extern "C" {
void dgesv_(int* n, int* nrhs, double* a, int* lda, int* ipiv, double* b, int* ldb, int* info);
void dsyev_(char* jobz, char* uplo, int* n, double* a, int* lda, double* w, double* work, int* lwork,
            int* info);
}

namespace veltrix {

namespace {

const float kAngleEpsilon = 1.1920929e-7f;  // 2^-23
const float kPi = 3.1415927f;

// [w]x, the cross-product matrix of w.
void crossMatrix(const float w[3], float M[9]) {
    M[0] = 0;     M[1] = -w[2]; M[2] = w[1];
    M[3] = w[2];  M[4] = 0;     M[5] = -w[0];
    M[6] = -w[1]; M[7] = w[0];  M[8] = 0;
}

}  // namespace

RigidTransform::RigidTransform() {
    for (int i = 0; i < 9; ++i) R[i] = (i % 4 == 0) ? 1.0f : 0.0f;
    t[0] = t[1] = t[2] = 0.0f;
}

void RigidTransform::apply(const float p[3], float out[3]) const {
    float r[3];
    matVec3(R, p, r);
    for (int a = 0; a < 3; ++a) out[a] = r[a] + t[a];
}

void RigidTransform::rotate(const float v[3], float out[3]) const {
    float r[3];
    matVec3(R, v, r);
    for (int a = 0; a < 3; ++a) out[a] = r[a];
}

void matMul3(const float A[9], const float B[9], float C[9]) {
    float c[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            c[3 * i + j] = A[3 * i] * B[j] + A[3 * i + 1] * B[3 + j] + A[3 * i + 2] * B[6 + j];
    for (int i = 0; i < 9; ++i) C[i] = c[i];
}

void transpose3(const float A[9], float At[9]) {
    float a[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) a[3 * j + i] = A[3 * i + j];
    for (int i = 0; i < 9; ++i) At[i] = a[i];
}

float det3(const float A[9]) {
    return A[0] * (A[4] * A[8] - A[5] * A[7]) - A[1] * (A[3] * A[8] - A[5] * A[6]) +
           A[2] * (A[3] * A[7] - A[4] * A[6]);
}

void matVec3(const float A[9], const float v[3], float out[3]) {
    float r[3];
    for (int i = 0; i < 3; ++i) r[i] = A[3 * i] * v[0] + A[3 * i + 1] * v[1] + A[3 * i + 2] * v[2];
    for (int i = 0; i < 3; ++i) out[i] = r[i];
}

void axisAngle(const float R[9], float axis[3], float& angle) {
    const float d01 = R[1] - R[3], d02 = R[2] - R[6], d12 = R[5] - R[7];
    if (std::fabs(d12) < 0.01f && std::fabs(d02) < 0.01f && std::fabs(d01) < 0.01f) {
        const float s01 = R[1] + R[3], s02 = R[2] + R[6], s12 = R[5] + R[7];
        const float trace = R[0] + R[4] + R[8];
        if (std::fabs(s12) < 0.1f && std::fabs(s02) < 0.1f && std::fabs(s01) < 0.1f &&
            std::fabs(trace - 3.0f) < 0.1f) {
            axis[0] = 1;
            axis[1] = axis[2] = 0;
            angle = 0;
            return;
        }
        // Half turn: R = 2 w w^T - I. The largest component comes from the diagonal and is
        // taken positive (both signs give the same R); the others follow from the off-diagonal
        // sums 2 w_k w_j, which also fixes their signs. This stays accurate where a diagonal entry
        // is close to -1 and its square root would only amplify rounding.
        int big = 0;
        if (R[4] > R[4 * big]) big = 1;
        if (R[8] > R[4 * big]) big = 2;
        const float arg = (R[4 * big] + 1.0f) / 2.0f;
        const float wBig = arg > 0 ? std::sqrt(arg) : 0.0f;
        const float sums[3][3] = {{0, s01, s02}, {s01, 0, s12}, {s02, s12, 0}};
        for (int k = 0; k < 3; ++k) axis[k] = (k == big) ? wBig : (wBig > 0 ? sums[big][k] / (4.0f * wBig) : 0.0f);
        const float len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
        if (len > 0)
            for (int k = 0; k < 3; ++k) axis[k] /= len;
        else {
            axis[0] = 1;
            axis[1] = axis[2] = 0;
        }
        angle = kPi;
        return;
    }
    float c = (R[0] + R[4] + R[8] - 1.0f) / 2.0f;
    // Rounding can push the cosine just outside [-1, 1].
    if (c > 1.0f) c = 1.0f;
    if (c < -1.0f) c = -1.0f;
    angle = std::acos(c);
    axis[0] = R[7] - R[5];
    axis[1] = R[2] - R[6];
    axis[2] = R[3] - R[1];
    const float len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    for (int k = 0; k < 3; ++k) axis[k] /= len;
}

Twist transformToTwist(const RigidTransform& T) {
    float w[3], theta;
    axisAngle(T.R, w, theta);
    if (std::fabs(theta) < kAngleEpsilon) return Twist{T.t[0], T.t[1], T.t[2], 0, 0, 0};

    // A = (I - R) [w]x + theta w w^T, solved for A v = t.
    float W[9], IR[9], A[9];
    crossMatrix(w, W);
    for (int i = 0; i < 9; ++i) IR[i] = ((i % 4 == 0) ? 1.0f : 0.0f) - T.R[i];
    matMul3(IR, W, A);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) A[3 * i + j] += theta * w[i] * w[j];

    double a[9], b[3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) a[3 * j + i] = A[3 * i + j];  // column-major for LAPACK
        b[i] = T.t[i];
    }
    int n = 3, nrhs = 1, lda = 3, ldb = 3, info = 0, ipiv[3];
    dgesv_(&n, &nrhs, a, &lda, ipiv, b, &ldb, &info);
    if (info != 0) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        return Twist{nan, nan, nan, theta * w[0], theta * w[1], theta * w[2]};
    }
    return Twist{float(theta * b[0]), float(theta * b[1]), float(theta * b[2]),
                 theta * w[0],        theta * w[1],        theta * w[2]};
}

RigidTransform twistToTransform(const float twist[6]) {
    RigidTransform T;
    const float* u = twist;
    const float* w = twist + 3;
    const float theta = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    if (!(theta >= kAngleEpsilon)) {
        for (int a = 0; a < 3; ++a) T.t[a] = u[a];
        return T;
    }
    const float om[3] = {w[0] / theta, w[1] / theta, w[2] / theta};
    const float v[3] = {u[0] / theta, u[1] / theta, u[2] / theta};
    float W[9], W2[9];
    crossMatrix(om, W);
    matMul3(W, W, W2);
    const float s = std::sin(theta), c = 1.0f - std::cos(theta);
    for (int i = 0; i < 9; ++i) T.R[i] = ((i % 4 == 0) ? 1.0f : 0.0f) + s * W[i] + c * W2[i];

    // t = (I - R)(w x v) + w w^T v theta
    const float wxv[3] = {om[1] * v[2] - om[2] * v[1], om[2] * v[0] - om[0] * v[2],
                          om[0] * v[1] - om[1] * v[0]};
    float Rwxv[3];
    matVec3(T.R, wxv, Rwxv);
    const float wv = om[0] * v[0] + om[1] * v[1] + om[2] * v[2];
    for (int a = 0; a < 3; ++a) T.t[a] = wxv[a] - Rwxv[a] + om[a] * wv * theta;
    return T;
}

RigidTransform invertTransform(const RigidTransform& T) {
    RigidTransform inv;
    transpose3(T.R, inv.R);
    matVec3(inv.R, T.t, inv.t);
    for (int a = 0; a < 3; ++a) inv.t[a] = -inv.t[a];
    return inv;
}

RigidTransform composeTransforms(const RigidTransform& a, const RigidTransform& b) {
    RigidTransform c;
    matMul3(a.R, b.R, c.R);
    a.apply(b.t, c.t);
    return c;
}

RigidTransform registerQuatFromCovariance(const double S[9], const double mup[3], const double muq[3]) {
    const double Sxx = S[0], Sxy = S[1], Sxz = S[2];
    const double Syx = S[3], Syy = S[4], Syz = S[5];
    const double Szx = S[6], Szy = S[7], Szz = S[8];
    double N[16];
    N[0] = Sxx + Syy + Szz;
    N[5] = Sxx - Syy - Szz;
    N[10] = -Sxx + Syy - Szz;
    N[15] = -Sxx - Syy + Szz;
    N[1] = N[4] = Syz - Szy;
    N[2] = N[8] = Szx - Sxz;
    N[3] = N[12] = Sxy - Syx;
    N[6] = N[9] = Sxy + Syx;
    N[7] = N[13] = Szx + Sxz;
    N[11] = N[14] = Syz + Szy;

    char jobz = 'V', uplo = 'U';
    int n = 4, lda = 4, lwork = 64, info = 0;
    double eig[4], work[64];
    dsyev_(&jobz, &uplo, &n, N, &lda, eig, work, &lwork, &info);
    if (info != 0) return RigidTransform();

    int best = 0;
    double bestValue = -1.7976931348623157e308;
    for (int k = 0; k < 4; ++k)
        if (eig[k] > bestValue) {
            bestValue = eig[k];
            best = k;
        }
    double q[4];
    for (int k = 0; k < 4; ++k) q[k] = N[4 * best + k];  // column `best` of the eigenvectors
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int k = 0; k < 4; ++k) q[k] /= len;

    RigidTransform T;
    const double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
    T.R[0] = float(q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3);
    T.R[4] = float(q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3);
    T.R[8] = float(q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3);
    T.R[1] = float(2 * (q1 * q2 - q0 * q3));
    T.R[3] = float(2 * (q1 * q2 + q0 * q3));
    T.R[2] = float(2 * (q1 * q3 + q0 * q2));
    T.R[6] = float(2 * (q1 * q3 - q0 * q2));
    T.R[5] = float(2 * (q2 * q3 - q0 * q1));
    T.R[7] = float(2 * (q2 * q3 + q0 * q1));
    for (int a = 0; a < 3; ++a) {
        double rm = 0;
        for (int b = 0; b < 3; ++b) rm += double(T.R[3 * a + b]) * mup[b];
        T.t[a] = float(muq[a] - rm);
    }
    return T;
}

void printMatrix3(std::ostream& os, const float M[9]) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) os << M[3 * i + j] << "\t";
        os << "\n";
    }
}

void printVector3(std::ostream& os, const float v[3]) {
    os << "[" << v[0] << "," << v[1] << "," << v[2] << "," << "\b]";
}

void printVector(std::ostream& os, const float* v, std::size_t n) {
    os << "[";
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) os << ",";
        os << v[i];
    }
    os << "]";
}

void printTransform(std::ostream& os, const RigidTransform& T) {
    printMatrix3(os, T.R);
    printVector3(os, T.t);
}

}  // namespace veltrix
