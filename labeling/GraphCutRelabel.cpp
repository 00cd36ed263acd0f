#include "GraphCutRelabel.h"
#include "Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "FlowGraph.h"
#include "Parallel.h"
#include "Progress.h"

namespace {

const std::string kDashLine(79, '-');

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

// The site moved by the transform of label k (k < R): from the table when it is filled, which
// holds the same values.
inline Vec3f movedPoint(const SiteView& s, int k, int R) {
    const std::size_t at = static_cast<std::size_t>(s.vertex) * R + k;
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

namespace {

bool hasSortedResult(const MatchCandidates& mc) {
    return !mc.sortedRegions.empty() && !mc.sortedTransforms.empty() &&
           mc.sortedTransforms.size() == mc.sortedInverseTransforms.size();
}

// Both checks come before the closest-point tables, which are the costly part of the set-up.
bool knownSolutionAndDataTerm(int solutionType, MultiLabelOptimizer::DataCostFn dataFn, int dataTermType) {
    if (!dataFn) {
        logErr() << "Unknown data term type " << dataTermType << "! Aborting graph cut optimization." << std::endl;
        return false;
    }
    if (solutionType != 1 && solutionType != 2) {
        logOut() << "Unknown solution type " << solutionType << "!" << std::endl;
        return false;
    }
    return true;
}

void reportOptimizerFailure(const char* operation, const char* message) {
    logErr() << "Error in MatchCandidates::" << operation << "(): " << message << std::endl;
}

Mesh3_real* asMesh(ShapeModel* shape) {
    if (!shape || shape->kind != 0) return nullptr;
    return dynamic_cast<Mesh3_real*>(shape);
}

// Weights and truncations of the smoothness and data terms, shared by both relabellings, with their
// console lines.
void setTermWeights(LabelingResult::CostValues& costs, float smoothWeight, float dataWeight,
                    float smoothTruncateValue, float dataTruncateValue) {
    costs.smoothWeight = smoothWeight;
    costs.dataWeight = dataWeight;
    logOut() << "*** Smoothness / data term weights: (" << smoothWeight << "/" << dataWeight << ")" << std::endl;
    costs.smoothTruncateValue = smoothTruncateValue;
    costs.dataTruncateValue = dataTruncateValue;
    logOut() << "*** Maximum smooth term / data term value: " << smoothTruncateValue << "/" << dataTruncateValue
              << std::endl;
}

}  // namespace

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

// The optimiser hands its user pointer back untyped; these restore the result.
template <float (*Cost)(int, int, const LabelingResult&)>
float dataCost(int site, int label, void* result) {
    return Cost(site, label, *static_cast<const LabelingResult*>(result));
}

float smoothCost(int site1, int site2, int label1, int label2, void* result) {
    return gcSmoothTerm(site1, site2, label1, label2, *static_cast<const LabelingResult*>(result));
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
        const Vec3f q1 = movedPoint(a, label1, R);
        const Vec3f q2 = movedPoint(b, label2, R);
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

// ---- relabelling ----

void LabelingResult::precomputeClosestPts() {
    const MatchCandidates& mc = *search_;
    if (!hasSortedResult(mc)) {
        logErr() << "Error in MatchCandidates::precomputeClosestPts(): Please perform region match & verify first!"
                  << std::endl;
        return;
    }
    const int R = static_cast<int>(mc.sortedTransforms.size());
    const int nS = mc.source->vertexCount();
    const int nT = mc.target->vertexCount();
    const ClosestPoint none{0, std::numeric_limits<float>::infinity()};
    // Columns of a motion the tables already hold (bit for bit, on the same shapes) are copied
    // instead of queried again: relabelling after a few motions changed costs only those.
    const std::vector<ClosestPoint> oldSource = std::move(closestPtsSource), oldTarget = std::move(closestPtsTarget);
    const std::vector<Vec3f> oldMovedSource = std::move(movedPtsSource), oldMovedTarget = std::move(movedPtsTarget);
    const std::vector<RigidTransform> oldTransforms = std::move(tableTransforms_);
    const std::size_t oldR = oldTransforms.size();
    const bool reusable = oldR > 0 && oldSource.size() == std::size_t(nS) * oldR &&
                          oldTarget.size() == std::size_t(nT) * oldR && oldMovedSource.size() == oldSource.size() &&
                          oldMovedTarget.size() == oldTarget.size();
    std::vector<int> oldColumn(std::size_t(R), -1);
    for (int k = 0; reusable && k < R; ++k)
        for (std::size_t j = 0; j < oldR; ++j)
            if (std::memcmp(&oldTransforms[j], &mc.sortedTransforms[std::size_t(k)], sizeof(RigidTransform)) == 0) {
                oldColumn[std::size_t(k)] = int(j);
                break;
            }
    closestPtsSource.assign(static_cast<std::size_t>(nS) * R, none);
    closestPtsTarget.assign(static_cast<std::size_t>(nT) * R, none);
    movedPtsSource.assign(static_cast<std::size_t>(nS) * R, Vec3f());
    movedPtsTarget.assign(static_cast<std::size_t>(nT) * R, Vec3f());
    tableTransforms_ = mc.sortedTransforms;
    logOut() << "Pre-computing closest points according to each transform..." << std::endl;
    progress(R, true);
    mc.source->vertices.prepareTree();
    mc.target->vertices.prepareTree();
    // Each worker starts a search from its previous answer: consecutive vertices lie close
    // together, so their moved positions usually have nearby closest points.
    std::vector<int> previous(static_cast<std::size_t>(threadCount()));
    // Every vertex of `from` moved by `T` (label k), and its closest vertex of `to`.
    auto fill = [&](ShapeModel& from, ShapeModel& to, const RigidTransform& T, int k, std::vector<Vec3f>& moved,
                    std::vector<ClosestPoint>& closest) {
        std::fill(previous.begin(), previous.end(), -1);
        parallelFor(from.vertexCount(), [&](int v, int worker) {
            const std::size_t at = static_cast<std::size_t>(v) * R + k;
            moved[at] = T.apply(from.vertices.point(v));
            std::pair<int, float> c = to.closestDistance(moved[at], previous[worker]);
            closest[at] = ClosestPoint{c.first, c.second};
            previous[worker] = c.first;
        });
    };
    auto copy = [&](const std::vector<ClosestPoint>& from, const std::vector<Vec3f>& fromMoved, int n, int k, int j,
                    std::vector<ClosestPoint>& to, std::vector<Vec3f>& toMoved) {
        for (int v = 0; v < n; ++v) {
            to[std::size_t(v) * R + std::size_t(k)] = from[std::size_t(v) * oldR + std::size_t(j)];
            toMoved[std::size_t(v) * R + std::size_t(k)] = fromMoved[std::size_t(v) * oldR + std::size_t(j)];
        }
    };
    for (int k = 0; k < R; ++k) {
        if (const int j = oldColumn[std::size_t(k)]; j >= 0) {
            copy(oldSource, oldMovedSource, nS, k, j, closestPtsSource, movedPtsSource);
            copy(oldTarget, oldMovedTarget, nT, k, j, closestPtsTarget, movedPtsTarget);
        } else {
            fill(*mc.source, *mc.target, mc.sortedTransforms[k], k, movedPtsSource, closestPtsSource);
            fill(*mc.target, *mc.source, mc.sortedInverseTransforms[k], k, movedPtsTarget, closestPtsTarget);
        }
        progress(k, false);
    }
    logOut() << "...done!" << std::endl;
}

void LabelingResult::createBoundarySmoothnessEdges(ShapeModel* shape, int k, std::vector<MeshEdge>& edges) {
    logOut() << "Creating extra smoothness edges on boundary of shape..." << std::flush;
    std::vector<int> boundary;
    PointSetANN positions;
    for (int v = 0; v < shape->vertexCount(); ++v)
        if (v < static_cast<int>(shape->vertexStatus.size()) && shape->vertexStatus[v] == STATUS_BOUNDARY) {
            boundary.push_back(v);
            positions.addPoint(shape->vertices.point(v));
        }
    edges.clear();
    if (k > 0 && !boundary.empty()) {
        std::vector<int> idx;
        std::vector<float> dist;
        for (std::size_t i = 0; i < boundary.size(); ++i) {
            positions.knnQuery(positions.point(static_cast<int>(i)), k + 1, idx, dist, true);
            for (std::size_t j = 1; j < idx.size(); ++j)
                edges.push_back(MeshEdge{boundary[i], boundary[idx[j]], 0, 0});
        }
    }
    logOut() << " done!" << std::endl;
    logOut() << "Created " << edges.size() << " extra edges!" << std::endl;
}

void LabelingResult::createComponentLinks(ShapeModel* shape, const std::vector<MeshEdge>& meshEdges, int k,
                                          float distance, std::vector<MeshEdge>& edges) {
    const int n = shape->vertexCount();
    // Connected components over the mesh edges.
    std::vector<int> root(static_cast<std::size_t>(n));
    std::iota(root.begin(), root.end(), 0);
    auto find = [&](int v) {
        while (root[std::size_t(v)] != v) v = root[std::size_t(v)] = root[std::size_t(root[std::size_t(v)])];
        return v;
    };
    for (const MeshEdge& e : meshEdges)
        if (e.firstVertex >= 0 && e.secondVertex >= 0 && e.firstVertex < n && e.secondVertex < n)
            root[std::size_t(find(e.firstVertex))] = find(e.secondVertex);
    shape->vertices.prepareTree();
    std::vector<std::vector<MeshEdge>> found(static_cast<std::size_t>(threadCount()));
    std::vector<std::vector<int>> idx(found.size());
    std::vector<std::vector<float>> dist(found.size());
    parallelFor(n, [&](int v, int worker) {
        shape->vertices.rangeQuery(shape->vertices.point(v), distance * distance, idx[std::size_t(worker)],
                                   dist[std::size_t(worker)], true);
        int added = 0;
        for (int w : idx[std::size_t(worker)]) {
            if (added == k) break;
            if (w == v || find(w) == find(v)) continue;
            found[std::size_t(worker)].push_back(MeshEdge{v, w, 0, 0});
            ++added;
        }
    });
    const std::size_t before = edges.size();
    for (const auto& list : found) edges.insert(edges.end(), list.begin(), list.end());
    // The same edges whatever the thread count.
    std::sort(edges.begin() + std::ptrdiff_t(before), edges.end(), [](const MeshEdge& a, const MeshEdge& b) {
        return a.firstVertex != b.firstVertex ? a.firstVertex < b.firstVertex : a.secondVertex < b.secondVertex;
    });
    logOut() << "*** Links between touching components: " << edges.size() - before << std::endl;
}

void LabelingResult::setupSymmetricNeighbours(GeneralGraphOptimizer& optimiser, const std::vector<MeshEdge>& sourceEdges,
                                              const std::vector<MeshEdge>& targetEdges,
                                              const std::vector<MeshEdge>& sourceExtraEdges,
                                              const std::vector<MeshEdge>& targetExtraEdges) const {
    const MatchCandidates& mc = *search_;
    const int nS = mc.source->vertexCount();
    const int nT = mc.target->vertexCount();
    const int R = static_cast<int>(mc.sortedTransforms.size());
    std::vector<std::vector<int>> partners(static_cast<std::size_t>(nS) + nT);
    auto add = [&](int a, int b) {
        if (a == b || a < 0 || b < 0 || a >= nS + nT || b >= nS + nT) return;
        if (a > b) std::swap(a, b);
        partners[a].push_back(b);
    };
    for (const MeshEdge& e : sourceEdges) add(e.firstVertex, e.secondVertex);
    for (const MeshEdge& e : targetEdges) add(nS + e.firstVertex, nS + e.secondVertex);
    for (const MeshEdge& e : sourceExtraEdges) add(e.firstVertex, e.secondVertex);
    for (const MeshEdge& e : targetExtraEdges) add(nS + e.firstVertex, nS + e.secondVertex);
    const float threshold = costs.closestPtDistThreshold;
    if (closestPtsSource.size() == static_cast<std::size_t>(nS) * R)
        for (int v = 0; v < nS; ++v)
            for (int k = 0; k < R; ++k) {
                const ClosestPoint& c = closestPtsSource[static_cast<std::size_t>(v) * R + k];
                if (c.distance < threshold) add(v, nS + c.index);
            }
    if (closestPtsTarget.size() == static_cast<std::size_t>(nT) * R)
        for (int u = 0; u < nT; ++u)
            for (int k = 0; k < R; ++k) {
                const ClosestPoint& c = closestPtsTarget[static_cast<std::size_t>(u) * R + k];
                if (c.distance < threshold) add(nS + u, c.index);
            }
    for (int a = 0; a < nS + nT; ++a) {
        std::vector<int>& list = partners[a];
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        for (int b : list) optimiser.addNeighbourPair(a, b, 1.0f);
        std::vector<int>().swap(list);
    }
}

bool LabelingResult::relabel(int solutionType, int dataTermType, bool useDummyLabel, int bdySmoothnessKNN,
                             float closestPtDistThreshold, float mismatchError, float dummyLabelSmoothError,
                             float dummyLabelDataError, float smoothWeight, float dataWeight,
                             float smoothTruncateValue, float dataTruncateValue, const std::vector<int>* initial) {
    const MatchCandidates& mc = *search_;
    if (!hasSortedResult(mc)) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel(): Please perform region match & verify first!"
                  << std::endl;
        return false;
    }
    Mesh3_real* sourceMesh = asMesh(mc.source);
    Mesh3_real* targetMesh = asMesh(mc.target);
    if (!sourceMesh || !targetMesh) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel(): Currently only supports meshes." << std::endl;
        return false;
    }
    if (!sourceMesh->edgeList || !targetMesh->edgeList) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel(): Please precompute edge data for source and "
                     "target meshes!"
                  << std::endl;
        return false;
    }

