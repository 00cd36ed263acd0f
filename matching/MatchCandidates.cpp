#include "matching/MatchCandidates.h"
#include "core/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "geometry/CacheFile.h"
#include "core/Progress.h"
#include "geometry/Sampling.h"

namespace veltrix {

namespace {

const char* const kDashLine = "-------------------------------------------------------------------------------";

void releaseShapeTrees(ShapeModel* shape) {
    if (!shape) return;
    shape->vertices.releaseTree();
    shape->normals.releaseTree();
    if (shape->features) shape->features->releaseTree();
}

// Frame matrix at the last scale: columns minDirection, maxDirection, normal (row-major).
// False when the vertex has no usable frame.
bool frameMatrix(const ShapeModel& shape, int v, float F[9]) {
    if (v < 0 || v >= static_cast<int>(shape.frames.size()) || shape.frames[v].empty()) return false;
    const PrincipalFrame& f = shape.frames[v].back();
    const Vec3f cols[3] = {f.minDirection, f.maxDirection, f.normal};
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) F[3 * r + c] = cols[c][r];
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(F[i])) return false;
    // Vertices that are not interior carry all-zero frames; such a frame defines no rotation.
    // A valid frame is orthonormal, so its determinant is +1 or -1.
    return std::fabs(det3(F)) > 0.5f;
}

// A * B^T for row-major 3x3 matrices.
void mulTransposed(const float A[9], const float B[9], float C[9]) {
    float Bt[9];
    transpose3(B, Bt);
    matMul3(A, Bt, C);
}

}  // namespace

MatchCandidates::MatchCandidates(ShapeModel* sourceShape, ShapeModel* targetShape)
    : transformationSpace(6),
      resultMinRegionSize(0),
      resultMaxRegions(0),
      source(sourceShape),
      target(targetShape),
      sourceSample(nullptr),
      targetSample(nullptr),
      translationMean{0.0f, 0.0f, 0.0f},
      translationScale(1.0f) {}

MatchCandidates::~MatchCandidates() { cleanANNData(); }

int MatchCandidates::size() const {
    if (sourceIndex.size() != targetIndex.size())
        logErr() << "Error in MatchCandidates::size(): size of correspondence list is inconsistent!"
                  << std::endl;
    return static_cast<int>(sourceIndex.size());
}

void MatchCandidates::cleanANNData() {
    logOut() << "*** Cleaning all associated ANN data..." << std::endl;
    transformationSpace.releaseTree();
    clusters.modes.releaseTree();
    auxiliaryPoints.releaseTree();
    releaseShapeTrees(source);
    releaseShapeTrees(target);
    releaseShapeTrees(sourceSample);
    releaseShapeTrees(targetSample);
    delete sourceSample;
    sourceSample = nullptr;
    delete targetSample;
    targetSample = nullptr;
}

void MatchCandidates::clearCandidates() {
    sourceIndex.clear();
    targetIndex.clear();
    transformations.clear();
    transformationSpace.clear();
}

bool MatchCandidates::addCandidate(int sourceVertex, int targetVertex) {
    RigidTransform T;
    if (!pairTransform(sourceVertex, targetVertex, T)) return false;
    sourceIndex.push_back(sourceVertex);
    targetIndex.push_back(targetVertex);
    transformations.push_back(T);
    return true;
}

void MatchCandidates::subsample(int sourceCount, int targetCount, float ratio) {
    if (source && (!sourceSample || sourceSample->vertexCount() != sourceCount)) {
        delete sourceSample;
        sourceSample = subSample(*source, sourceCount, ratio);
        if (sourceSample)
            logOut() << "*** Subsampling source model: " << sourceSample->vertexCount() << " vertices."
                      << std::endl;
        else
            logOut() << "*** Error sampling source model!" << std::endl;
        // The pairs index vertices of the sample just replaced.
        clearCandidates();
        clusters.clear();
    }
    if (target && (!targetSample || targetSample->vertexCount() != targetCount)) {
        delete targetSample;
        targetSample = subSample(*target, targetCount, ratio);
        if (targetSample)
            logOut() << "***Subsampling target model: " << targetSample->vertexCount() << " vertices."
                      << std::endl;
        else
            logOut() << "***Error sampling target model!" << std::endl;
        clearCandidates();
        clusters.clear();
    }
}

