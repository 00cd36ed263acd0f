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