    const int nS = mc.source->vertexCount();
    const int nT = mc.target->vertexCount();
    const int R = static_cast<int>(mc.sortedTransforms.size());
    const int L = useDummyLabel ? R + 1 : R;

    logOut() << kDashLine << std::endl;
    logOut() << "Starting graph cut optimization (symmetric)..." << std::endl;
    logOut() << "*** Smooth term type: edge-length preserve, label consistency" << std::endl;
    logOut() << "*** Data term type: ";
    if (const char* name = gcDataTermName(dataTermType)) logOut() << name << std::endl;
    logOut() << "*** Using dummy label: " << (useDummyLabel ? 1 : 0) << std::endl;
    logOut() << "*** Extra smoothness constraints: " << bdySmoothnessKNN << " nearest boundary vertices" << std::endl;
    costs.closestPtDistThreshold = closestPtDistThreshold;
    logOut() << "*** Closest point maximum matching distance: " << closestPtDistThreshold << std::endl;
    costs.mismatchError = mismatchError;
    logOut() << "*** Error for penalizing inconsistent labels: " << mismatchError << std::endl;
    costs.dummyLabelSmoothError = dummyLabelSmoothError;
    costs.dummyLabelDataError = dummyLabelDataError;
    logOut() << "*** Penalty for assigning the dummy label (no correspondence, smooth/data): (" << dummyLabelSmoothError
              << "/" << dummyLabelDataError << ")" << std::endl;
    setTermWeights(costs, smoothWeight, dataWeight, smoothTruncateValue, dataTruncateValue);
    logOut() << "*** Number of sites/labels: " << (nS + nT) << "/" << L << std::endl;
    logOut() << "*** Source model vertices / Target model vertices: " << nS << "/" << nT << std::endl;