void MatchCandidates::findCandidateCorrespondence(float sqRadius, int maxMatches, float annEpsilon) {
    if (!sourceSample || !targetSample) {
        logErr() << "Error in MatchCandidates::findCandidateCorrespondence(): Please generate a sample first!"
                  << std::endl;
        return;
    }
    if (!sourceSample->features || !targetSample->features) {
        logErr() << "Error in MatchCandidates::findCandidateCorrespondence(): The samples have no features!"
                  << std::endl;
        return;
    }
    logOut() << kDashLine << std::endl
              << "Starting feature-based pairing..." << std::endl
              << "*** Squared distance for feature space range query: " << sqRadius << std::endl
              << "*** Maximum matches per vertex: " << maxMatches << std::endl
              << "*** ANN Epsilon for feature space range query: " << annEpsilon << std::endl
              << "Progress..." << std::flush;
    const int n = sourceSample->vertexCount();
    progress(n, true);

    clearCandidates();
    FeatureSetANN& targetFeatures = *targetSample->features;
    const FeatureSetANN& sourceFeatures = *sourceSample->features;
    targetFeatures.setEpsilon(annEpsilon);
    std::vector<int> indices;
    std::vector<float> distances;
    const FeatureVector empty;
    for (int i = 0; i < n; ++i) {
        const FeatureVector& query = i < sourceFeatures.size() ? sourceFeatures.point(i) : empty;
        targetFeatures.rangeQuery(query, sqRadius, indices, distances, true);
        // A negative maximum reads as a huge unsigned count: every result is taken.
        const std::size_t count = std::min<std::size_t>(static_cast<unsigned int>(maxMatches), indices.size());
        for (std::size_t j = 0; j < count; ++j) addCandidate(i, indices[j]);
        progress(i, false);
    }
    logOut() << "...done!" << std::endl;
    populateTransformationSpace();
}

void MatchCandidates::groundTruthCorrespondence() {
    if (!source || !target || source->vertexCount() != target->vertexCount()) {
        logErr() << "Error in MatchCandidates::groundTruthCorrespondence(): Source/Target meshes must have "
                     "per-vertex correspondence!"
                  << std::endl;
        return;
    }
    logOut() << "Using ground truth correspondences..." << std::flush;
    cleanANNData();
    // Earlier pairs indexed the samples just deleted.
    clearCandidates();
    sourceSample = source->clone();
    targetSample = target->clone();
    const int n = sourceSample->vertexCount();
    for (int i = 0; i < n; ++i) addCandidate(i, i);
    populateTransformationSpace();
    logOut() << " done!" << std::endl;
}

void MatchCandidates::spinImageCandidates(int maxMatches) {
    if (!sourceSample || !targetSample) {
        logErr() << "Error in MatchCandidates::spinImageCandidates(): Please generate a sample first!" << std::endl;
        return;
    }
    logOut() << kDashLine << std::endl
              << "Starting spin image based pairing..." << std::endl
              << "*** Expected bin overlap: " << targetSample->spinImages.expectedOverlap << std::endl
              << "*** Maximum matches per vertex: " << maxMatches << std::endl
              << "Progress..." << std::flush;
    const int n = sourceSample->vertexCount();
    progress(n, true);
    clearCandidates();
    const std::vector<SpinImage>& images = sourceSample->spinImages.images;
    std::vector<int> similar;
    for (int i = 0; i < n; ++i) {
        similar.clear();
        if (i < static_cast<int>(images.size()) && !images[i].empty())
            targetSample->spinImages.querySimilar(images[i], similar, nullptr);
        const std::size_t count = std::min<std::size_t>(static_cast<unsigned int>(maxMatches), similar.size());
        for (std::size_t j = 0; j < count; ++j) addCandidate(i, similar[j]);
        progress(i, false);
    }
    logOut() << "...done!" << std::endl;
    populateTransformationSpace();
}

