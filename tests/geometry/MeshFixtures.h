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

#include "ShapeModel.h"

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
    const float t = (1.0f + std::sqrt(5.0f)) / 2.0f;
    std::vector<Vec3f> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                            {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<Triangle> f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                               {11, 10, 2}, {10, 7, 6}, {7, 1, 8},   {3, 9, 4}, {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
                               {3, 8, 9},  {4, 9, 5},  {2, 4, 11},  {6, 2, 10}, {8, 6, 7},  {9, 8, 1}};
    for (Vec3f& p : v) p = p / p.length();
    for (int l = 0; l < levels; ++l) {
        std::map<std::pair<int, int>, int> mid;
        auto midpoint = [&](int a, int b) {
            auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto it = mid.find(key);
            if (it != mid.end()) return it->second;
            Vec3f m = (v[a] + v[b]) * 0.5f;
            v.push_back(m / m.length());
            mid[key] = static_cast<int>(v.size()) - 1;
            return static_cast<int>(v.size()) - 1;
        };
        std::vector<Triangle> g;
        for (const Triangle& tri : f) {
            int a = midpoint(tri[0], tri[1]), b = midpoint(tri[1], tri[2]), c = midpoint(tri[2], tri[0]);
            g.push_back({tri[0], a, c});
            g.push_back({tri[1], b, a});
            g.push_back({tri[2], c, b});
            g.push_back({a, b, c});
        }
        f = g;
    }
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
