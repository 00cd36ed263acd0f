#include "labeling/GraphCutResult.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "geometry/CacheFile.h"
#include "graphcut/FlowGraph.h"
#include "labeling/GraphCutRelabel.h"
#include "labeling/LabelingResult.h"
#include "core/Parallel.h"
#include "core/Progress.h"

namespace veltrix {

namespace {

const float kLargestFloat = 3.4028235e38f;

// Finite and not absurdly large: no shape this program loads reaches 1e15 in any coordinate.
bool plausible(const float* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!(std::fabs(values[i]) <= 1e15f)) return false;
    return true;
}

}  // namespace

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

namespace {

const std::string kDashLine(79, '-');

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

// The optimiser hands its user pointer back untyped; this restores the result.
float smoothCost(int site1, int site2, int label1, int label2, void* result) {
    return gcSmoothTerm(site1, site2, label1, label2, *static_cast<const LabelingResult*>(result));
}

}  // namespace

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
            Vec3f& p = moved[std::size_t(k) * std::size_t(from.vertexCount()) + std::size_t(v)];
            p = T.apply(from.vertices.point(v));
            std::pair<int, float> c = to.closestDistance(p, previous[worker]);
            closest[at] = ClosestPoint{c.first, c.second};
            previous[worker] = c.first;
        });
    };
    auto copy = [&](const std::vector<ClosestPoint>& from, const std::vector<Vec3f>& fromMoved, int n, int k, int j,
                    std::vector<ClosestPoint>& to, std::vector<Vec3f>& toMoved) {
        for (int v = 0; v < n; ++v) {
            to[std::size_t(v) * R + std::size_t(k)] = from[std::size_t(v) * oldR + std::size_t(j)];
            toMoved[std::size_t(k) * std::size_t(n) + std::size_t(v)] = fromMoved[std::size_t(j) * std::size_t(n) + std::size_t(v)];
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

}  // namespace veltrix