bool MatchCandidates::writeData(const std::string& fileName) {
    CacheWriter out(fileName);
    if (!out.isOpen()) {
        logErr() << "Error in MatchCandidates::writeData(): Could not open output file " << fileName
                  << " for writing!" << std::endl;
        return false;
    }
    logOut() << "Saving feature points in " << fileName << " ..." << std::flush;
    const int n = size();
    out.writeInt32(6);
    out.writeInt32(n);
    progress(n, true);
    for (int i = 0; i < n; ++i) {
        const FeatureVector* twist = i < transformationSpace.size() ? &transformationSpace.point(i) : nullptr;
        float values[6];
        for (int c = 0; c < 6; ++c)
            values[c] = (twist && c < static_cast<int>(twist->size())) ? (*twist)[c] : 0.0f;
        out.writeFloats(values, 6);
        progress(i, false);
    }
    // A write that failed (a full disk) leaves any earlier file as it was and is reported.
    if (!out.commit()) {
        logOut() << std::endl;
        logErr() << "Error in MatchCandidates::writeData(): Could not write output file " << fileName << "!"
                  << std::endl;
        return false;
    }
    logOut() << "...done!" << std::endl;
    return true;
}

std::vector<bool> MatchCandidates::sampleMask(ShapeModel* shape, ShapeModel* sample,
                                              const std::vector<int>& selectedVertices) {
    std::vector<bool> mask;
    if (!shape || !sample) return mask;
    mask.assign(sample->vertexCount(), false);
    if (sample->vertexCount() == 0) return mask;
    std::vector<int> indices;
    std::vector<float> distances;
    for (int v : selectedVertices) {
        if (v < 0 || v >= shape->vertexCount()) continue;
        sample->vertices.knnQuery(shape->vertices.point(v), 1, indices, distances, true);
        if (!indices.empty() && distances[0] < 1.1920929e-7f) mask[indices[0]] = true;
    }
    return mask;
}

std::vector<int> MatchCandidates::pairsBetween(const std::vector<int>& sourceSelection,
                                               const std::vector<int>& targetSelection) {
    std::vector<int> pairs;
    const int n = size();
    if (n == 0) return pairs;
    const std::vector<bool> sourceMask = sampleMask(source, sourceSample, sourceSelection);
    const std::vector<bool> targetMask = sampleMask(target, targetSample, targetSelection);
    for (int k = 0; k < n; ++k) {
        const int s = sourceIndex[k], t = targetIndex[k];
        if (s >= 0 && s < static_cast<int>(sourceMask.size()) && sourceMask[s] && t >= 0 &&
            t < static_cast<int>(targetMask.size()) && targetMask[t])
            pairs.push_back(k);
    }
    return pairs;
}

std::vector<int> MatchCandidates::clustersBetween(const std::vector<int>& sourceSelection,
                                                  const std::vector<int>& targetSelection) {
    std::vector<int> labels;
    if (clusters.label.empty() || clusters.modes.size() == 0) return labels;
    for (int k : pairsBetween(sourceSelection, targetSelection))
        if (k < static_cast<int>(clusters.label.size())) labels.push_back(clusters.label[k]);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    return labels;
}

// ---- transformation space ----

