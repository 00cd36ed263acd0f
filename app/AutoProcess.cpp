// The unattended pipeline, the automatic modes and the alignment error.
#include "app/AutoProcess.h"
#include "core/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <cstring>
#include <cmath>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <iostream>

#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "matching/MeanShift.h"
#include "core/Parallel.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "core/StageTimers.h"
#include "matching/Verify.h"

namespace veltrix {

const char* const kPipelineStages[kPipelineStageCount] = {
    "Sub-sampling geometry", "Populating correspondence candidates", "Mean-shift clustering",
    "Extracting dense correspondences (ICP)", "Graph cut optimization"};

namespace {

const std::string kDashes(79, '-');

const char* const* const kStages = kPipelineStages;

// A text file opened for appending whole lines: a regular file (made when missing) and never a
// pipe or device, which could block or swallow the line. A line that cannot be written completely
// is cut off again, so the file never ends in a partial line.
class AppendFile {
public:
    explicit AppendFile(const std::string& path) {
        // Without blocking: a pipe with no reader fails here instead of waiting for one.
        struct stat info;
        if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            error_ = "not a regular file";
            return;
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            error_ = std::strerror(errno);
        } else if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            error_ = "not a regular file";
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~AppendFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    bool appendWhole(const std::string& line) {
        struct stat info;
        if (::fstat(fd_, &info) != 0) return failed();
        const char* data = line.data();
        size_t left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                const int why = errno;
                if (::ftruncate(fd_, info.st_size) != 0) {}  // nothing more can be done when this fails too
                errno = why;
                return failed();
            }
            data += n;
            left -= size_t(n);
        }
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || failed();
    }

private:
    bool failed() {
        error_ = std::strerror(errno);
        return false;
    }
    int fd_ = -1;
    std::string error_;
};

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
    if (featureType == 5) {
        mc.spinImageCandidates(maxCandidates_FM);
        return;
    }
    // Curvatures scale with the reciprocal of the shape's size.
    const float radius =
        shapeRelativeUnit == 2 && totalScene_boundingBoxDiagonal > 0 ? radius_FM / totalScene_boundingBoxDiagonal
                                                                     : radius_FM;
    mc.findCandidateCorrespondence(radius * radius, maxCandidates_FM, ANNEpsilon_FM);
}

void Scene::clusterTransformations(MatchCandidates& mc) const {
    MeanShiftOptions options;
    options.sqBandwidth = radius_MS * radius_MS;
    options.rate = rate_MS;
    options.maxIterations = int(maxIter_MS);
    options.annEpsilon = ANNEpsilon_MS;
    clusterMotions(mc, options);
}

void Scene::verifyClusters(MatchCandidates& mc) const {
    // Negative minimum sizes mean "no minimum" for the unsigned size limits.
    VerifyOptions options;
    options.minClusterSize = unsigned(minVerifyClusterSize > 0 ? minVerifyClusterSize : 0);
    options.maxClusters = maxNumVerifyClusters_VR;
    options.growThreshold = percentOfDiagonal(growRegionDistThreshold_VR);
    options.annEpsilon = ANNEpsilon_VR;
    options.schedule = icpSchedule();
    if (skipVerification_VR)
        skipVerification(mc, options);
    else
        verifyRegions(mc, options);
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
    // With label costs the labelling chooses among all the regions; the cap holds for its result.
    const int maxRegions = labelCost_GC > 0 && graphCutInstance_GC == 1 ? -1 : maxNumLabels_GC;
    if (coverageMinFraction_VR > 0)
        mc.selectCoveringRegions(minRegion, maxRegions, coverageMinFraction_VR);
    else
        mc.sortResult(minRegion, maxRegions);
}

