// The unattended pipeline, the automatic modes and the alignment error.
#include "AutoProcess.h"
#include "Log.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <iostream>

#include "LabelingResult.h"
#include "MatchCandidates.h"
#include "Scene.h"
#include "StageTimers.h"

const char* const kPipelineStages[kPipelineStageCount] = {
    "Sub-sampling geometry", "Populating correspondence candidates", "Mean-shift clustering",
    "Extracting dense correspondences (ICP)", "Graph cut optimization"};

namespace {

const std::string kDashes(79, '-');

const char* const* const kStages = kPipelineStages;

bool hasShapes(const Scene& scene, const char* operation) {
    if (scene.source && scene.target) return true;
    logErr() << "Error in " << operation << "(): no source and target shapes loaded." << std::endl;
    return false;
}

}  // namespace

void Scene::subsampleShapes(MatchCandidates& mc) const {
    mc.subsample(featureSamplesSource, featureSamplesTarget, pruneMaxRatio_FM);
}

void Scene::pairSamples(MatchCandidates& mc) const {
    if (featureType == 5)
        mc.spinImageCandidates(maxCandidates_FM);
    else
        mc.findCandidateCorrespondence(radius_FM * radius_FM, maxCandidates_FM, ANNEpsilon_FM);
}

void Scene::clusterTransformations(MatchCandidates& mc) const {
    mc.meanShift(radius_MS * radius_MS, rate_MS, int(maxIter_MS), ANNEpsilon_MS);
}

void Scene::verifyClusters(MatchCandidates& mc) const {
    // Negative minimum sizes mean "no minimum" for the unsigned size limits.
    unsigned int minCluster = unsigned(minVerifyClusterSize > 0 ? minVerifyClusterSize : 0);
    if (skipVerification_VR)
        mc.skipVerify(minCluster, maxNumVerifyClusters_VR);
    else
        mc.verifyRegion(minCluster, maxNumVerifyClusters_VR, percentOfDiagonal(growRegionDistThreshold_VR),
                        ANNEpsilon_VR, icpSchedule());
    keepLargestRegions(mc);
}

IcpSchedule Scene::icpSchedule() const {
    IcpSchedule schedule;
    schedule.refitStepFraction = icpRefitStep_VR > 0 ? icpRefitStep_VR / 100.0f : 0.0f;
    schedule.stopMovement = icpStopMovement_VR > 0 ? percentOfDiagonal(icpStopMovement_VR) : 0.0f;
    schedule.maxPoints = icpMaxPoints_VR > 0 ? icpMaxPoints_VR : 0;
    return schedule;
}

void Scene::keepLargestRegions(MatchCandidates& mc) const {
    const unsigned minRegion = unsigned(minMatchSize_VR > 0 ? minMatchSize_VR : 0);
    if (coverageMinFraction_VR > 0)
        mc.selectCoveringRegions(minRegion, maxNumLabels_GC, coverageMinFraction_VR);
    else
        mc.sortResult(minRegion, maxNumLabels_GC);
}

