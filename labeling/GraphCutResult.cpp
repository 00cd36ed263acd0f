#include "GraphCutResult.h"
#include "Log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>

#include "CacheFile.h"
#include "GraphCutRelabel.h"
#include "LabelingResult.h"
#include "Parallel.h"
#include "Progress.h"

namespace {

const float kLargestFloat = 3.4028235e38f;

// Finite and not absurdly large: no shape this program loads reaches 1e15 in any coordinate.
bool plausible(const float* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!(std::fabs(values[i]) <= 1e15f)) return false;
    return true;
}

float pointSegmentSquaredDistance(const Vec3f& p, const Vec3f& a, const Vec3f& b, Vec3f& nearest) {
    Vec3f d = b - a;
    float len2 = d.squaredLength();
    float t = len2 > 0 ? (p - a).dot(d) / len2 : 0.0f;
    t = std::min(1.0f, std::max(0.0f, t));
    nearest = a + d * t;
    return (p - nearest).squaredLength();
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
            float tmp0 = a01 + b0;
            float tmp1 = a11 + b1;
            if (tmp1 > tmp0) {
                float numer = tmp1 - tmp0;
                s = numer >= denom ? 1.0f : numer / denom;
                t = 1 - s;
            } else {
                s = 0;
                t = tmp1 <= 0 ? 1.0f : (b1 >= 0 ? 0.0f : -b1 / a11);
            }
        } else if (t < 0) {  // region 6
            float tmp0 = a01 + b1;
            float tmp1 = a00 + b0;
            if (tmp1 > tmp0) {
                float numer = tmp1 - tmp0;
                t = numer >= denom ? 1.0f : numer / denom;
                s = 1 - t;
            } else {
                t = 0;
                s = tmp1 <= 0 ? 1.0f : (b0 >= 0 ? 0.0f : -b0 / a00);
            }
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

// ---- result file ----

bool saveGraphCutResult(const LabelingResult& labeling, const std::string& fileName) {
    const MatchCandidates& mc = labeling.search();
    CacheWriter f(fileName);
    if (!f.isOpen()) {
        logOut() << "Error in saveGraphCutResult(): could not open file " << fileName << " for writing!" << std::endl;
        return false;
    }
    logOut() << "Saving graph cut result..." << std::flush;
    f.writeInt32(static_cast<int32_t>(mc.regions.size()));
    for (std::size_t i = 0; i < mc.regions.size(); ++i) {
        const RigidTransform T = i < mc.regionTransforms.size() ? mc.regionTransforms[i] : RigidTransform();
        f.writeFloats(T.R, 9);
        f.writeFloats(T.t, 3);
        const CorrespondenceList& region = mc.regions[i];
        const int n = region.size();
        f.writeInt32(n);
        for (int k = 0; k < n; ++k) {
            const Vec3f s = region.sourcePoints.point(k);
            const Vec3f t = region.targetPoints.point(k);
            const float sourcePoint[3] = {s.x, s.y, s.z};
            const float targetPoint[3] = {t.x, t.y, t.z};
            f.writeInt32(k < static_cast<int>(region.sourceIndices.size()) ? region.sourceIndices[k] : 0);
            f.writeFloats(sourcePoint, 3);
            f.writeInt32(k < static_cast<int>(region.targetIndices.size()) ? region.targetIndices[k] : 0);
            f.writeFloats(targetPoint, 3);
        }
    }
    f.writeInt32(mc.resultMinRegionSize);
    f.writeInt32(mc.resultMaxRegions);
    f.writeInt32(static_cast<int32_t>(labeling.labelsSource.size()));
    f.writeInt32(static_cast<int32_t>(labeling.labelsTarget.size()));
    for (int l : labeling.labelsSource) f.writeInt32(l);
    for (int l : labeling.labelsTarget) f.writeInt32(l);
    // A regular file is replaced only by the complete new one, so no truncated result is left
    // behind.
    if (!f.commit()) {
        logOut() << std::endl << "Error in saveGraphCutResult(): could not write file " << fileName << "!" << std::endl;
        return false;
    }
    logOut() << "done!" << std::endl;
    return true;
}

bool loadGraphCutResult(MatchCandidates& mc, LabelingResult& labeling, const std::string& fileName) {
    if (&labeling.search() != &mc) {
        logErr() << "Error in loadGraphCutResult(): the labelling belongs to another search object!" << std::endl;
        return false;
    }
    CacheReader in(fileName);
    if (!in.isOpen()) {
        logOut() << "Error in loadGraphCutResult(): could not open file " << fileName << " for reading!" << std::endl;
        return false;
    }
    logOut() << "Loading graph cut result..." << std::flush;

    // Everything is parsed and checked into temporaries first: a rejected file changes nothing.
    auto reject = [&](const char* reason) {
        logOut() << std::endl
                  << "Error in loadGraphCutResult(): " << fileName << " is not a valid graph cut result (" << reason
                  << ")!" << std::endl;
        return false;
    };
    const int nS = mc.source ? mc.source->vertexCount() : 0;
    const int nT = mc.target ? mc.target->vertexCount() : 0;
    int32_t regionCount;
    if (!in.readInt32(regionCount)) return reject("truncated");
    const int64_t minBlock = 12 * 4 + 4;
    if (regionCount < 0 || regionCount > in.remaining() / minBlock) return reject("region count does not fit the file");
    std::vector<CorrespondenceList> newRegions(regionCount);
    std::vector<RigidTransform> newTransforms(regionCount);
    for (int i = 0; i < regionCount; ++i) {
        RigidTransform& T = newTransforms[i];
        if (!in.readFloats(T.R, 9) || !in.readFloats(T.t, 3)) return reject("truncated");
        if (!plausible(T.R, 9) || !plausible(T.t, 3)) return reject("a motion that is not finite");
        int32_t n;
        if (!in.readInt32(n)) return reject("truncated");
        if (n < 0 || n > in.remaining() / 32) return reject("region size does not fit the file");
        CorrespondenceList& region = newRegions[i];
        region.sourcePoints.resize(n);
        region.targetPoints.resize(n);
        region.sourceIndices.resize(n);
        region.targetIndices.resize(n);
        for (int k = 0; k < n; ++k) {
            int32_t si = 0, ti = 0;
            float s[3] = {0, 0, 0}, t[3] = {0, 0, 0};
            in.readInt32(si);
            in.readFloats(s, 3);
            in.readInt32(ti);
            in.readFloats(t, 3);
            if (si < 0 || si >= nS || ti < 0 || ti >= nT) return reject("vertex index beyond the current shapes");
            if (!plausible(s, 3) || !plausible(t, 3)) return reject("a correspondence point that is not finite");
            region.sourceIndices[k] = si;
            region.targetIndices[k] = ti;
            region.sourcePoints.point(k) = Vec3f(s[0], s[1], s[2]);
            region.targetPoints.point(k) = Vec3f(t[0], t[1], t[2]);
        }
    }
    int32_t minRegionSize, maxRegions, sourceLabelCount, targetLabelCount;
    if (!in.readInt32(minRegionSize) || !in.readInt32(maxRegions) || !in.readInt32(sourceLabelCount) ||
        !in.readInt32(targetLabelCount))
        return reject("truncated");
    // Both arrays are empty in a result saved before any relabelling.
    if (sourceLabelCount != nS && (sourceLabelCount != 0 || targetLabelCount != 0))
        return reject("source label count differs from the source vertex count");
    if (targetLabelCount != 0 && targetLabelCount != nT)
        return reject("target label count differs from the target vertex count");
    if (in.remaining() != 4 * (static_cast<int64_t>(sourceLabelCount) + static_cast<int64_t>(targetLabelCount)))
        return reject("label arrays do not match the file size");
    // The labels index the regions that sortResult keeps: those larger than the minimum size, at
    // most maxRegions of them; one more is the dummy label.
    int sortedCount = 0;
    for (const CorrespondenceList& region : newRegions)
        if (static_cast<unsigned int>(region.size()) > static_cast<unsigned int>(minRegionSize)) ++sortedCount;
    if (maxRegions >= 0) sortedCount = std::min(sortedCount, static_cast<int>(maxRegions));
    std::vector<int> newSourceLabels(sourceLabelCount), newTargetLabels(targetLabelCount);
    int32_t label = 0;
    for (int& l : newSourceLabels) l = in.readInt32(label) ? label : 0;
    for (int& l : newTargetLabels) l = in.readInt32(label) ? label : 0;
    for (int l : newSourceLabels)
        if (l < 0 || l > sortedCount) return reject("label beyond the sorted regions");
    for (int l : newTargetLabels)
        if (l < 0 || l > sortedCount) return reject("label beyond the sorted regions");

    mc.regions.swap(newRegions);
    mc.regionTransforms.swap(newTransforms);
    logOut() << " min verified region size: " << minRegionSize << " max number of verified regions: " << maxRegions
              << std::flush;
    mc.sortResult(static_cast<unsigned int>(minRegionSize), maxRegions);
    labeling.labelsSource.swap(newSourceLabels);
    labeling.labelsTarget.swap(newTargetLabels);
    // What the previous run derived from its own labels would be drawn over the loaded ones.
    labeling.closestPtsSource.clear();
    labeling.closestPtsTarget.clear();
    labeling.movedPtsSource.clear();
    labeling.movedPtsTarget.clear();
    labeling.boundaryEdgesSource.clear();
    labeling.boundaryEdgesTarget.clear();
    labeling.nonRegularTerms = 0;
    buildResultRegions(labeling.labelsSource, mc.source, mc.sortedTransforms, true, labeling.regionsSource,
                       labeling.transformsSource);
    buildResultRegions(labeling.labelsTarget, mc.target, mc.sortedInverseTransforms, false, labeling.regionsTarget,
                       labeling.transformsTarget);
    logOut() << " ...done!" << std::endl;
    return true;
}

// ---- alignment error ----

float LabelingResult::maxSymmetricHausdorff() const {
    const MatchCandidates& mc = *search_;
    if (labelsSource.empty()) return kLargestFloat;
    Mesh3_real* sourceMesh = mc.source && mc.source->kind == 0 ? dynamic_cast<Mesh3_real*>(mc.source) : nullptr;
    Mesh3_real* targetMesh = mc.target && mc.target->kind == 0 ? dynamic_cast<Mesh3_real*>(mc.target) : nullptr;
    if (!sourceMesh || !targetMesh) {
        logErr() << "Error in MatchCandidates::maxSymmetricHausdorff(): only implemented for meshes!" << std::endl;
        return kLargestFloat;
    }
    const int nS = mc.source->vertexCount();
    const int nT = mc.target->vertexCount();
    if (static_cast<int>(labelsSource.size()) != nS) {
        logErr() << "Error in MatchCandidates::maxSymmetricHausdorff(): labels do not match the source shape!"
                  << std::endl;
        return kLargestFloat;
    }
    const int R = static_cast<int>(mc.sortedTransforms.size());
    auto hasTransform = [&](int v) { return labelsSource[v] >= 0 && labelsSource[v] < R; };

    logOut() << std::string(79, '-') << std::endl;
    logOut() << "Computing the registration error of all vertices in the shape..." << std::endl;

    // Dummy-labelled source vertices have no transform: they and the source triangles touching
    // them take no part in the error.
    const std::vector<Vec3f>& sourcePoints = mc.source->vertices.points();
    std::vector<Vec3f> movedSource(nS);
    int dummyVertices = 0;
    for (int v = 0; v < nS; ++v) {
        if (hasTransform(v))
            movedSource[v] = mc.sortedTransforms[labelsSource[v]].apply(sourcePoints[v]);
        else
            ++dummyVertices;
    }
    std::vector<Triangle> movedTriangles;
    movedTriangles.reserve(sourceMesh->faces.size());
    for (const Triangle& f : sourceMesh->faces) {
        bool valid = true;
        for (int k = 0; k < 3; ++k) valid = valid && f[k] >= 0 && f[k] < nS && hasTransform(f[k]);
        if (valid) movedTriangles.push_back(f);
    }
    std::vector<Triangle> targetTriangles;
    targetTriangles.reserve(targetMesh->faces.size());
    for (const Triangle& f : targetMesh->faces)
        if (f[0] >= 0 && f[0] < nT && f[1] >= 0 && f[1] < nT && f[2] >= 0 && f[2] < nT) targetTriangles.push_back(f);
    if (dummyVertices > 0)
        logOut() << "*** Leaving out " << dummyVertices << " source vertices with the dummy label and "
                  << sourceMesh->faces.size() - movedTriangles.size() << " source triangles with such a corner"
                  << std::endl;
    if (dummyVertices == nS || movedTriangles.empty() || targetTriangles.empty() || nT == 0) {
        logOut() << "*** Nothing left to compare!" << std::endl;
        return kLargestFloat;
    }

    float forward = -kLargestFloat;
    float backward = -kLargestFloat;
    logOut() << "*** Processing forward..." << std::flush;
    {
        TriangleBVH targetSearch(mc.target->vertices.points(), targetTriangles);
        progress(nS, true);
        std::vector<float> nearest(static_cast<size_t>(nS), 0.0f);
        parallelFor(
            nS,
            [&](int v, int) {
                if (hasTransform(v)) nearest[v] = targetSearch.closestSquaredDistance(movedSource[v]);
            },
            true);
        for (int v = 0; v < nS; ++v)
            if (hasTransform(v)) forward = std::max(forward, nearest[v]);
    }
    logOut() << std::endl << "*** Processing backward..." << std::flush;
    {
        TriangleBVH sourceSearch(movedSource, movedTriangles);
        progress(nT, true);
        std::vector<float> nearest(static_cast<size_t>(nT), 0.0f);
        parallelFor(
            nT, [&](int u, int) { nearest[u] = sourceSearch.closestSquaredDistance(mc.target->vertices.point(u)); },
            true);
        for (int u = 0; u < nT; ++u) backward = std::max(backward, nearest[u]);
    }
    logOut() << "done!" << std::endl;
    forward = std::sqrt(forward);
    backward = std::sqrt(backward);
    logOut() << "*** Hausdorff distance (tf*source --> target): " << forward << std::endl;
    logOut() << "*** Hausdorff distance (target --> tf*source): " << backward << std::endl;
    return backward > forward ? backward : forward;
}