RelabelOptions Scene::relabelOptions() const {
    RelabelOptions o;
    o.moves = MoveType(graphCutSolutionType_GC);
    o.dataTerm = DataTerm(dataTermType_GC);
    o.useDummyLabel = useDummyLabel_GC;
    o.boundaryNeighbours = bdySmoothnessKNN_GC;
    o.closestPtDistThreshold = percentOfDiagonal(closestPtDistThreshold_GC);
    o.mismatchError = percentOfDiagonal(mismatchError_GC);
    o.dummyLabelSmoothError = percentOfDiagonal(dummyLabelSmoothError_GC);
    o.dummyLabelDataError = percentOfDiagonal(dummyLabelDataError_GC);
    o.smoothWeight = smoothWeight_GC;
    o.dataWeight = dataWeight_GC;
    o.smoothTruncateValue = percentOfDiagonal(smoothTruncateValue_GC);
    o.dataTruncateValue = percentOfDiagonal(dataTruncateValue_GC);
    return o;
}

namespace {

// A search's regions and sorted motions with its labelling, to go back to after a round of
// refinement that did not lower the energy.
struct SavedLabeling {
    std::vector<CorrespondenceList> regions, sortedRegions;
    std::vector<RigidTransform> transforms, sorted, inverses;
    LabelingResult labeling;

    SavedLabeling(const MatchCandidates& mc, const LabelingResult& result)
        : regions(mc.regions), sortedRegions(mc.sortedRegions), transforms(mc.regionTransforms),
          sorted(mc.sortedTransforms), inverses(mc.sortedInverseTransforms), labeling(result) {}
    void restore(MatchCandidates& mc, LabelingResult& result) const {
        mc.regions = regions;
        mc.sortedRegions = sortedRegions;
        mc.regionTransforms = transforms;
        mc.sortedTransforms = sorted;
        mc.sortedInverseTransforms = inverses;
        result = labeling;
    }
};

}  // namespace

