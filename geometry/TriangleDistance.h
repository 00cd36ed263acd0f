#pragma once
#include <vector>

#include "geometry/ShapeModel.h"
#include "core/Vec3f.h"

namespace veltrix {

// Exact squared distance from p to the triangle (a, b, c), classifying the projection of p into
// the seven regions around the triangle; the nearest point goes to *nearest when given.
// Degenerate triangles (collinear or coincident corners) fall back to their edges.
float pointTriangleSquaredDistance(const Vec3f& p, const Vec3f& a, const Vec3f& b, const Vec3f& c,
                                   Vec3f* nearest = nullptr);

// Smallest squared distance from p to any of the triangles, testing every one; starts at
// 3.4028235e38.
float closestTriangleSquaredDistanceExhaustive(const Vec3f& p, const std::vector<Vec3f>& vertices,
                                               const std::vector<Triangle>& triangles);

// Bounding-volume hierarchy over a triangle soup for closest-triangle queries. A query gives
// exactly the value of the exhaustive loop: every triangle whose box could hold a smaller distance
// is evaluated with the same point-to-triangle function.
class TriangleBVH {
public:
    TriangleBVH(const std::vector<Vec3f>& vertices, const std::vector<Triangle>& triangles);
    // The nearest point on the triangles goes to *nearest when given.
    float closestSquaredDistance(const Vec3f& p, Vec3f* nearest = nullptr) const;

private:
    struct Node {
        Vec3f lo, hi;
        int first, count;  // leaf: triangle range in order_; inner: count = 0
        int left, right;
    };
    int build(int first, int count, std::vector<Vec3f>& centroids);
    const std::vector<Vec3f>& vertices_;
    const std::vector<Triangle>& triangles_;
    std::vector<int> order_;
    std::vector<Node> nodes_;
    float slack_ = 0;  // absolute margin covering the rounding of box and triangle distances
};

}  // namespace veltrix
