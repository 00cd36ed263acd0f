#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/Log.h"
#include "matching/RigidTransform.h"

using namespace veltrix;

namespace {

RigidTransform axisAngleTransform(Vec3f axis, float angle, Vec3f t) {
    axis = axis / axis.length();
    const float w[6] = {0, 0, 0, axis.x * angle, axis.y * angle, axis.z * angle};
    RigidTransform T = twistToTransform(w);
    T.t[0] = t.x;
    T.t[1] = t.y;
    T.t[2] = t.z;
    return T;
}

void expectSameTransform(const RigidTransform& a, const RigidTransform& b, float tol) {
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(a.R[i], b.R[i], tol) << "R[" << i << "]";
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a.t[i], b.t[i], tol) << "t[" << i << "]";
}

void expectProperRotation(const RigidTransform& T, float tol) {
    float Rt[9], RRt[9];
    transpose3(T.R, Rt);
    matMul3(T.R, Rt, RRt);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(RRt[i], (i % 4 == 0) ? 1.0f : 0.0f, tol);
    EXPECT_NEAR(det3(T.R), 1.0f, tol);
}

}  // namespace

TEST(RigidTransform, TwistRoundTripOnRandomMotions) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_real_distribution<float> angle(0.05f, 3.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const RigidTransform T =
            axisAngleTransform(Vec3f(u(rng), u(rng), u(rng)), angle(rng), Vec3f(u(rng), u(rng), u(rng)) * 3.0f);
        expectProperRotation(T, 1e-5f);
        const Twist tw = transformToTwist(T);
        for (float c : tw) ASSERT_TRUE(std::isfinite(c));
        expectSameTransform(twistToTransform(tw), T, 2e-4f);
    }
}

TEST(RigidTransform, HalfTurnsRoundTrip) {
    // Axes along the coordinate axes and oblique ones, with mixed signs: the axis sign is free,
    // but the rotation and translation must come back.
    const Vec3f axes[] = {Vec3f(1, 0, 0),  Vec3f(0, 1, 0),   Vec3f(0, 0, 1),   Vec3f(1, 1, 0),
                          Vec3f(1, -1, 0), Vec3f(0, 1, -1),  Vec3f(-1, 2, 3),  Vec3f(1, -2, 0.5f),
                          Vec3f(-3, -1, 2), Vec3f(0.2f, 0.3f, -0.9f)};
    for (const Vec3f& axis : axes) {
        const RigidTransform T = axisAngleTransform(axis, 3.1415927f, Vec3f(0.5f, -1.0f, 2.0f));
        float a[3], theta;
        axisAngle(T.R, a, theta);
        EXPECT_FLOAT_EQ(theta, 3.1415927f);
        expectSameTransform(twistToTransform(transformToTwist(T)), T, 1e-4f);
    }
}

TEST(RigidTransform, PureTranslationsAndTinyRotations) {
    RigidTransform T;
    T.t[0] = 1.5f;
    T.t[1] = -2.0f;
    T.t[2] = 0.25f;
    const Twist tw = transformToTwist(T);
    const Twist expected = {1.5f, -2.0f, 0.25f, 0, 0, 0};
    EXPECT_EQ(tw, expected);

    // A rotation part below 2^-23 is read as none: the twist is the translation itself.
    const float tiny[6] = {0.3f, 0.4f, -0.5f, 1e-8f, 0, 0};
    const RigidTransform back = twistToTransform(tiny);
    RigidTransform expectedT;
    expectedT.t[0] = 0.3f;
    expectedT.t[1] = 0.4f;
    expectedT.t[2] = -0.5f;
    expectSameTransform(back, expectedT, 0.0f);
}

TEST(RigidTransform, InverseAndComposition) {
    const RigidTransform T = axisAngleTransform(Vec3f(0.3f, -0.2f, 0.9f), 1.1f, Vec3f(1, 2, 3));
    const RigidTransform I = composeTransforms(invertTransform(T), T);
    expectSameTransform(I, RigidTransform(), 1e-5f);
    const Vec3f p(0.7f, -0.4f, 2.0f);
    const Vec3f q = invertTransform(T).apply(T.apply(p));
    EXPECT_NEAR(q.x, p.x, 1e-5f);
    EXPECT_NEAR(q.y, p.y, 1e-5f);
    EXPECT_NEAR(q.z, p.z, 1e-5f);
}

TEST(RegisterQuat, RecoversKnownRigidMotion) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int trial = 0; trial < 20; ++trial) {
        const RigidTransform T = axisAngleTransform(Vec3f(u(rng), u(rng), u(rng)), 3.0f * std::fabs(u(rng)) + 0.01f,
                                                    Vec3f(u(rng), u(rng), u(rng)) * 10.0f);
        std::vector<Vec3f> P, Q;
        for (int k = 0; k < 50; ++k) {
            // Points far from the origin test the accuracy of the covariance.
            const Vec3f p = Vec3f(u(rng), u(rng), u(rng)) + Vec3f(100.0f, -50.0f, 20.0f);
            P.push_back(p);
            Q.push_back(T.apply(p));
        }
        const RigidTransform found = registerQuat(P, Q);
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(found.R[i], T.R[i], 1e-4f);
        for (int k = 0; k < 50; ++k) {
            const Vec3f d = found.apply(P[k]) - Q[k];
            EXPECT_LT(d.length(), 1e-3f);
        }
    }
}

TEST(RegisterQuat, IdenticalListsGiveIdentityAndBadInputIsRejected) {
    std::vector<Vec3f> P = {Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(0, 2, 0), Vec3f(0, 0, 3), Vec3f(1, 1, 1)};
    expectSameTransform(registerQuat(P, P), RigidTransform(), 1e-5f);

    std::vector<Vec3f> empty, shorter(P.begin(), P.begin() + 3);
    LogCapture log;
    const RigidTransform a = registerQuat(empty, empty);
    const RigidTransform b = registerQuat(P, shorter);
    const std::string err = log.err();
    expectSameTransform(a, RigidTransform(), 0.0f);
    expectSameTransform(b, RigidTransform(), 0.0f);
    EXPECT_NE(err.find("Error in registerQuat(): No points, or number of points b/t sets do not match!"),
              std::string::npos);
}

TEST(RigidTransform, PrintFormats) {
    std::ostringstream os;
    const float v[3] = {1, 2.5f, -3};
    printVector3(os, v);
    EXPECT_EQ(os.str(), "[1,2.5,-3,\b]");
    os.str("");
    const float f[4] = {0.5f, 1, 2, 3};
    printVector(os, f, 4);
    EXPECT_EQ(os.str(), "[0.5,1,2,3]");
    os.str("");
    printMatrix3(os, RigidTransform().R);
    EXPECT_EQ(os.str(), "1\t0\t0\t\n0\t1\t0\t\n0\t0\t1\t\n");
}