    MultiLabelOptimizer::DataCostFn dataFn = gcDataTermFunction(dataTermType);
    if (!knownSolutionAndDataTerm(solutionType, dataFn, dataTermType)) return false;
    precomputeClosestPts();
    try {
        GeneralGraphOptimizer optimiser(nS + nT, L);
        if (initial && initial->size() == optimiser.labeling.size() &&
            std::all_of(initial->begin(), initial->end(), [L](int l) { return l >= 0 && l < L; }))
            optimiser.labeling = *initial;
        optimiser.setDataCostFunction(dataFn, this);
        optimiser.setSmoothCostFunction(smoothCost, this);
        optimiser.setReuseFlows(reuseFlows);
        if (labelCost > 0) {
            // Transformation labels only: the dummy label costs nothing to keep.
            std::vector<float> labelCosts(std::size_t(L), labelCost);
            if (useDummyLabel) labelCosts[std::size_t(R)] = 0;
            optimiser.setLabelCosts(labelCosts);
            logOut() << "*** Cost per label used: " << labelCost << std::endl;
        }

        createBoundarySmoothnessEdges(mc.source, bdySmoothnessKNN, boundaryEdgesSource);
        createBoundarySmoothnessEdges(mc.target, bdySmoothnessKNN, boundaryEdgesTarget);
        if (componentLinks > 0) {
            createComponentLinks(mc.source, sourceMesh->edgeList->edges, componentLinks, componentLinkDistance,
                                 boundaryEdgesSource);
            createComponentLinks(mc.target, targetMesh->edgeList->edges, componentLinks, componentLinkDistance,
                                 boundaryEdgesTarget);
        }
        setupSymmetricNeighbours(optimiser, sourceMesh->edgeList->edges, targetMesh->edgeList->edges, boundaryEdgesSource,
                                 boundaryEdgesTarget);

        logOut() << "Before optimization energy is: " << optimiser.computeEnergy() << std::endl;
        if (solutionType == 1) {
            logOut() << "Solving graph cut using swap..." << std::endl;
            optimiser.runSwap(std::numeric_limits<int>::max());
        } else {
            logOut() << "Solving graph cut using expansion..." << std::endl;
            if (useDummyLabel) optimiser.expandLabel(R);
            optimiser.runExpansion(std::numeric_limits<int>::max());
        }
        energy = optimiser.computeEnergy();
        logOut() << "After optimization energy is: " << energy << std::endl;
        nonRegularTerms = optimiser.nonRegularTermCount();
        logOut() << "*** Non-regular smoothness terms truncated: " << nonRegularTerms << std::endl;

        labelsSource.assign(optimiser.labeling.begin(), optimiser.labeling.begin() + nS);
        labelsTarget.assign(optimiser.labeling.begin() + nS, optimiser.labeling.end());
        buildResultRegions(labelsSource, mc.source, mc.sortedTransforms, true, regionsSource, transformsSource);
        buildResultRegions(labelsTarget, mc.target, mc.sortedInverseTransforms, false, regionsTarget, transformsTarget);
    } catch (const OptimizerException& e) {
        reportOptimizerFailure("GraphCutRelabel", e.what());
        return false;
    } catch (const FlowGraphError& e) {
        reportOptimizerFailure("GraphCutRelabel", e.what());
        return false;
    }
    logOut() << "...done!" << std::endl;
    return true;
}