bool MatchCandidates::pairTransform(int sourceVertex, int targetVertex, RigidTransform& out) const {
    if (!sourceSample || !targetSample) return false;
    if (sourceVertex < 0 || sourceVertex >= sourceSample->vertexCount() || targetVertex < 0 ||
        targetVertex >= targetSample->vertexCount())
        return false;
    float Fs[9], Ft[9];
    if (!frameMatrix(*sourceSample, sourceVertex, Fs) || !frameMatrix(*targetSample, targetVertex, Ft))
        return false;
    float R[9];
    mulTransposed(Ft, Fs, R);
    if (det3(R) < 0) {
        // Opposite handedness: flip the target direction that agrees less with its source
        // counterpart, so that exactly one proper rotation comes out.
        const float a = Ft[0] * Fs[0] + Ft[3] * Fs[3] + Ft[6] * Fs[6];  // min directions
        const float b = Ft[1] * Fs[1] + Ft[4] * Fs[4] + Ft[7] * Fs[7];  // max directions
        const int column = (b > a) ? 0 : 1;
        for (int r = 0; r < 3; ++r) Ft[3 * r + column] = -Ft[3 * r + column];
        mulTransposed(Ft, Fs, R);
    }
    for (int i = 0; i < 9; ++i) out.R[i] = R[i];
    const Vec3f xs = sourceSample->vertices.point(sourceVertex);
    const Vec3f xt = targetSample->vertices.point(targetVertex);
    const Vec3f Rxs = out.rotate(xs);
    out.t[0] = xt.x - Rxs.x;
    out.t[1] = xt.y - Rxs.y;
    out.t[2] = xt.z - Rxs.z;
    return true;
}

void MatchCandidates::normalizeTranslations() {
    const std::size_t n = transformations.size();
    double c[3] = {0, 0, 0};
    for (const RigidTransform& T : transformations)
        for (int a = 0; a < 3; ++a) c[a] += T.t[a];
    if (n > 0)
        for (int a = 0; a < 3; ++a) c[a] /= double(n);
    double s1 = 0, s2 = 0;
    for (RigidTransform& T : transformations) {
        for (int a = 0; a < 3; ++a) T.t[a] = float(T.t[a] - c[a]);
        const double len2 = double(T.t[0]) * T.t[0] + double(T.t[1]) * T.t[1] + double(T.t[2]) * T.t[2];
        s1 += std::sqrt(len2);
        s2 += len2;
    }
    double sigma = n > 1 ? std::sqrt((s2 - s1 * s1 / double(n)) / double(n - 1)) : 0.0;
    // With fewer than two pairs, or equal translation lengths, there is no spread to divide by:
    // dividing by 0 would make every twist non-finite, and dividing by a spread that is only
    // rounding noise (relative to the translations themselves) would scatter equal motions.
    const double reference = std::max(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]), n > 0 ? s1 / double(n) : 0.0);
    if (!(sigma > 1e-5 * reference) || !std::isfinite(sigma)) {
        logErr() << "Warning in MatchCandidates::normalizeTranslations(): translation spread is " << sigma
                  << " over " << n << " pairs, using scale 1!" << std::endl;
        sigma = 1.0;
    }
    const float scale = float(sigma);
    for (RigidTransform& T : transformations)
        for (int a = 0; a < 3; ++a) T.t[a] /= scale;
    for (int a = 0; a < 3; ++a) translationMean[a] = float(c[a]);
    translationScale = scale;
}

void MatchCandidates::populateTransformationSpace() {
    logOut() << "Normalizing translations..." << std::flush;
    normalizeTranslations();
    logOut() << "done!" << std::endl;

    logOut() << "Populating transformation space..." << std::flush;
    const int n = static_cast<int>(transformations.size());
    // The twists are rewritten in place; a tree over older twists must not survive.
    transformationSpace.releaseTree();
    transformationSpace.resize(n);
    progress(n, true);
    for (int k = 0; k < n; ++k) {
        const RigidTransform& T = transformations[k];
        const Twist twist = transformToTwist(T);
        bool finite = true;
        for (float c : twist) finite = finite && std::isfinite(c);
        if (!finite) {
            logOut() << "Infinite-valued transform pair at index " << k << ": transform " << std::endl << std::endl;
            printMatrix3(logOut(), T.R);
            logOut() << std::endl;
            printVector3(logOut(), T.t);
            logOut() << std::endl << " twist vector: ";
            printVector(logOut(), twist.data(), 6);
            logOut() << std::endl;
        }
        transformationSpace.point(k).assign(twist.begin(), twist.end());
        progress(k, false);
    }
    logOut() << "...done!" << std::endl;
    logOut() << "*** Found total " << size() << " pairs!" << std::endl;
    clusters.clear();
}

