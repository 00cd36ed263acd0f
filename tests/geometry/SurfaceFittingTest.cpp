#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/Log.h"
#include "geometry/SurfaceFitting.h"

using namespace veltrix;

namespace {

// Oriented points sampled on an analytic surface around a centre point.
struct Patch {
    std::vector<Vec3f> points;
    std::vector<Vec3f> normals;
    size_t size() const { return points.size(); }
    const Vec3f& centreNormal() const { return normals[size() / 2]; }
    void add(double x, double y, double z, double nx, double ny, double nz) {
        double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        points.emplace_back(float(x), float(y), float(z));
        normals.emplace_back(float(nx / len), float(ny / len), float(nz / len));
    }
};

// Sphere of radius R about the origin, near the point at polar angle theta0 (outward normals).
Patch spherePatch(double R, double theta0, double phi0, double spread, int steps) {
    Patch p;
    for (int i = -steps; i <= steps; ++i)
        for (int j = -steps; j <= steps; ++j) {
            double th = theta0 + spread * i / steps, ph = phi0 + spread * j / steps;
            double x = std::sin(th) * std::cos(ph), y = std::sin(th) * std::sin(ph), z = std::cos(th);
            p.add(R * x, R * y, R * z, x, y, z);
        }
    return p;
}

// Cylinder of radius 1 about the z axis, near (1, 0, 0).
Patch cylinderPatch(double spread, int steps) {
    Patch p;
    for (int i = -steps; i <= steps; ++i)
        for (int j = -steps; j <= steps; ++j) {
            double a = spread * i / steps, z = spread * j / steps;
            p.add(std::cos(a), std::sin(a), z, std::cos(a), std::sin(a), 0.0);
        }
    return p;
}

// Torus with tube radius r about a circle of radius R, near parameter v (u = 0), outward normals.
Patch torusPatch(double R, double r, double v0, double spread, int steps) {
    Patch p;
    for (int i = -steps; i <= steps; ++i)
        for (int j = -steps; j <= steps; ++j) {
            double u = spread * i / steps / R, v = v0 + spread * j / steps / r;
            double nx = std::cos(v) * std::cos(u), ny = std::cos(v) * std::sin(u), nz = std::sin(v);
            p.add((R + r * std::cos(v)) * std::cos(u), (R + r * std::cos(v)) * std::sin(u), r * std::sin(v),
                  nx, ny, nz);
        }
    return p;
}

// The graph z = k1 x^2 / 2 + k2 y^2 / 2 with upward normals.
Patch graphPatch(double k1, double k2, double spread, int steps) {
    Patch p;
    for (int i = -steps; i <= steps; ++i)
        for (int j = -steps; j <= steps; ++j) {
            double x = spread * i / steps, y = spread * j / steps;
            p.add(x, y, 0.5 * (k1 * x * x + k2 * y * y), -k1 * x, -k2 * y, 1.0);
        }
    return p;
}

PrincipalFrame fitAtCentre(const Patch& p, const Vec3f& n) {
    Vec3f u, v;
    tangentBasis(n, u, v);
    PrincipalFrame f;
    EXPECT_TRUE(FitCurvatureTensorLS(p.points, p.normals, u, v, f));
    return f;
}

}  // namespace

TEST(TangentBasis, AxisChoiceAndOrthonormality) {
    Vec3f u, v;
    tangentBasis(Vec3f(0, 0, 1), u, v);
    EXPECT_EQ(u, Vec3f(1, 0, 0));
    EXPECT_EQ(v, Vec3f(0, 1, 0));

    std::mt19937 rng(7);
    std::normal_distribution<float> g;
    for (int t = 0; t < 200; ++t) {
        Vec3f n(g(rng), g(rng), g(rng));
        n = n / n.length();
        tangentBasis(n, u, v);
        EXPECT_NEAR(dot(u, u), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(v, v), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(u, v), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(u, n), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(v, n), 0.0f, 1e-5f);
    }
}

TEST(CurvatureTensor, SphereIsUmbilicInAnyBasis) {
    Patch p = spherePatch(2.0, 0.7, 0.3, 0.1, 3);
    const Vec3f n = p.centreNormal();
    PrincipalFrame f = fitAtCentre(p, n);
    EXPECT_NEAR(f.minCurvature, 0.5f, 1e-4f);
    EXPECT_NEAR(f.maxCurvature, 0.5f, 1e-4f);
    EXPECT_LE(f.minCurvature, f.maxCurvature);

    // A rotated basis in the same tangent plane gives the same curvatures.
    Vec3f u, v;
    tangentBasis(n, u, v);
    const float c = std::cos(0.4f), s = std::sin(0.4f);
    PrincipalFrame g;
    ASSERT_TRUE(FitCurvatureTensorLS(p.points, p.normals, u * c + v * s, v * c - u * s, g));
    EXPECT_NEAR(g.minCurvature, 0.5f, 1e-4f);
    EXPECT_NEAR(g.maxCurvature, 0.5f, 1e-4f);
}