bool Scene::relabel(MatchCandidates& mc, LabelingResult& result, bool searchAgain,
                    const std::vector<int>* initial) const {
    bool relabelled = false;
    result.reuseFlows = reuseFlows_GC;
    if (graphCutInstance_GC == 1) {
        const unsigned minRegion = unsigned(minMatchSize_VR > 0 ? minMatchSize_VR : 0);
        auto relabelOnce = [&](const std::vector<int>* start = nullptr) {
            return result.relabel(graphCutSolutionType_GC, dataTermType_GC, useDummyLabel_GC, bdySmoothnessKNN_GC,
                               percentOfDiagonal(closestPtDistThreshold_GC), percentOfDiagonal(mismatchError_GC),
                               percentOfDiagonal(dummyLabelSmoothError_GC),
                               percentOfDiagonal(dummyLabelDataError_GC), smoothWeight_GC, dataWeight_GC,
                               percentOfDiagonal(smoothTruncateValue_GC), percentOfDiagonal(dataTruncateValue_GC),
                               start);
        };
        // Alternation: refit the motions to the labelling and relabel while the energy falls; a
        // round that does not lower it is undone.
        auto refine = [&]() {
            for (int round = 0; round < refitRounds_GC && !result.labelsSource.empty(); ++round) {
                const float energy = result.energy;
                const std::vector<RigidTransform> transforms = mc.regionTransforms;
                if (refitSortedTransforms(mc, result) == 0) break;
                relabelOnce();
                logOut() << "*** Refit round " << round + 1 << ": energy " << energy << " -> " << result.energy
                          << std::endl;
                if (result.energy < energy) continue;
                mc.regionTransforms = transforms;
                mc.sortResult(minRegion, mc.resultMaxRegions);
                relabelOnce();
                break;
            }
        };
        relabelled = relabelOnce(initial);
        if (relabelled) refine();
        for (int round = 0; searchAgain && relabelled && round < secondSearch_VR && !result.labelsSource.empty();
             ++round) {
            if (searchUnexplained(mc, result, percentOfDiagonal(badlyExplained_VR),
                                  percentOfDiagonal(growRegionDistThreshold_VR), minRegion) == 0)
                break;
            const float energy = result.energy;
            keepLargestRegions(mc);
            relabelOnce();
            refine();
            if (!(result.energy < energy)) break;  // the new regions did not improve the labelling
        }
    } else if (graphCutInstance_GC == 2) {
        relabelled = result.relabelForward(graphCutSolutionType_GC, dataTermType_GC, smoothWeight_GC, dataWeight_GC,
                                   percentOfDiagonal(smoothTruncateValue_GC),
                                   percentOfDiagonal(dataTruncateValue_GC));
    } else {
        logErr() << "Unknown graph cut instance type " << graphCutInstance_GC << "!" << std::endl;
    }
    return relabelled;
}

bool Scene::searchAndRelabel(bool resume) {
    MatchCandidates& mc = *matchCandidates;
    auto begin = [resume](const char* stage) { resume ? resumeTimer(stage) : startTimer(stage); };

    begin(kStages[0]);
    subsampleShapes(mc);
    stopTimer(kStages[0]);

    begin(kStages[1]);
    pairSamples(mc);
    stopTimer(kStages[1]);

    begin(kStages[2]);
    clusterTransformations(mc);
    stopTimer(kStages[2]);

    begin(kStages[3]);
    verifyClusters(mc);
    stopTimer(kStages[3]);

    begin(kStages[4]);
    const bool relabelled = relabel(mc, *labeling);
    stopTimer(kStages[4]);
    return relabelled;
}

namespace {

// Motions gathered from several searches, each with the vertices its labelling gave it.
struct LabelPool {
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> transforms;

    // Adds every label the labelling uses on either shape, with the source vertices it holds and
    // the target vertices it holds moved back onto the source, as a region. Returns the pool index
    // of each label of the search (-1 for a label used nowhere).
    std::vector<int> add(const MatchCandidates& mc, const LabelingResult& result) {
        const std::size_t R = mc.sortedTransforms.size();
        std::vector<CorrespondenceList> held(R);
        for (std::size_t v = 0; v < result.labelsSource.size(); ++v) {
            const int label = result.labelsSource[v];
            if (label < 0 || std::size_t(label) >= R) continue;
            const Vec3f x = mc.source->vertices.point(int(v));
            const Vec3f y = mc.sortedTransforms[std::size_t(label)].apply(x);
            held[std::size_t(label)].addCorrespondence(x, y, int(v), mc.target->closestVertex(y).first);
        }
        for (std::size_t u = 0; u < result.labelsTarget.size(); ++u) {
            const int label = result.labelsTarget[u];
            if (label < 0 || std::size_t(label) >= R) continue;
            const Vec3f y = mc.target->vertices.point(int(u));
            const Vec3f x = mc.sortedInverseTransforms[std::size_t(label)].apply(y);
            held[std::size_t(label)].addCorrespondence(x, y, mc.source->closestVertex(x).first, int(u));
        }
        std::vector<int> index(R, -1);
        for (std::size_t k = 0; k < R; ++k)
            if (held[k].size() > 0) {
                index[k] = int(regions.size());
                regions.push_back(held[k]);
                transforms.push_back(mc.sortedTransforms[k]);
            }
        return index;
    }
};

}  // namespace

