#pragma once
// Meshes and search objects built in code for the relabelling and result-file tests.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "matching/MatchCandidates.h"
#include "matching/RigidTransform.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

inline std::string labelingScratchDir() { return "/tmp/veltrix_labeling_tests_" + std::to_string(::getpid()) + "/"; }

// A flat nx x ny grid of unit-spaced vertices in the z = 0 plane (two triangles per cell), with
// normals, edge list and boundary. Vertex (i, j) has index j * nx + i.
inline Mesh3_real* makeGridMesh(int nx, int ny, float spacing = 1.0f, const std::string& name = "grid.obj") {
    Mesh3_real* m = new Mesh3_real;
    m->baseDir = labelingScratchDir();
    m->fileName = name;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) m->vertices.addPoint(Vec3f(i * spacing, j * spacing, 0.0f));
    for (int j = 0; j + 1 < ny; ++j)
        for (int i = 0; i + 1 < nx; ++i) {
            int a = j * nx + i, b = a + 1, c = a + nx, d = c + 1;
            m->faces.push_back({a, b, d});
            m->faces.push_back({a, d, c});
        }
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    m->meshResolution = spacing;
    testing::internal::CaptureStdout();
    m->computeNormals(true);
    m->detectBoundary();
    testing::internal::GetCapturedStdout();
    return m;
}

// The same mesh with every vertex moved by the motion of its part (part[v] indexes motions).
inline Mesh3_real* movedMesh(const Mesh3_real& mesh, const std::vector<RigidTransform>& motions,
                             const std::vector<int>& part, const std::string& name = "moved.obj") {
    Mesh3_real* m = new Mesh3_real;
    m->baseDir = labelingScratchDir();
    m->fileName = name;
    for (int v = 0; v < mesh.vertexCount(); ++v)
        m->vertices.addPoint(motions[part[v]].apply(mesh.vertices.point(v)));
    m->faces = mesh.faces;
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    m->meshResolution = mesh.meshResolution;
    testing::internal::CaptureStdout();
    m->computeNormals(true);
    m->detectBoundary();
    testing::internal::GetCapturedStdout();
    return m;
}

inline RigidTransform translation(float x, float y, float z) {
    RigidTransform T;
    T.t[0] = x;
    T.t[1] = y;
    T.t[2] = z;
    return T;
}

inline RigidTransform rotationZ(float angle, const Vec3f& centre) {
    RigidTransform T;
    float c = std::cos(angle), s = std::sin(angle);
    float R[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
    for (int k = 0; k < 9; ++k) T.R[k] = R[k];
    Vec3f rc = T.rotate(centre);
    T.t[0] = centre.x - rc.x;
    T.t[1] = centre.y - rc.y;
    T.t[2] = centre.z - rc.z;
    return T;
}

// Sorted result set by hand: one non-empty region per transform.
inline void setSortedTransforms(MatchCandidates& mc, const std::vector<RigidTransform>& transforms) {
    mc.sortedRegions.clear();
    mc.sortedTransforms = transforms;
    mc.sortedInverseTransforms.clear();
    for (const RigidTransform& T : transforms) {
        CorrespondenceList region;
        region.addCorrespondence(Vec3f(), T.apply(Vec3f()), 0, 0);
        mc.sortedRegions.push_back(region);
        mc.sortedInverseTransforms.push_back(invertTransform(T));
    }
}

// Runs f with standard output and standard error captured; returns both.
template <class F>
std::pair<std::string, std::string> captured(F&& f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    return {out, err};
}

}  // namespace veltrix