RigidTransform MatchCandidates::clusterTransform(int c) const {
    if (c < 0 || c >= clusters.modes.size()) {
        logErr() << "Error in MatchCandidates::clusterTransform(): no cluster " << c << "!" << std::endl;
        return RigidTransform();
    }
    const FeatureVector& mode = clusters.modes.point(c);
    float twist[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6 && i < static_cast<int>(mode.size()); ++i) twist[i] = mode[i];
    RigidTransform T = twistToTransform(twist);
    for (int a = 0; a < 3; ++a) T.t[a] = translationMean[a] + translationScale * T.t[a];
    return T;
}

void MatchCandidates::sortResult(unsigned int minRegionSize, int maxRegions) {
    logOut() << "*** Sorting match & verify result..." << std::endl
              << "*** Minimum verified region size: " << minRegionSize << std::endl
              << "*** Maximum number verified regions: " << maxRegions << std::endl;
    std::vector<int> order(regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return regions[a].size() > regions[b].size(); });
    sortedRegions.clear();
    sortedTransforms.clear();
    for (std::size_t i = 0; i < order.size(); ++i) {
        const CorrespondenceList& region = regions[order[i]];
        if (static_cast<unsigned int>(region.size()) <= minRegionSize) break;
        if (maxRegions >= 0 && i >= static_cast<std::size_t>(maxRegions)) break;
        sortedRegions.push_back(region);
        sortedTransforms.push_back(order[i] < static_cast<int>(regionTransforms.size())
                                       ? regionTransforms[order[i]]
                                       : RigidTransform());
    }
    sortedInverseTransforms.clear();
    for (const RigidTransform& T : sortedTransforms) sortedInverseTransforms.push_back(invertTransform(T));
    resultMinRegionSize = static_cast<int>(minRegionSize);
    resultMaxRegions = maxRegions;
    logOut() << "...done!" << std::endl;
}

std::vector<int> MatchCandidates::regionsContaining(const std::vector<int>& sourceSelection) const {
    std::vector<int> result;
    if (regions.empty() || regionTransforms.empty()) return result;
    std::vector<int> selected(sourceSelection);
    std::sort(selected.begin(), selected.end());
    for (std::size_t r = 0; r < sortedRegions.size(); ++r) {
        for (int v : sortedRegions[r].sourceIndices)
            if (std::binary_search(selected.begin(), selected.end(), v)) {
                result.push_back(static_cast<int>(r));
                break;
            }
    }
    return result;
}

void MatchCandidates::selectCoveringRegions(unsigned int minRegionSize, int maxRegions, float minFraction) {
    const int n = source ? source->vertexCount() : 0;
    std::vector<bool> covered(static_cast<std::size_t>(n), false);
    std::vector<bool> chosen(regions.size(), false);
    const double minGain = std::max(1.0, double(minFraction) * n);
    int count = 0;
    while (maxRegions < 0 || count < maxRegions) {
        int best = -1, bestGain = 0;
        for (std::size_t r = 0; r < regions.size(); ++r) {
            if (chosen[r] || static_cast<unsigned int>(regions[r].size()) <= minRegionSize) continue;
            int gain = 0;
            for (int v : regions[r].sourceIndices) gain += v >= 0 && v < n && !covered[std::size_t(v)];
            if (gain > bestGain) {
                best = int(r);
                bestGain = gain;
            }
        }
        if (best < 0 || bestGain < minGain) break;
        chosen[std::size_t(best)] = true;
        for (int v : regions[std::size_t(best)].sourceIndices)
            if (v >= 0 && v < n) covered[std::size_t(v)] = true;
        ++count;
    }
    for (std::size_t r = 0; r < regions.size(); ++r)
        if (!chosen[r]) regions[r] = CorrespondenceList();
    logOut() << "*** Regions chosen by coverage: " << count << std::endl;
    sortResult(minRegionSize, maxRegions);
}

}  // namespace veltrix
