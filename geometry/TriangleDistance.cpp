#include "geometry/TriangleDistance.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrix {

namespace {

const float kLargestFloat = 3.4028235e38f;

float pointSegmentSquaredDistance(const Vec3f& p, const Vec3f& a, const Vec3f& b, Vec3f& nearest) {
    Vec3f d = b - a;
    float len2 = d.squaredLength();
    float t = len2 > 0 ? (p - a).dot(d) / len2 : 0.0f;
    t = std::min(1.0f, std::max(0.0f, t));
    nearest = a + d * t;
    return (p - nearest).squaredLength();
}

// Regions 2 and 6 (beyond a corner next to the edge opposite the first corner) mirror each other
// with the two parameters exchanged: u is the one below 0, v the other; aV and bV are v's terms.
void clampBeyondCorner(float a01, float bU, float aV, float bV, float denom, float& u, float& v) {
    const float tmp0 = a01 + bU;
    const float tmp1 = aV + bV;
    if (tmp1 > tmp0) {
        const float numer = tmp1 - tmp0;
        u = numer >= denom ? 1.0f : numer / denom;
        v = 1 - u;
    } else {
        u = 0;
        v = tmp1 <= 0 ? 1.0f : (bV >= 0 ? 0.0f : -bV / aV);
    }
}

}  // namespace

float pointTriangleSquaredDistance(const Vec3f& p, const Vec3f& a, const Vec3f& b, const Vec3f& c, Vec3f* nearest) {
    const Vec3f diff = a - p;
    const Vec3f e0 = b - a;
    const Vec3f e1 = c - a;
    const float a00 = e0.dot(e0);
    const float a01 = e0.dot(e1);
    const float a11 = e1.dot(e1);
    const float b0 = diff.dot(e0);
    const float b1 = diff.dot(e1);
    const float det = std::fabs(a00 * a11 - a01 * a01);

    // Collinear or coincident corners: the nearest point lies on one of the edges.
    if (!(det > 1e-12f * a00 * a11) || a00 <= 0 || a11 <= 0) {
        Vec3f q, best;
        float d = pointSegmentSquaredDistance(p, a, b, best);
        float d1 = pointSegmentSquaredDistance(p, b, c, q);
        if (d1 < d) {
            d = d1;
            best = q;
        }
        float d2 = pointSegmentSquaredDistance(p, c, a, q);
        if (d2 < d) {
            d = d2;
            best = q;
        }
        if (nearest) *nearest = best;
        return d;
    }

    // Parameters (s, t) of the projection of p, scaled by det; the seven regions are the interior
    // (0), the three edge strips (1: s + t = 1, 3: s = 0, 5: t = 0) and the three corners
    // (2: c, 4: a, 6: b).
    float s = a01 * b1 - a11 * b0;
    float t = a01 * b0 - a00 * b1;
    if (s + t <= det) {
        if (s < 0) {
            if (t < 0) {  // region 4
                if (b0 < 0) {
                    t = 0;
                    s = -b0 >= a00 ? 1.0f : -b0 / a00;
                } else {
                    s = 0;
                    t = b1 >= 0 ? 0.0f : (-b1 >= a11 ? 1.0f : -b1 / a11);
                }
            } else {  // region 3
                s = 0;
                t = b1 >= 0 ? 0.0f : (-b1 >= a11 ? 1.0f : -b1 / a11);
            }
        } else if (t < 0) {  // region 5
            t = 0;
            s = b0 >= 0 ? 0.0f : (-b0 >= a00 ? 1.0f : -b0 / a00);
        } else {  // region 0
            s /= det;
            t /= det;
        }
    } else {
        const float denom = a00 - 2 * a01 + a11;  // |b - c|^2
        if (s < 0) {  // region 2
            clampBeyondCorner(a01, b0, a11, b1, denom, s, t);
        } else if (t < 0) {  // region 6
            clampBeyondCorner(a01, b1, a00, b0, denom, t, s);
        } else {  // region 1
            float numer = a11 + b1 - a01 - b0;
            if (numer <= 0) {
                s = 0;
                t = 1;
            } else {
                s = numer >= denom ? 1.0f : numer / denom;
                t = 1 - s;
            }
        }
    }
    const Vec3f q = a + e0 * s + e1 * t;
    if (nearest) *nearest = q;
    return (p - q).squaredLength();
}