TEST(CurvatureTensor, CylinderCurvaturesAndDirections) {
    Patch p = cylinderPatch(0.2, 4);
    PrincipalFrame f = fitAtCentre(p, Vec3f(1, 0, 0));
    EXPECT_NEAR(f.maxCurvature, 1.0f, 1e-4f);
    EXPECT_NEAR(f.minCurvature, 0.0f, 1e-4f);
    // Maximum bending across the axis (y), none along it (z).
    EXPECT_NEAR(std::fabs(f.maxDirection[1]), 1.0f, 1e-4f);
    EXPECT_NEAR(std::fabs(f.minDirection[2]), 1.0f, 1e-4f);
    EXPECT_NEAR(f.minDirection.dot(f.maxDirection), 0.0f, 1e-5f);

    // The same in a basis turned against the axis.
    Vec3f u, v;
    tangentBasis(Vec3f(1, 0, 0), u, v);
    const float c = std::cos(0.3f), s = std::sin(0.3f);
    PrincipalFrame g;
    ASSERT_TRUE(FitCurvatureTensorLS(p.points, p.normals, u * c + v * s, v * c - u * s, g));
    EXPECT_NEAR(g.maxCurvature, 1.0f, 1e-4f);
    EXPECT_NEAR(g.minCurvature, 0.0f, 1e-4f);
    EXPECT_NEAR(std::fabs(g.maxDirection.y), 1.0f, 1e-4f);
    EXPECT_NEAR(std::fabs(g.minDirection.z), 1.0f, 1e-4f);
}

TEST(CurvatureTensor, SaddleAndTorus) {
    // Saddle z = -0.75 x^2 + 0.25 y^2 with upward normals: it bends away from the normal along x
    // (curvature +1.5) and toward it along y (curvature -0.5).
    Patch s = graphPatch(-1.5, 0.5, 0.05, 3);
    const Vec3f up(0, 0, 1);
    PrincipalFrame f = fitAtCentre(s, up);
    EXPECT_NEAR(f.maxCurvature, 1.5f, 1e-2f);
    EXPECT_NEAR(f.minCurvature, -0.5f, 1e-2f);
    EXPECT_NEAR(std::fabs(f.maxDirection[0]), 1.0f, 1e-3f);
    EXPECT_NEAR(std::fabs(f.minDirection[1]), 1.0f, 1e-3f);

    // Torus R = 3, r = 1: curvature 1/r around the tube, cos v / (R + r cos v) around the axis.
    // A neighbourhood of 0.05 keeps the estimate within 1e-3 of both.
    for (double v : {0.0, 1.0, 2.0, 3.14159265}) {
        Patch t = torusPatch(3.0, 1.0, v, 0.05, 3);
        PrincipalFrame g = fitAtCentre(t, t.centreNormal());
        const double k1 = 1.0, k2 = std::cos(v) / (3.0 + std::cos(v));
        EXPECT_NEAR(g.maxCurvature, std::max(k1, k2), 1e-3) << "v = " << v;
        EXPECT_NEAR(g.minCurvature, std::min(k1, k2), 1e-3) << "v = " << v;
    }
}

TEST(CurvatureTensor, PlaneAndDegenerateInput) {
    Patch plane = graphPatch(0, 0, 0.1, 2);
    const Vec3f up(0, 0, 1);
    PrincipalFrame f = fitAtCentre(plane, up);
    EXPECT_FLOAT_EQ(f.minCurvature, 0.0f);
    EXPECT_FLOAT_EQ(f.maxCurvature, 0.0f);
    EXPECT_FALSE(f.minDirection.isFinite() && f.maxDirection.isFinite());

    // Two points: error line, false, frame untouched.
    Patch two;
    two.add(0, 0, 0, 0, 0, 1);
    two.add(1, 0, 0, 0, 0, 1);
    PrincipalFrame g;
    g.minCurvature = 42.0f;
    Vec3f u, v;
    tangentBasis(up, u, v);
    LogCapture log;
    EXPECT_FALSE(FitCurvatureTensorLS(two.points, two.normals, u, v, g));
    EXPECT_EQ(log.out(),
              "Error in FitCurvatureTensorLS(): Not enough constraints for curvature tensor!\n");
    EXPECT_EQ(g.minCurvature, 42.0f);

    // Three points span the plane and give a result.
    two.add(0, 1, 0, 0, 0, 1);
    EXPECT_TRUE(FitCurvatureTensorLS(two.points, two.normals, u, v, g));

    // Coincident points leave the normal equations singular.
    Patch same;
    for (int i = 0; i < 5; ++i) same.add(1, 2, 3, 0, 0, 1);
    g.minCurvature = 42.0f;
    EXPECT_FALSE(FitCurvatureTensorLS(same.points, same.normals, u, v, g));
    EXPECT_EQ(g.minCurvature, 42.0f);
}

