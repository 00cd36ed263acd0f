#include "labeling/GraphCutRelabel.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numeric>
#include <vector>

namespace veltrix {

namespace {

// Read-only view of what a cost callback needs for one site: its shape, the other shape, the
// transform list and the closest-point table of its side.
struct SiteView {
    ShapeModel* shape;
    ShapeModel* other;
    const std::vector<RigidTransform>* transforms;
    const std::vector<LabelingResult::ClosestPoint>* closest;
    const std::vector<Vec3f>* moved;
    int vertex;
};

inline SiteView siteView(const LabelingResult& result, int site) {
    const MatchCandidates& mc = result.search();
    const int nS = mc.source->vertexCount();
    if (site < nS)
        return {mc.source, mc.target, &mc.sortedTransforms, &result.closestPtsSource, &result.movedPtsSource, site};
    return {mc.target,           mc.source,           &mc.sortedInverseTransforms,
            &result.closestPtsTarget, &result.movedPtsTarget, site - nS};
}

// The site moved by the transform of transformation label k: from the table when it is filled,
// which holds the same values.
inline Vec3f movedPoint(const SiteView& s, int k) {
    const std::size_t at = static_cast<std::size_t>(k) * s.shape->vertexCount() + s.vertex;
    if (at < s.moved->size()) return (*s.moved)[at];
    return (*s.transforms)[k].apply(s.shape->vertices.point(s.vertex));
}

inline int labelCount(const LabelingResult& result) {
    return static_cast<int>(result.search().sortedTransforms.size());
}

// |(T p - q) . n_q| for the site moved by its label's transform and its closest point c. An
// isolated vertex has no normal (not finite): then the distance |T p - q| itself.
inline float planeDistance(const SiteView& s, const RigidTransform& T, int c) {
    const Vec3f offset = T.apply(s.shape->vertices.point(s.vertex)) - s.other->vertices.point(c);
    const Vec3f& normal = s.other->normals.point(c);
    if (!normal.isFinite()) return offset.length();
    return std::fabs(offset.dot(normal));
}

}  // namespace

void buildResultRegions(const std::vector<int>& labels, ShapeModel* shape, const std::vector<RigidTransform>& transforms,
                        bool sourceSide, std::vector<CorrespondenceList>& regionsOut,
                        std::vector<RigidTransform>& transformsOut) {
    const int R = static_cast<int>(transforms.size());
    std::vector<CorrespondenceList> regions(R);
    for (std::size_t v = 0; v < labels.size(); ++v) {
        int k = labels[v];
        if (k < 0 || k >= R) continue;
        const Vec3f p = shape->vertices.point(static_cast<int>(v));
        const Vec3f moved = transforms[k].apply(p);
        if (sourceSide)
            regions[k].addCorrespondence(p, moved, 0, 0);
        else
            regions[k].addCorrespondence(moved, p, 0, 0);
    }
    std::vector<int> order(R);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return regions[a].size() > regions[b].size(); });
    regionsOut.clear();
    transformsOut.clear();
    for (int k : order) {
        if (regions[k].size() <= 0) break;
        regionsOut.push_back(regions[k]);
        transformsOut.push_back(transforms[k]);
    }
}

// ---- cost callbacks ----

float gcDataPointToPoint(int site, int label, const LabelingResult& result) {
    const LabelingResult::CostValues& costs = result.costs;
    const int R = labelCount(result);
    if (label >= R) return costs.dummyLabelDataError * costs.dataWeight;
    SiteView s = siteView(result, site);
    float d = (*s.closest)[static_cast<std::size_t>(s.vertex) * R + label].distance;
    return std::min(d, costs.dataTruncateValue) * costs.dataWeight;
}

float gcDataPointToPlane(int site, int label, const LabelingResult& result) {
    const LabelingResult::CostValues& costs = result.costs;
    const int R = labelCount(result);
    if (label >= R) return costs.dummyLabelDataError * costs.dataWeight;
    SiteView s = siteView(result, site);
    const LabelingResult::ClosestPoint& cp = (*s.closest)[static_cast<std::size_t>(s.vertex) * R + label];
    float value = cp.distance < costs.dataTruncateValue ? planeDistance(s, (*s.transforms)[label], cp.index)
                                                        : cp.distance;
    return value * costs.dataWeight;
}

