#pragma once
#include <cmath>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "matching/MatchCandidates.h"
#include "matching/RigidTransform.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

// Shapes built in code for the correspondence-search tests.

// A scratch directory under the system temp dir, so that renaming a copied shape (which probes
// its preprocessing paths) never writes into the source tree.
inline std::string scratchDir() {
    return "/tmp/veltrix_matching_tests_" + std::to_string(::getpid()) + "/";
}

// A right-handed orthonormal frame (min, max, normal = min x max) drawn from a seeded generator.
inline PrincipalFrame randomFrame(std::mt19937& rng) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    Vec3f a(g(rng), g(rng), g(rng));
    a = a / a.length();
    Vec3f b(g(rng), g(rng), g(rng));
    b = b - a * a.dot(b);
    b = b / b.length();
    PrincipalFrame f;
    f.minDirection = a;
    f.maxDirection = b;
    f.normal = a.cross(b);
    f.minCurvature = 0.5f;
    f.maxCurvature = 2.0f;
    return f;
}

// Point-set shape with one frame scale; every vertex interior.
inline ShapeModel* makePointShape(const std::vector<Vec3f>& points, const std::vector<PrincipalFrame>& frames,
                                  const std::string& name = "shape.obj") {
    ShapeModel* shape = new ShapeModel(1);
    shape->baseDir = scratchDir();
    shape->fileName = name;
    shape->vertices.setPoints(points);
    std::vector<Vec3f> normals;
    for (const PrincipalFrame& f : frames) normals.push_back(f.normal);
    shape->normals.setPoints(normals);
    shape->vertexStatus.assign(points.size(), STATUS_INTERIOR);
    shape->scales = {1.0f};
    for (const PrincipalFrame& f : frames) shape->frames.push_back({f});
    return shape;
}

// The moved copy of a shape: positions and frames carried by T, same vertex order.
inline ShapeModel* movedCopy(const ShapeModel& shape, const RigidTransform& T, const std::string& name = "moved.obj") {
    std::vector<Vec3f> points;
    std::vector<PrincipalFrame> frames;
    for (int v = 0; v < shape.vertexCount(); ++v) {
        points.push_back(T.apply(shape.vertices.point(v)));
        PrincipalFrame f = shape.frames[v].back();
        f.minDirection = T.rotate(f.minDirection);
        f.maxDirection = T.rotate(f.maxDirection);
        f.normal = T.rotate(f.normal);
        frames.push_back(f);
    }
    return makePointShape(points, frames, name);
}

// Points on an ellipsoid with three distinct axes and a bump, so no rotation maps it onto itself.
inline std::vector<Vec3f> ellipsoidPoints(int count, std::mt19937& rng) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<Vec3f> points;
    for (int i = 0; i < count; ++i) {
        Vec3f d(g(rng), g(rng), g(rng));
        d = d / d.length();
        const float bump = 1.0f + 0.3f * std::exp(-8.0f * ((d - Vec3f(0.6f, 0.6f, 0.5f)).squaredLength()));
        points.push_back(Vec3f(1.0f * d.x, 0.7f * d.y, 0.45f * d.z) * bump);
    }
    return points;
}

inline RigidTransform motion(Vec3f axis, float angle, Vec3f t) {
    axis = axis / axis.length();
    const float w[6] = {0, 0, 0, axis.x * angle, axis.y * angle, axis.z * angle};
    RigidTransform T = twistToTransform(w);
    T.t[0] = t.x;
    T.t[1] = t.y;
    T.t[2] = t.z;
    return T;
}

inline float rotationDistance(const RigidTransform& a, const RigidTransform& b) {
    float m = 0;
    for (int i = 0; i < 9; ++i) m = std::max(m, std::fabs(a.R[i] - b.R[i]));
    return m;
}

inline float translationDistance(const RigidTransform& a, const RigidTransform& b) {
    return (Vec3f(a.t[0], a.t[1], a.t[2]) - Vec3f(b.t[0], b.t[1], b.t[2])).length();
}

}  // namespace veltrix
