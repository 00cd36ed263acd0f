#pragma once
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Icosphere.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

// A fresh directory under the test temp dir, ending in "/".
inline std::string makeTempDir(const std::string& prefix) {
    std::string pattern = testing::TempDir() + prefix + "XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    EXPECT_NE(made, nullptr);
    return pattern + "/";
}

inline std::string writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Icosahedron refined `levels` times, vertices on the unit sphere, outward-facing triangles.
inline void makeIcosphere(Mesh3_real& mesh, int levels) {
    std::vector<Vec3f> v;
    std::vector<Triangle> f;
    makeIcosphere(levels, v, f);
    mesh.vertices.setPoints(v);
    mesh.faces = f;
    mesh.vertexStatus.assign(v.size(), STATUS_INTERIOR);
}

// A flat n x n grid of unit squares in the z = 0 plane, two triangles per square, normals +z.
inline void makeGrid(Mesh3_real& mesh, int n) {
    std::vector<Vec3f> v;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) v.emplace_back(float(i), float(j), 0.0f);
    std::vector<Triangle> f;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            f.push_back({a, b, d});
            f.push_back({a, d, c});
        }
    mesh.vertices.setPoints(v);
    mesh.faces = f;
    mesh.vertexStatus.assign(v.size(), STATUS_INTERIOR);
}

}  // namespace veltrix