TEST(CurvatureTensor, LinearFormMatchesPairLoop) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (int trial = 0; trial < 50; ++trial) {
        Patch p;
        const int m = 3 + trial;
        const double ox = 100.0 * d(rng), oy = 100.0 * d(rng);  // far from the origin
        for (int i = 0; i < m; ++i)
            p.add(ox + 0.1 * d(rng), oy + 0.1 * d(rng), 0.02 * d(rng), 0.3 * d(rng), 0.3 * d(rng), 1.0);
        Vec3f u, v;
        tangentBasis(Vec3f(0, 0, 1), u, v);
        PrincipalFrame a, b;
        bool okA = fitCurvatureTensorPairwise(p.points, p.normals, u, v, a);
        bool okB = fitCurvatureTensorLinear(p.points, p.normals, u, v, b);
        ASSERT_EQ(okA, okB);
        if (!okA) continue;
        const float scale = 1.0f + std::fabs(a.maxCurvature) + std::fabs(a.minCurvature);
        EXPECT_NEAR(a.minCurvature, b.minCurvature, 1e-3f * scale);
        EXPECT_NEAR(a.maxCurvature, b.maxCurvature, 1e-3f * scale);
    }
}

TEST(SphereFit, RecoversSphereAndWeights) {
    const Vec3f c0(0, 0, 0);
    EXPECT_FLOAT_EQ(sphereWeight(c0, c0, 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(sphereWeight(Vec3f(0.5f, 0, 0), c0, 1.0f), 0.75f * 0.75f * 0.75f * 0.75f);
    EXPECT_FLOAT_EQ(sphereWeight(Vec3f(1.0f, 0, 0), c0, 1.0f), 0.0f);
    EXPECT_FLOAT_EQ(sphereWeight(Vec3f(0, 2.0f, 0), c0, 1.0f), 0.0f);

    Patch p = spherePatch(2.0, 0.2, 0.0, 0.15, 4);
    Vec3f centre = p.points[p.size() / 2];
    float r2 = 0.3f * 0.3f * 4.0f;
    ASSERT_TRUE(FitSphere(p.points, p.normals, centre, r2));
    EXPECT_NEAR(std::sqrt(r2), 2.0f, 2e-3f);
    EXPECT_NEAR(centre.length(), 0.0f, 2e-3f);
}

TEST(SphereFit, PlaneAndEmptySupport) {
    Patch plane = graphPatch(0, 0, 0.1, 3);
    Vec3f centre(0, 0, 0);
    float r2 = 0.04f;
    EXPECT_FALSE(FitSphere(plane.points, plane.normals, centre, r2));
    // The algebraic plane 0 + (0, 0, 1).p = 0.
    EXPECT_NEAR((centre - Vec3f(0, 0, 1)).length(), 0.0f, 1e-4f);
    EXPECT_NEAR(r2, 0.0f, 1e-4f);

    // Every point beyond the support radius: warning with sum 0, no solution.
    Vec3f far(10, 10, 10);
    float r2far = 0.01f;
    LogCapture log;
    EXPECT_FALSE(FitSphere(plane.points, plane.normals, far, r2far));
    EXPECT_EQ(log.err(),
              "Warning in FitSphere(): Sum of weights 0 is very close to zero!\n");
    EXPECT_EQ(far, Vec3f(10, 10, 10));
    EXPECT_EQ(r2far, 0.01f);
}

TEST(SmallSolvers, SolutionsAndSingularSystems) {
    // Only the upper triangle is read: the lower one holds garbage.
    const float spd[9] = {4, 1, 0, 99, 3, 1, 99, 99, 2};
    float x[3] = {5, 5, 3};  // solution (1, 1, 1)
    ASSERT_TRUE(solveSPD3(spd, x));
    for (float c : x) EXPECT_NEAR(c, 1.0f, 1e-5f);

    const float indefinite[9] = {1, 2, 0, 2, 1, 0, 0, 0, 1};
    float y[3] = {1, 2, 3};
    EXPECT_FALSE(solveSPD3(indefinite, y));
    EXPECT_EQ(y[1], 2.0f);

    float zero5[25] = {0};
    float z[5] = {1, 1, 1, 1, 1};
    EXPECT_FALSE(solveSPD5(zero5, z));

    const float general[9] = {0, 2, 1, 1, 0, 0, 3, 1, 1};  // needs pivoting
    float w[3] = {3, 1, 5};                                // solution (1, 1, 1)
    ASSERT_TRUE(solveGeneral3(general, w));
    for (float c : w) EXPECT_NEAR(c, 1.0f, 1e-5f);

    const float singular[9] = {1, 2, 3, 2, 4, 6, 1, 0, 1};
    float s[3] = {1, 2, 3};
    EXPECT_FALSE(solveGeneral3(singular, s));
    EXPECT_EQ(s[0], 1.0f);
}