bool Scene::relabel(MatchCandidates& mc, LabelingResult& result, bool searchAgain,
                    const std::vector<int>* initial, bool pooled) const {
    bool relabelled = false;
    result.reuseFlows = reuseFlows_GC;
    result.labelCost = 0;
    result.componentLinks = componentLinks_GC;
    result.componentLinkDistance = percentOfDiagonal(componentLinkDistance_GC);
    // With restarts, label costs choose among the pooled labels of all searches only.
    if (graphCutInstance_GC == 1 && labelCost_GC > 0 && graphCutSolutionType_GC == 2 && (restarts_VR == 0 || pooled)) {
        relabelled = relabelWithLabelCosts(mc, result, searchAgain, initial);
    } else if (graphCutInstance_GC == 1) {
        const unsigned minRegion = unsigned(minMatchSize_VR > 0 ? minMatchSize_VR : 0);
        const RelabelOptions options = relabelOptions();
        auto relabelOnce = [&](const std::vector<int>* start = nullptr) { return result.relabel(options, start); };
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
            const SavedLabeling before(mc, result);
            if (searchUnexplained(mc, result, percentOfDiagonal(badlyExplained_VR),
                                  percentOfDiagonal(growRegionDistThreshold_VR), minRegion) == 0)
                break;
            const float energy = result.energy;
            keepLargestRegions(mc);
            relabelOnce();
            refine();
            if (!(result.energy < energy)) {  // the new regions did not improve the labelling
                before.restore(mc, result);
                break;
            }
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

bool Scene::relabelWithLabelCosts(MatchCandidates& mc, LabelingResult& result, bool searchAgain,
                                  const std::vector<int>* initial) const {
    const int sites = mc.source->vertexCount() + mc.target->vertexCount();
    result.labelCost = percentOfDiagonal(labelCost_GC) * dataWeight_GC * 0.01f * float(sites);
    const unsigned minRegion = unsigned(minMatchSize_VR > 0 ? minMatchSize_VR : 0);
    const RelabelOptions options = relabelOptions();
    auto relabelFrom = [&](const std::vector<int>* start) { return result.relabel(options, start); };
    // The current labels written in the labels the search has after its regions were re-sorted
    // (`position` of each old label; the dummy and dropped labels go to the dummy label when there
    // is one, else to the first label).
    auto carriedLabels = [&](const std::vector<int>& position) {
        const int R = int(mc.sortedTransforms.size());
        const int fallback = useDummyLabel_GC ? R : 0;
        std::vector<int> labels;
        for (const std::vector<int>* side : {&result.labelsSource, &result.labelsTarget})
            for (int l : *side) {
                const int p = l >= 0 && std::size_t(l) < position.size() ? position[std::size_t(l)] : -1;
                labels.push_back(p >= 0 && p < R ? p : fallback);
            }
        return labels;
    };
    // Removes the regions marked dropped, labels again from the current labels (the vertices of
    // dropped labels start without a label) and keeps only the labels used; false, with the
    // search re-sorted but the labels as they were, when the relabelling fails.
    auto relabelWithout = [&](const std::vector<bool>& dropped) {
        std::vector<CorrespondenceList> regions;
        std::vector<RigidTransform> transforms;
        std::vector<int> newIndex(mc.regions.size(), -1);
        for (std::size_t k = 0; k < mc.regions.size(); ++k)
            if (!dropped[k]) {
                newIndex[k] = int(regions.size());
                regions.push_back(mc.regions[k]);
                transforms.push_back(mc.regionTransforms[k]);
            }
        mc.regions = regions;
        mc.regionTransforms = transforms;
        const std::vector<int> sorted = sortedPositions(mc);
        std::vector<int> position(newIndex.size(), -1);
        for (std::size_t k = 0; k < newIndex.size(); ++k)
            if (newIndex[k] >= 0) position[k] = sorted[std::size_t(newIndex[k])];
        mc.sortResult(0, -1);
        const std::vector<int> start = carriedLabels(position);
        if (!relabelFrom(&start)) return false;
        keepUsedLabels(mc, result);
        return true;
    };

    if (!initial)
        selectExplainingMotions(mc, result, 0.25f * percentOfDiagonal(growRegionDistThreshold_VR),
                                percentOfDiagonal(badlyExplained_VR), int(minRegion));
    if (!relabelFrom(initial)) return false;
    keepUsedLabels(mc, result);
    logOut() << "*** Labels used: " << mc.sortedTransforms.size() << ", energy " << result.energy << std::endl;
    std::vector<TurnedLabel> turned;  // labels whose turns were proposed in an earlier round
    // Refit, propose and label again while the energy falls.
    auto reestimate = [&]() {
        for (int round = 0; round < reestimateRounds_GC; ++round) {
            const SavedLabeling before(mc, result);
            refitLabelMotions(mc, result, 3);
            if (searchAgain && secondSearch_VR > 0)
                searchUnexplained(mc, result, percentOfDiagonal(badlyExplained_VR),
                                  percentOfDiagonal(growRegionDistThreshold_VR), minRegion, true);
            proposeTurnedOver(mc, result, percentOfDiagonal(badlyExplained_VR),
                              percentOfDiagonal(growRegionDistThreshold_VR), minRegion, &turned);
            const std::vector<int> position = sortedPositions(mc);
            mc.sortResult(0, -1);
            std::vector<int> start = carriedLabels(position);
            const bool relabelled = relabelFrom(&start);
            logOut() << "*** Re-estimation round " << round + 1 << ": energy " << before.labeling.energy << " -> "
                     << result.energy << std::endl;
            if (!relabelled || !(result.energy < before.labeling.energy)) {
                before.restore(mc, result);
                break;
            }
            keepUsedLabels(mc, result);
            logOut() << "*** Labels used: " << mc.sortedTransforms.size() << std::endl;
        }
    };
    reestimate();
    // Parts torn from the parts they touch (most often left and right swapped) make way for the
    // motions proposed from them: their labels are removed, their vertices start without a label,
    // and the result is kept when its energy is lower.
    const float contact = percentOfDiagonal(1.5f), tear = percentOfDiagonal(6.0f);
    for (int repair = 0; repair < 2; ++repair) {
        const LabelingConfidence confidence = measureConfidence(mc, result, contact, tear);
        if (confidence.detachedShare <= kDetachedWarning) break;
        const SavedLabeling before(mc, result);
        const int R = int(mc.sortedTransforms.size());
        if (secondSearch_VR > 0)
            searchUnexplained(mc, result, percentOfDiagonal(badlyExplained_VR),
                              percentOfDiagonal(growRegionDistThreshold_VR), minRegion, true);
        proposeTurnedOver(mc, result, percentOfDiagonal(badlyExplained_VR),
                          percentOfDiagonal(growRegionDistThreshold_VR), minRegion);
        proposeMirrored(mc, result, percentOfDiagonal(badlyExplained_VR),
                        percentOfDiagonal(growRegionDistThreshold_VR), minRegion);
        std::vector<bool> dropped(mc.regions.size(), false);
        for (int l : confidence.detached)
            if (l < R) dropped[std::size_t(l)] = true;  // region l is sorted label l after keepUsedLabels
        const bool relabelled = relabelWithout(dropped);
        const LabelingConfidence after = measureConfidence(mc, result, contact, tear);
        logOut() << "*** Detached labels replaced: energy " << before.labeling.energy << " -> " << result.energy
                 << ", detached share " << confidence.detachedShare << " -> " << after.detachedShare << std::endl;
        if (!relabelled || !(result.energy < before.labeling.energy)) {
            before.restore(mc, result);
            break;
        }
        reestimate();  // the motions that replaced the torn parts are refitted and turned in turn
    }
    // The cap: the smallest labels beyond it are removed and the vertices labelled again.
    if (maxNumLabels_GC >= 0 && mc.sortedTransforms.size() > std::size_t(maxNumLabels_GC)) {
        const auto dummies = [&]() {
            const int R = int(mc.sortedTransforms.size());
            return std::count(result.labelsSource.begin(), result.labelsSource.end(), R) +
                   std::count(result.labelsTarget.begin(), result.labelsTarget.end(), R);
        };
        const long dummiesBefore = long(dummies());
        std::vector<bool> dropped(mc.regions.size(), false);
        for (std::size_t k = std::size_t(maxNumLabels_GC); k < dropped.size(); ++k) dropped[k] = true;
        if (!relabelWithout(dropped)) return false;
        const long moved = long(dummies()) - dummiesBefore;
        logOut() << "*** Label cap " << maxNumLabels_GC << ": labelled again with the largest labels";
        if (moved > 0) logOut() << "; " << moved << " more vertices have no correspondence";
        logOut() << std::endl;
    }
    return true;
}

void Scene::searchMotions(MatchCandidates& mc, bool resume) const {
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
}

void Scene::proposeFromNewSamples(MatchCandidates& mc) const {
    std::vector<CorrespondenceList> regions = mc.sortedRegions;
    std::vector<RigidTransform> transforms = mc.sortedTransforms;
    for (int round = 0; round < proposalSearches_VR; ++round) {
        logOut() << "*** Proposals from new samples, search " << round + 1 << " of " << proposalSearches_VR
                 << std::endl;
        MatchCandidates extra(mc.source, mc.target);
        searchMotions(extra, true);
        regions.insert(regions.end(), extra.sortedRegions.begin(), extra.sortedRegions.end());
        transforms.insert(transforms.end(), extra.sortedTransforms.begin(), extra.sortedTransforms.end());
    }
    // Deleting a search releases the shapes' trees; later parallel queries need them built.
    mc.source->vertices.prepareTree();
    mc.target->vertices.prepareTree();
    mc.regions = regions;
    mc.regionTransforms = transforms;
    mc.sortResult(0, -1);
}

bool Scene::searchAndRelabel(bool resume) { return searchAndRelabel(*matchCandidates, *labeling, resume); }

bool Scene::searchAndRelabel(MatchCandidates& mc, LabelingResult& result, bool resume) const {
    searchMotions(mc, resume);
    if (labelCost_GC > 0 && proposalSearches_VR > 0) proposeFromNewSamples(mc);

    resume ? resumeTimer(kStages[4]) : startTimer(kStages[4]);
    const bool relabelled = relabel(mc, result);
    stopTimer(kStages[4]);
    return relabelled;
}

namespace {

// A search with its labelling, owned together.
struct Labelled {
    std::unique_ptr<MatchCandidates> search;
    std::unique_ptr<LabelingResult> labeling;  // reads its search: declared after it, freed first
    bool relabelled = false;

    Labelled() = default;
    Labelled(ShapeModel* source, ShapeModel* target)
        : search(std::make_unique<MatchCandidates>(source, target)),
          labeling(std::make_unique<LabelingResult>(*search)) {}
    Labelled(Labelled&&) = default;
    // The labelling held before goes first, as in the destructor.
    Labelled& operator=(Labelled&& other) noexcept {
        labeling.reset();
        search = std::move(other.search);
        labeling = std::move(other.labeling);
        relabelled = other.relabelled;
        return *this;
    }
};

// Motions gathered from several searches, each with the vertices its labelling gave it.
struct LabelPool {
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> transforms;

    // Adds every label the labelling uses on either shape, with the source vertices it holds and
    // the target vertices it holds moved back onto the source, as a region. Returns the pool index
    // of each label of the search (-1 for a label used nowhere).
    std::vector<int> add(const MatchCandidates& mc, const LabelingResult& result) {
        const std::size_t R = mc.sortedTransforms.size();
        const std::vector<CorrespondenceList> held = labelRegions(mc, result);
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

    // The restarts are independent, so they run side by side. A search draws only its samples,
    // a known number of draws: each restart draws from a copy of the process-wide generator moved
    // on to where that restart would find it had they run one after another, and the generator is
    // left where the last one would leave it. Log lines and stage times are kept apart and written
    // out in restart order afterwards, so the run is the same for any number of threads.
    const int restarts = restarts_VR;
    auto draws = [](int samples, int vertices) { return samples > 0 && samples < vertices ? samples : 0; };
    const int drawsPerSearch = draws(featureSamplesSource, source->vertexCount()) +
                               draws(featureSamplesTarget, target->vertexCount());
    // Searches that add more searches of their own delete them again, which releases the shared
    // trees: those run one after another, on the process-wide generator.
    const bool sideBySide = !(labelCost_GC > 0 && proposalSearches_VR > 0);
    std::vector<Sfmt19937> streams;
    for (int k = 0; sideBySide && k < restarts; ++k) {
        streams.push_back(randomGenerator());
        for (int d = 0; d < drawsPerSearch; ++d) randomU32();
    }
    // The searches query the shapes' trees from several threads: built first, released last.
    for (ShapeModel* shape : {source, target}) {
        shape->vertices.prepareTree();
        shape->normals.prepareTree();
        if (shape->features) shape->features->prepareTree();
    }
    struct Restart {
        Labelled result;
        std::string out, err;
        std::map<std::string, double> seconds;
    };
    std::vector<Restart> runs(std::size_t(restarts > 0 ? restarts : 0));
    const auto phaseStart = std::chrono::steady_clock::now();
    const std::clock_t phaseCpu = std::clock();
    auto runOne = [&](int k, int worker) {
        if (worker == 0) stageBoundary(kStages[0]);  // a run can still be stopped between restarts
        Restart& run = runs[std::size_t(k)];
        ThreadLogCapture capture;
        std::optional<RandomStreamScope> stream;
        if (sideBySide) stream.emplace(streams[std::size_t(k)]);
        StageTimerScope timers;
        run.result = Labelled(source, target);
        run.result.relabelled = searchAndRelabel(*run.result.search, *run.result.labeling, true);
        run.out = capture.out();
        run.err = capture.err();
        run.seconds = timers.seconds();
    };
    if (sideBySide) {
        parallelTasks(restarts, runOne);
    } else {
        for (int k = 0; k < restarts; ++k) runOne(k, 0);
    }
    // The stage times of the restarts, scaled to the time the restarts took together.
    std::map<std::string, double> seconds;
    double total = 0;
    for (const Restart& run : runs)
        for (const auto& [name, s] : run.seconds) {
            seconds[name] += s;
            total += s;
        }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - phaseStart).count();
    const double cpu = double(std::clock() - phaseCpu) / CLOCKS_PER_SEC;
    for (const auto& [name, s] : seconds)
        if (total > 0) addTimerSeconds(name, s * wall / total, s * cpu / total);

    // The best search so far, when one beats the scene's own; the scene takes it once the
    // searches are compared.
    Labelled winner;
    auto bestEnergy = [&]() { return winner.labeling ? winner.labeling->energy : labeling->energy; };
    // Keeps the candidate when its labelling has the lower energy; the other one is freed.
    auto keepBetter = [&](const std::string& what, Labelled candidate) {
        if (!candidate.labeling) return false;
        const LabelingResult& result = *candidate.labeling;
        const float energy = bestEnergy();
        const bool better = candidate.relabelled && !result.labelsSource.empty() && result.energy < energy;
        logOut() << "*** " << what << ": energy " << result.energy
                 << (better ? " is lower than " : " is not lower than ") << energy << std::endl;
        if (better) std::swap(winner, candidate);
        return better;
    };
    // The scene takes the best search, and frees its own.
    auto install = [&]() {
        if (!winner.search) return;
        // The labelling reads its search object, so it goes first.
        delete labeling;
        delete matchCandidates;
        matchCandidates = winner.search.release();
        labeling = winner.labeling.release();
    };
    for (int k = 0; k < restarts; ++k) {
        Restart& run = runs[std::size_t(k)];
        logOut() << run.out;
        logErr() << run.err;
        std::vector<int> index;
        if (run.result.relabelled) index = pool.add(*run.result.search, *run.result.labeling);
        if (keepBetter("Restart " + std::to_string(k + 1) + " of " + std::to_string(restarts), std::move(run.result)))
            bestIndex = index;
    }
    install();
    // Deleting a search releases the shapes' trees; later parallel queries need them built.
    source->vertices.prepareTree();
    target->vertices.prepareTree();

    Labelled pooled(source, target);
    {
        MatchCandidates& mc = *pooled.search;
        const LabelingResult& best = *labeling;
        mc.regions = pool.regions;
        mc.regionTransforms = pool.transforms;
        mc.sortResult(0, -1);
        // The graph cut starts from the best labelling so far, written in the pooled labels
        // (sorted by region size as sortResult does): it can only lower its energy.
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
        pooled.relabelled = relabel(mc, *pooled.labeling, false, &initial);
        stopTimer(kStages[4]);
    }
    keepBetter("Pooled labels of every search (" + std::to_string(pool.regions.size()) + ")", std::move(pooled));
    install();
    source->vertices.prepareTree();
    target->vertices.prepareTree();
    if (labelCost_GC <= 0 || labeling->labelsSource.empty()) return;
    // Label costs on the labels the kept labelling uses, starting from it: labels that hold what
    // another label explains about as well merge into it.
    resumeTimer(kStages[4]);
    keepUsedLabels(*matchCandidates, *labeling);
    std::vector<int> initial = labeling->labelsSource;
    initial.insert(initial.end(), labeling->labelsTarget.begin(), labeling->labelsTarget.end());
    logOut() << "*** Label costs on the " << matchCandidates->sortedTransforms.size() << " labels kept" << std::endl;
    relabel(*matchCandidates, *labeling, false, &initial, true);
    stopTimer(kStages[4]);
}

bool Scene::autoProcess() {
    if (!hasShapes(*this, "Scene::autoProcess")) return false;
    createMatchCandidates(source, target, false);
    if (hasSearchResults()) return true;
    const bool relabelled = searchAndRelabel(false);

    if (relabelled && restarts_VR > 0) restartSearches();
    if (relabelled) labelingConfidence(*this, true);

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

LabelingConfidence labelingConfidence(const Scene& scene, bool log) {
    if (!scene.matchCandidates || !scene.labeling || scene.labeling->labelsSource.empty())
        return LabelingConfidence();
    const LabelingConfidence c = measureConfidence(*scene.matchCandidates, *scene.labeling,
                                                   scene.percentOfDiagonal(1.5f), scene.percentOfDiagonal(6.0f));
    if (log && c.measured) {
        logOut() << "*** Confidence " << c.confidence << ": " << c.tornPairs << " of " << c.contactPairs
                 << " label contacts torn, " << c.detachedLabels << " labels detached" << std::endl;
        if (c.detachedShare > kDetachedWarning)
            logErr() << "Warning: " << int(c.detachedShare * 100 + 0.5f)
                     << " % of the source vertices lie in parts whose motions tear them from the parts they touch;"
                        " parts may be swapped (left for right)."
                     << std::endl;
    }
    return c;
}

namespace {

// True when some vertex of either shape carries a transformation label (not the dummy label).
bool anythingMatched(const Scene& scene) {
    const int labelCount = int(scene.matchCandidates->sortedTransforms.size());
    auto matched = [labelCount](int label) { return label >= 0 && label < labelCount; };
    const LabelingResult& result = *scene.labeling;
    return std::any_of(result.labelsSource.begin(), result.labelsSource.end(), matched) ||
           std::any_of(result.labelsTarget.begin(), result.labelsTarget.end(), matched);
}

const char* const kNothingMatched =
    "nothing matched: every vertex of both shapes carries the dummy label (no correspondence)";

}  // namespace

AutoModeOutcome runAutoModeSteps(Scene& scene, bool stopAtFailure, bool saveResult) {
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
        } else if (stopAtFailure && !anythingMatched(scene)) {
            outcome.nothingMatched = true;
            fail(kNothingMatched);
            break;
        }
        if (saveResult && !saveGraphCutResult(*scene.labeling, scene.autoSaveCorrespondenceResult))
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
        } else if (stopAtFailure && !scene.labeling->labelsSource.empty() && !anythingMatched(scene)) {
            outcome.nothingMatched = true;
            fail(kNothingMatched);
            if (scene.autoProcessMode == 3) break;
        }
        if (scene.autoProcessMode == 2) {
            outcome.showResult = true;
            break;
        }
        AppendFile out(scene.alignDistanceFile);
        if (!out.isOpen()) {
            logErr() << "Error in saving alignment distance: could not open output file "
                      << scene.alignDistanceFile << " for writing!" << std::endl;
            fail("could not open the alignment distance file " + scene.alignDistanceFile + " (" + out.error() + ")");
            break;
        }
        float e = alignmentError(scene);
        std::ostringstream line;
        line << scene.autoSaveCorrespondenceResult << ": Maximum Symmetric Hausdorff Error " << e << " ("
             << e / scene.totalScene_boundingBoxDiagonal * 100 << "% of bbox diagonal)\n";
        if (!out.appendWhole(line.str())) {
            logErr() << "Error in saving alignment distance: could not write to " << scene.alignDistanceFile << " ("
                     << out.error() << "); the file is left as it was." << std::endl;
            fail("could not write to the alignment distance file " + scene.alignDistanceFile + " (" + out.error() + ")");
        }
        break;
    }
    default:
        break;
    }
    return outcome;
}

AutoModeOutcome runAutoProcessMode(Scene& scene) { return runAutoModeSteps(scene, false); }

}  // namespace veltrix