void Scene::restartSearches() {
    // Each restart searches from a new sample: the draws differ, and so do the small parts that
    // the search finds. The labels every search used are pooled for one more labelling at the end.
    LabelPool pool;
    std::vector<int> bestIndex = pool.add(*matchCandidates, *labeling);
    // Makes a fresh search the scene's, runs `step` on it (given the labelling to beat) and keeps
    // whichever of the two has the lower energy; true when the new one is kept.
    auto tryAgainst = [this](const std::string& what, const std::function<bool(const LabelingResult&)>& step) {
        MatchCandidates* best = matchCandidates;
        LabelingResult* bestLabeling = labeling;
        matchCandidates = new MatchCandidates(source, target);
        labeling = new LabelingResult(*matchCandidates);
        const bool better =
            step(*bestLabeling) && !labeling->labelsSource.empty() && labeling->energy < bestLabeling->energy;
        logOut() << "*** " << what << ": energy " << labeling->energy
                 << (better ? " is lower than " : " is not lower than ") << bestLabeling->energy << std::endl;
        if (!better) {
            std::swap(best, matchCandidates);
            std::swap(bestLabeling, labeling);
        }
        // The labelling reads its search object, so it goes first.
        delete bestLabeling;
        delete best;
        // Deleting a search releases the shapes' trees; later parallel queries need them built.
        source->vertices.prepareTree();
        target->vertices.prepareTree();
        return better;
    };
    for (int round = 1; round <= restarts_VR; ++round) {
        std::vector<int> index;
        const bool better =
            tryAgainst("Restart " + std::to_string(round) + " of " + std::to_string(restarts_VR),
                       [&](const LabelingResult&) {
                           const bool relabelled = searchAndRelabel(true);
                           if (relabelled) index = pool.add(*matchCandidates, *labeling);
                           return relabelled;
                       });
        if (better) bestIndex = index;
    }
    tryAgainst("Pooled labels of every search (" + std::to_string(pool.regions.size()) + ")",
               [&](const LabelingResult& best) {
                   MatchCandidates& mc = *matchCandidates;
                   mc.regions = pool.regions;
                   mc.regionTransforms = pool.transforms;
                   mc.sortResult(0, -1);
                   // The graph cut starts from the best labelling so far, written in the pooled
                   // labels (sorted by region size as sortResult does): it can only lower its energy.
                   std::vector<int> order(pool.regions.size());
                   std::iota(order.begin(), order.end(), 0);
                   std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
                       return pool.regions[std::size_t(a)].size() > pool.regions[std::size_t(b)].size();
                   });
                   std::vector<int> sortedIndex(order.size());
                   for (std::size_t k = 0; k < order.size(); ++k) sortedIndex[std::size_t(order[k])] = int(k);
                   const int pooledDummy = int(mc.sortedTransforms.size());
                   auto pooledLabel = [&](int label) {
                       if (label >= 0 && std::size_t(label) < bestIndex.size() && bestIndex[std::size_t(label)] >= 0)
                           return sortedIndex[std::size_t(bestIndex[std::size_t(label)])];
                       return pooledDummy;
                   };
                   std::vector<int> initial;
                   for (int label : best.labelsSource) initial.push_back(pooledLabel(label));
                   for (int label : best.labelsTarget) initial.push_back(pooledLabel(label));
                   resumeTimer(kStages[4]);
                   const bool relabelled = relabel(mc, *labeling, false, &initial);
                   stopTimer(kStages[4]);
                   return relabelled;
               });
}

