#pragma once

// Icosahedron refined `levels` times, vertices on the unit sphere, outward-facing triangles.
// Level l has 10 * 4^l + 2 vertices and 20 * 4^l triangles.
#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "geometry/ShapeModel.h"
#include "core/Vec3f.h"

namespace veltrix {

inline void makeIcosphere(int levels, std::vector<Vec3f>& v, std::vector<Triangle>& f)
{
    const float t = (1.0f + std::sqrt(5.0f)) / 2.0f;
    v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
         {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    f = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
         {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
         {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
    for (Vec3f& p : v)
        p = p / p.length();
    for (int l = 0; l < levels; ++l) {
        std::map<std::pair<int, int>, int> mid;
        auto midpoint = [&](int a, int b) {
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto it = mid.find(key);
            if (it != mid.end())
                return it->second;
            const Vec3f m = (v[a] + v[b]) * 0.5f;
            v.push_back(m / m.length());
            return mid[key] = int(v.size()) - 1;
        };
        std::vector<Triangle> next;
        for (const Triangle& tri : f) {
            const int a = midpoint(tri[0], tri[1]), b = midpoint(tri[1], tri[2]), c = midpoint(tri[2], tri[0]);
            next.push_back({tri[0], a, c});
            next.push_back({tri[1], b, a});
            next.push_back({tri[2], c, b});
            next.push_back({a, b, c});
        }
        f = next;
    }
}

}  // namespace veltrix