float closestTriangleSquaredDistanceExhaustive(const Vec3f& p, const std::vector<Vec3f>& vertices,
                                               const std::vector<Triangle>& triangles) {
    float best = kLargestFloat;
    for (const Triangle& f : triangles)
        best = std::min(best, pointTriangleSquaredDistance(p, vertices[f[0]], vertices[f[1]], vertices[f[2]]));
    return best;
}

// ---- bounding-volume hierarchy ----

namespace {
constexpr int kLeafSize = 4;

inline float boxSquaredDistance(const Vec3f& p, const Vec3f& lo, const Vec3f& hi) {
    float d = 0;
    for (int a = 0; a < 3; ++a) {
        float v = p[a] < lo[a] ? lo[a] - p[a] : (p[a] > hi[a] ? p[a] - hi[a] : 0.0f);
        d += v * v;
    }
    return d;
}
}  // namespace

TriangleBVH::TriangleBVH(const std::vector<Vec3f>& vertices, const std::vector<Triangle>& triangles)
    : vertices_(vertices), triangles_(triangles) {
    const int n = static_cast<int>(triangles.size());
    order_.resize(n);
    std::vector<Vec3f> centroids(n);
    float extent = 0;
    for (int i = 0; i < n; ++i) {
        order_[i] = i;
        const Triangle& f = triangles[i];
        centroids[i] = (vertices[f[0]] + vertices[f[1]] + vertices[f[2]]) / 3.0f;
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) extent = std::max(extent, std::fabs(vertices[f[k]][a]));
    }
    // Distances are rounded in float relative to the size of the coordinates; prune only boxes
    // that are clearly farther than the best triangle so far, so that the result is exact.
    slack_ = 1e-5f * 3.0f * extent * extent;
    nodes_.reserve(n > 0 ? 2 * (n / kLeafSize + 1) : 0);
    if (n > 0) build(0, n, centroids);
}

int TriangleBVH::build(int first, int count, std::vector<Vec3f>& centroids) {
    Node node;
    float inf = std::numeric_limits<float>::infinity();
    node.lo = Vec3f(inf, inf, inf);
    node.hi = Vec3f(-inf, -inf, -inf);
    for (int i = first; i < first + count; ++i) {
        const Triangle& f = triangles_[order_[i]];
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) {
                node.lo[a] = std::min(node.lo[a], vertices_[f[k]][a]);
                node.hi[a] = std::max(node.hi[a], vertices_[f[k]][a]);
            }
    }
    node.first = first;
    node.count = count;
    node.left = node.right = -1;
    const int index = static_cast<int>(nodes_.size());
    nodes_.push_back(node);
    if (count <= kLeafSize) return index;

    Vec3f size = node.hi - node.lo;
    int axis = size.x >= size.y ? (size.x >= size.z ? 0 : 2) : (size.y >= size.z ? 1 : 2);
    int mid = first + count / 2;
    std::nth_element(order_.begin() + first, order_.begin() + mid, order_.begin() + first + count,
                     [&](int x, int y) { return centroids[x][axis] < centroids[y][axis]; });
    int left = build(first, mid - first, centroids);
    int right = build(mid, first + count - mid, centroids);
    nodes_[index].count = 0;
    nodes_[index].left = left;
    nodes_[index].right = right;
    return index;
}

float TriangleBVH::closestSquaredDistance(const Vec3f& p, Vec3f* nearest) const {
    float best = kLargestFloat;
    if (nodes_.empty()) return best;
    int stack[128];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& node = nodes_[stack[--top]];
        float bound = boxSquaredDistance(p, node.lo, node.hi);
        if (bound > best * 1.0001f + slack_) continue;
        if (node.count > 0) {
            for (int i = node.first; i < node.first + node.count; ++i) {
                const Triangle& f = triangles_[order_[i]];
                Vec3f q;
                const float d = pointTriangleSquaredDistance(p, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]],
                                                             nearest ? &q : nullptr);
                if (d < best) {
                    best = d;
                    if (nearest) *nearest = q;
                }
            }
            continue;
        }
        const Node& l = nodes_[node.left];
        const Node& r = nodes_[node.right];
        // Visit the nearer child first (pushed last).
        if (boxSquaredDistance(p, l.lo, l.hi) < boxSquaredDistance(p, r.lo, r.hi)) {
            stack[top++] = node.right;
            stack[top++] = node.left;
        } else {
            stack[top++] = node.left;
            stack[top++] = node.right;
        }
    }
    return best;
}

}  // namespace veltrix