bool Scene::autoProcess() {
    if (!hasShapes(*this, "Scene::autoProcess")) return false;
    createMatchCandidates(source, target, false);
    if (hasSearchResults()) return true;
    const bool relabelled = searchAndRelabel(false);

    if (relabelled && restarts_VR > 0) restartSearches();

    logOut() << kDashes << std::endl << "Running time summary" << std::endl;
    for (const char* stage : kPipelineStages) printTimer(stage);
    logOut() << kDashes << std::endl;
    return relabelled;
}

float alignmentError(Scene& scene) {
    if (!scene.labeling) return FLT_MAX;
    float e = scene.labeling->maxSymmetricHausdorff();
    logOut() << "Maximum Symmetric Hausdorff Error: " << e << " ("
              << e / scene.totalScene_boundingBoxDiagonal * 100 << "% of bbox diagonal)" << std::endl;
    return e;
}

AutoModeOutcome runAutoModeSteps(Scene& scene, bool stopAtFailure) {
    AutoModeOutcome outcome;
    outcome.mode = scene.autoProcessMode;
    auto fail = [&outcome](const std::string& why) {
        outcome.succeeded = false;
        if (outcome.failure.empty()) outcome.failure = why;
    };
    switch (scene.autoProcessMode) {
    case 1: {
        outcome.endsProcess = true;
        const bool relabelled = scene.autoProcess();
        if (!scene.matchCandidates) {
            fail("no source and target shapes loaded, so there is no result to save");
            break;
        }
        // A failed relabelling leaves no labels worth saving, whatever stopAtFailure says.
        if (!relabelled) {
            fail("the graph-cut relabelling failed, so there is no result to save");
            break;
        }
        if (scene.labeling->labelsSource.empty()) {
            fail("the run produced no graph-cut labels to save");
            if (stopAtFailure) break;
        }
        if (!saveGraphCutResult(*scene.labeling, scene.autoSaveCorrespondenceResult))
            fail("could not write the result file " + scene.autoSaveCorrespondenceResult);
        break;
    }
    case 2:
    case 3: {
        outcome.endsProcess = scene.autoProcessMode == 3;
        if (!hasShapes(scene, "runAutoProcessMode")) {
            fail("no source and target shapes loaded");
            break;
        }
        scene.createMatchCandidates(scene.source, scene.target, false);
        if (!loadGraphCutResult(*scene.matchCandidates, *scene.labeling, scene.autoSaveCorrespondenceResult)) {
            fail("no result could be loaded from " + scene.autoSaveCorrespondenceResult);
            if (scene.autoProcessMode == 2 || stopAtFailure) break;
        } else if (scene.autoProcessMode == 3 && scene.labeling->labelsSource.empty()) {
            fail(scene.autoSaveCorrespondenceResult + " holds no labelling to measure");
            if (stopAtFailure) break;
        }
        if (scene.autoProcessMode == 2) {
            outcome.showResult = true;
            break;
        }
        std::ofstream out(scene.alignDistanceFile, std::ios::app);
        if (!out) {
            logErr() << "Error in saving alignment distance: could not open output file "
                      << scene.alignDistanceFile << " for writing!" << std::endl;
            fail("could not open the alignment distance file " + scene.alignDistanceFile);
            break;
        }
        float e = alignmentError(scene);
        out << scene.autoSaveCorrespondenceResult << ": Maximum Symmetric Hausdorff Error " << e << " ("
            << e / scene.totalScene_boundingBoxDiagonal * 100 << "% of bbox diagonal)\n";
        if (!out.flush()) fail("could not write to the alignment distance file " + scene.alignDistanceFile);
        break;
    }
    default:
        break;
    }
    return outcome;
}

AutoModeOutcome runAutoProcessMode(Scene& scene) { return runAutoModeSteps(scene, false); }