float gcDataHybrid(int site, int label, const LabelingResult& result) {
    const LabelingResult::CostValues& costs = result.costs;
    const int R = labelCount(result);
    if (label >= R) return costs.dummyLabelDataError * costs.dataWeight;
    SiteView s = siteView(result, site);
    const LabelingResult::ClosestPoint& cp = (*s.closest)[static_cast<std::size_t>(s.vertex) * R + label];
    float value = s.other->vertexStatus[cp.index] == STATUS_BOUNDARY
                      ? planeDistance(s, (*s.transforms)[label], cp.index)
                      : cp.distance;
    return value * costs.dataWeight;
}

float gcDataPointAndNormal(int site, int label, const LabelingResult& result) {
    const LabelingResult::CostValues& costs = result.costs;
    const int R = labelCount(result);
    if (label >= R) return costs.dummyLabelDataError * costs.dataWeight;
    SiteView s = siteView(result, site);
    const LabelingResult::ClosestPoint& cp = (*s.closest)[static_cast<std::size_t>(s.vertex) * R + label];
    if (s.shape->vertexStatus[s.vertex] == STATUS_ISOLATED || s.other->vertexStatus[cp.index] == STATUS_ISOLATED)
        return 0.0f;
    const RigidTransform& T = (*s.transforms)[label];
    float e = s.other->vertexStatus[cp.index] == STATUS_BOUNDARY ? planeDistance(s, T, cp.index) : cp.distance;
    Vec3f rotatedNormal = T.rotate(s.shape->normals.point(s.vertex));
    float normalError = (rotatedNormal - s.other->normals.point(cp.index)).length();
    return std::sqrt(e + 2.0f * s.other->meshResolution * normalError) * costs.dataWeight;
}

namespace {

// The optimiser hands its user pointer back untyped; this restores the result.
template <float (*Cost)(int, int, const LabelingResult&)>
float dataCost(int site, int label, void* result) {
    return Cost(site, label, *static_cast<const LabelingResult*>(result));
}

}  // namespace

MultiLabelOptimizer::DataCostFn gcDataTermFunction(int dataTermType) {
    switch (dataTermType) {
    case 1: return dataCost<gcDataPointToPoint>;
    case 2: return dataCost<gcDataPointToPlane>;
    case 3: return dataCost<gcDataHybrid>;
    case 4: return dataCost<gcDataPointAndNormal>;
    default: return nullptr;
    }
}

const char* gcDataTermName(int dataTermType) {
    switch (dataTermType) {
    case 1: return "point-to-point";
    case 2: return "point-to-plane";
    case 3: return "hybrid";
    case 4: return "point and normal";
    default: return nullptr;
    }
}

float gcSmoothTerm(int site1, int site2, int label1, int label2, const LabelingResult& result) {
    const LabelingResult::CostValues& costs = result.costs;
    const int R = labelCount(result);
    const bool dummy1 = label1 >= R, dummy2 = label2 >= R;
    if (dummy1 && dummy2) return 0.0f;
    if (dummy1 || dummy2) return costs.dummyLabelSmoothError * costs.smoothWeight;

    const int nS = result.search().source->vertexCount();
    const bool source1 = site1 < nS, source2 = site2 < nS;
    if (source1 == source2) {
        // Edge-length preservation: moving both ends with their labels keeps the edge length.
        SiteView a = siteView(result, site1);
        SiteView b = siteView(result, site2);
        const Vec3f p1 = a.shape->vertices.point(a.vertex);
        const Vec3f p2 = b.shape->vertices.point(b.vertex);
        const Vec3f q1 = movedPoint(a, label1);
        const Vec3f q2 = movedPoint(b, label2);
        float change = std::fabs((p1 - p2).length() - (q1 - q2).length());
        return std::min(change, costs.smoothTruncateValue) * costs.smoothWeight;
    }
    // Label consistency between a source vertex s and a target vertex t that map onto each other.
    const int s = source1 ? site1 : site2;
    const int t = (source1 ? site2 : site1) - nS;
    const int ls = source1 ? label1 : label2;
    const int lt = source1 ? label2 : label1;
    if (ls == lt) return 0.0f;
    float value = 0.0f;
    const LabelingResult::ClosestPoint& fromSource = result.closestPtsSource[static_cast<std::size_t>(s) * R + ls];
    if (fromSource.index == t && fromSource.distance < costs.closestPtDistThreshold) value += costs.mismatchError;
    const LabelingResult::ClosestPoint& fromTarget = result.closestPtsTarget[static_cast<std::size_t>(t) * R + lt];
    if (fromTarget.index == s && fromTarget.distance < costs.closestPtDistThreshold) value += costs.mismatchError;
    return value * costs.smoothWeight;
}

}  // namespace veltrix