bool LabelingResult::relabelForward(int solutionType, int dataTermType, float smoothWeight, float dataWeight,
                                    float smoothTruncateValue, float dataTruncateValue) {
    const MatchCandidates& mc = *search_;
    if (!hasSortedResult(mc)) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel(): Please perform region match & verify first!"
                  << std::endl;
        return false;
    }
    Mesh3_real* sourceMesh = asMesh(mc.source);
    if (!sourceMesh) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel_Forward(): Currently only supports meshes." << std::endl;
        return false;
    }
    if (!sourceMesh->edgeList) {
        logErr() << "Error in MatchCandidates::GraphCutRelabel_Forward(): Please precompute edge data for source mesh!"
                  << std::endl;
        return false;
    }

    const int nS = mc.source->vertexCount();
    const int R = static_cast<int>(mc.sortedTransforms.size());

    logOut() << kDashLine << std::endl;
    logOut() << "Starting graph cut optimization (forward)..." << std::endl;
    logOut() << "*** Smooth term type: edge-length preserve, label consistency" << std::endl;
    logOut() << "*** Data term type: ";
    if (const char* name = gcDataTermName(dataTermType)) logOut() << name << std::endl;
    setTermWeights(costs, smoothWeight, dataWeight, smoothTruncateValue, dataTruncateValue);
    logOut() << "*** Number of sites/labels: " << nS << "/" << R << std::endl;
    logOut() << "*** Source model vertices: " << nS << std::endl;

    MultiLabelOptimizer::DataCostFn dataFn = gcDataTermFunction(dataTermType);
    if (!knownSolutionAndDataTerm(solutionType, dataFn, dataTermType)) return false;
    precomputeClosestPts();
    try {
        GeneralGraphOptimizer optimiser(nS, R);
        optimiser.setDataCostFunction(dataFn, this);
        optimiser.setSmoothCostFunction(smoothCost, this);
        optimiser.setReuseFlows(reuseFlows);
        for (const MeshEdge& e : sourceMesh->edgeList->edges) optimiser.addNeighbourPair(e.firstVertex, e.secondVertex, 1.0f);

        float forwardEnergy = optimiser.computeEnergy();
        logOut() << "Before optimization energy is: " << forwardEnergy << std::endl;
        if (solutionType == 1) {
            logOut() << "Solving graph cut using swap..." << std::endl;
            forwardEnergy = optimiser.runSwap(std::numeric_limits<int>::max());
        } else {
            logOut() << "Solving graph cut using expansion..." << std::endl;
            forwardEnergy = optimiser.runExpansion(std::numeric_limits<int>::max());
        }
        logOut() << "After optimization energy is: " << forwardEnergy << std::endl;
        nonRegularTerms = optimiser.nonRegularTermCount();
        logOut() << "*** Non-regular smoothness terms truncated: " << nonRegularTerms << std::endl;

        labelsSource = optimiser.labeling;
        labelsTarget.clear();
        regionsTarget.clear();
        transformsTarget.clear();
        buildResultRegions(labelsSource, mc.source, mc.sortedTransforms, true, regionsSource, transformsSource);
    } catch (const OptimizerException& e) {
        reportOptimizerFailure("GraphCutRelabel_Forward", e.what());
        return false;
    } catch (const FlowGraphError& e) {
        reportOptimizerFailure("GraphCutRelabel_Forward", e.what());
        return false;
    }
    logOut() << "...done!" << std::endl;
    return true;
}
