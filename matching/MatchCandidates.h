#pragma once
#include <string>
#include <vector>

#include "spatial/CorrespondenceList.h"
#include "spatial/FeatureSetANN.h"
#include "spatial/PointSetANN.h"
#include "matching/Clusters.h"
#include "matching/RigidTransform.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

// The correspondence search between a source and a target shape. It samples both shapes, pairs
// source samples with target samples, turns every pair into a rigid transformation and a twist,
// clusters the twists by mean shift (clusterMotions, MeanShift.h, whose result it keeps), verifies the cluster modes by
// region growing on the full shapes (verifyRegions, Verify.h) and keeps the largest verified
// regions for the label optimisation.
//
// The two full shapes are not owned; the samples and every result are.
class MatchCandidates {
public:
    // ---- candidate pairs (indices into sourceSample / targetSample) ----
    std::vector<int> sourceIndex;
    std::vector<int> targetIndex;
    // One twist per pair (translation normalised by translationMean / translationScale).
    FeatureSetANN transformationSpace;

    // ---- clusters of the twists (clusterMotions, MeanShift.h) ----
    Clusters clusters;

    // ---- verification: one entry per cluster (index = cluster index) ----
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> regionTransforms;  // identity for clusters not verified

    PointSetANN auxiliaryPoints;  // released by cleanANNData; not used by the search itself

    // ---- sorted result, largest region first ----
    int resultMinRegionSize;  // limits of the last sortResult
    int resultMaxRegions;
    std::vector<CorrespondenceList> sortedRegions;
    std::vector<RigidTransform> sortedTransforms;
    std::vector<RigidTransform> sortedInverseTransforms;

    // ---- shapes ----
    ShapeModel* source;        // full source shape, not owned
    ShapeModel* target;        // full target shape, not owned
    ShapeModel* sourceSample;  // owned sub-sample of source, or null
    ShapeModel* targetSample;  // owned sub-sample of target, or null

    // ---- transformation space ----
    // Per pair: the motion carrying the source sample vertex and its frame onto the target sample
    // vertex and its frame. After population the translations are normalised.
    std::vector<RigidTransform> transformations;
    float translationMean[3];
    float translationScale;

    MatchCandidates(ShapeModel* sourceShape, ShapeModel* targetShape);
    ~MatchCandidates();
    MatchCandidates(const MatchCandidates&) = delete;
    MatchCandidates& operator=(const MatchCandidates&) = delete;

    // Number of candidate pairs; reports inconsistent pair lists on standard error.
    int size() const;
    // Releases every kd-tree (own sets, both shapes, both samples) and deletes the samples.
    // Candidate pairs and clusters are kept.
    void cleanANNData();
    void clearCandidates();
    // Appends the pair when its transformation can be formed (finite frames); returns whether it did.
    bool addCandidate(int sourceVertex, int targetVertex);

    // Draws a new sample of a shape only when there is none or its vertex count differs from the
    // requested count. A new sample discards the clusters and the candidate pairs that referred to
    // the old one.
    void subsample(int sourceCount, int targetCount, float ratio);

    // Pairs every source sample with the (at most maxMatches, nearest first; negative = all) target
    // samples within sqrt(sqRadius) in feature space.
    void findCandidateCorrespondence(float sqRadius, int maxMatches, float annEpsilon);
    // Pairs vertex i of the source with vertex i of the target (the samples become clones of the
    // full shapes). Earlier candidates are discarded.
    void groundTruthCorrespondence();
    // Pairs every source sample with its most similar target samples by spin image.
    void spinImageCandidates(int maxMatches);

    // Binary file: int32 6, int32 pair count, then 6 float32 per pair (its twist). Returns false
    // when the file cannot be opened.
    bool writeData(const std::string& fileName);

    // ---- selection queries of the viewers (selections are vertex indices of the full shapes) ----

    // One entry per sample vertex: true when a selected vertex of `shape` coincides with it.
    static std::vector<bool> sampleMask(ShapeModel* shape, ShapeModel* sample,
                                        const std::vector<int>& selectedVertices);
    // Ascending indices of the pairs whose source and target sample vertices are both selected.
    std::vector<int> pairsBetween(const std::vector<int>& sourceSelection,
                                  const std::vector<int>& targetSelection);
    // Ascending distinct cluster labels of pairsBetween.
    std::vector<int> clustersBetween(const std::vector<int>& sourceSelection,
                                     const std::vector<int>& targetSelection);

    // ---- transformation space ----

    // Motion carrying the frame of source sample vertex i onto that of target sample vertex j
    // (frames at the last scale). False when a frame entry is not finite or missing.
    bool pairTransform(int sourceVertex, int targetVertex, RigidTransform& out) const;
    // Centres the pair translations and divides them by the spread of their lengths. The spread
    // falls back to 1 (with a warning) when it is not a positive finite number.
    void normalizeTranslations();
    // Normalises the translations and stores one twist per pair; clears the clusters.
    void populateTransformationSpace();
    // Motion of cluster mode c in model units (normalisation undone).
    RigidTransform clusterTransform(int c) const;

    // ---- result of the verification (regions filled by verifyRegions, Verify.h) ----

    // Keeps the regions larger than minRegionSize, at most maxRegions (negative = all), largest
    // first, with their transformations and inverses.
    void sortResult(unsigned int minRegionSize, int maxRegions);
    // Keeps, instead of the largest regions, those that cover the source best: repeatedly the
    // region (larger than minRegionSize) adding the most source vertices not yet covered, while it
    // adds at least minFraction of the source vertices, at most maxRegions (negative = all). The
    // other regions are emptied, so that sortResult (and a result file read back) gives the same
    // labels; then sorts as sortResult does.
    void selectCoveringRegions(unsigned int minRegionSize, int maxRegions, float minFraction);
    // Ascending indices of the sorted regions holding a correspondence from a selected source vertex.
    std::vector<int> regionsContaining(const std::vector<int>& sourceSelection) const;
};

// Iterative closest points starting from T (defined in Verify.cpp): at most 100 rounds of closest
// surface points on targetShape and a least-squares fit. Lists of 2 or fewer correspondences
// return T unchanged. Afterwards the list's target points hold its source points moved by the
// returned motion. stopMovement > 0 (model units) also stops once the points move less than that
// (root mean square) in one round. maxPoints > 0 fits to every k-th correspondence only, k chosen
// so that at most maxPoints take part; all target points are still moved at the end.
RigidTransform registerICP(CorrespondenceList& list, ShapeModel& targetShape, const RigidTransform& T,
                           float stopMovement = 0.0f, int maxPoints = 0);

}  // namespace veltrix
