// The registration's stages as functions of their options: search, labelling and restarts.
#include "labeling/Pipeline.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <numeric>
#include <optional>
#include <string>

#include "core/Log.h"
#include "core/Parallel.h"
#include "core/Random.h"
#include "core/StageTimers.h"

namespace veltrix {

const char* const kPipelineStages[kPipelineStageCount] = {
    "Sub-sampling geometry", "Populating correspondence candidates", "Mean-shift clustering",
    "Extracting dense correspondences (ICP)", "Graph cut optimization"};

namespace {
const char* const* const kStages = kPipelineStages;
}  // namespace

Labelled::Labelled(ShapeModel* source, ShapeModel* target)
    : search(std::make_unique<MatchCandidates>(source, target)),
      labeling(std::make_unique<LabelingResult>(*search)) {}

Labelled& Labelled::operator=(Labelled&& other) noexcept {
    labeling.reset();
    search = std::move(other.search);
    labeling = std::move(other.labeling);
    relabelled = other.relabelled;
    return *this;
}

void subsampleShapes(MatchCandidates& mc, const SearchOptions& options) {
    mc.subsample(options.sourceSamples, options.targetSamples, options.pruneMaxRatio);
}

void pairSamples(MatchCandidates& mc, const SearchOptions& options) {
    if (options.pairing == Pairing::SpinImages)
        mc.spinImageCandidates(options.maxCandidates);
    else
        mc.findCandidateCorrespondence(options.sqFeatureRadius, options.maxCandidates,
                                       options.featureAnnEpsilon);
}

void verifyClusters(MatchCandidates& mc, const SearchOptions& options) {
    keepVerified(mc, options.skipVerification ? skipVerification(mc, options.verify)
                                              : verifyRegions(mc, options.verify));
    keepLargestRegions(mc, options);
}

void keepLargestRegions(MatchCandidates& mc, const SearchOptions& options) {
    if (options.coverageMinFraction > 0)
        mc.selectCoveringRegions(options.minRegionSize, options.maxRegions, options.coverageMinFraction);
    else
        mc.sortResult(options.minRegionSize, options.maxRegions);
}

namespace {

// A search's regions and sorted motions with its labelling, to go back to after a round of
// refinement that did not lower the energy.
struct SavedLabeling {
    std::vector<CorrespondenceList> regions, sortedRegions;
    std::vector<RigidTransform> transforms, sorted, inverses;
    LabelingResult labeling;

    SavedLabeling(const MatchCandidates& mc, const LabelingResult& result)
        : regions(mc.regions),
          sortedRegions(mc.sortedRegions),
          transforms(mc.regionTransforms),
          sorted(mc.sortedTransforms),
          inverses(mc.sortedInverseTransforms),
          labeling(result) {}
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

bool relabel(MatchCandidates& mc, LabelingResult& result, const PipelineOptions& options, bool searchAgain,
             const std::vector<int>* initial, bool pooled) {
    const LabelingOptions& o = options.labeling;
    bool relabelled = false;
    result.reuseFlows = o.reuseFlows;
    result.labelCost = 0;
    result.componentLinks = o.componentLinks;
    result.componentLinkDistance = o.componentLinkDistance;
    // With restarts, label costs choose among the pooled labels of all searches only.
    if (o.instance == GraphCutInstance::Symmetric && o.labelCosts && o.relabel.moves == MoveType::Expansion &&
        (options.restarts == 0 || pooled)) {
        relabelled = relabelWithLabelCosts(mc, result, o, searchAgain, initial);
    } else if (o.instance == GraphCutInstance::Symmetric) {
        const unsigned minRegion = o.minRegionSize;
        auto relabelOnce = [&](const std::vector<int>* start = nullptr) {
            return result.relabel(o.relabel, start);
        };
        // Alternation: refit the motions to the labelling and relabel while the energy falls; a
        // round that does not lower it is undone.
        auto refine = [&]() {
            for (int round = 0; round < o.refitRounds && !result.labelsSource.empty(); ++round) {
                const float energy = result.energy;
                const std::vector<RigidTransform> transforms = mc.regionTransforms;
                if (refitSortedTransforms(mc, result) == 0) break;
                relabelOnce();
                logOut() << "*** Refit round " << round + 1 << ": energy " << energy << " -> "
                         << result.energy << std::endl;
                if (result.energy < energy) continue;
                mc.regionTransforms = transforms;
                mc.sortResult(minRegion, mc.resultMaxRegions);
                relabelOnce();
                break;
            }
        };
        relabelled = relabelOnce(initial);
        if (relabelled) refine();
        for (int round = 0;
             searchAgain && relabelled && round < o.secondSearchRounds && !result.labelsSource.empty();
             ++round) {
            const SavedLabeling before(mc, result);
            if (searchUnexplained(mc, result, o.badlyExplained, o.growThreshold, minRegion) == 0) break;
            const float energy = result.energy;
            keepLargestRegions(mc, options.search);
            relabelOnce();
            refine();
            if (!(result.energy < energy)) {  // the new regions did not improve the labelling
                before.restore(mc, result);
                break;
            }
        }
    } else if (o.instance == GraphCutInstance::Forward) {
        // The forward instance takes the move and data-term types as the parameter file's integers.
        relabelled = result.relabelForward(int(o.relabel.moves), int(o.relabel.dataTerm), o.relabel.smoothWeight,
                                           o.relabel.dataWeight, o.relabel.smoothTruncateValue,
                                           o.relabel.dataTruncateValue);
    } else {
        logErr() << "Unknown graph cut instance type " << int(o.instance) << "!" << std::endl;
    }
    return relabelled;
}

bool relabelWithLabelCosts(MatchCandidates& mc, LabelingResult& result, const LabelingOptions& o,
                           bool searchAgain, const std::vector<int>* initial) {
    const int sites = mc.source->vertexCount() + mc.target->vertexCount();
    result.labelCost = o.labelCostPerSite * float(sites);
    const unsigned minRegion = o.minRegionSize;
    auto relabelFrom = [&](const std::vector<int>* start) { return result.relabel(o.relabel, start); };
    // The current labels written in the labels the search has after its regions were re-sorted
    // (`position` of each old label; the dummy and dropped labels go to the dummy label when there
    // is one, else to the first label).
    auto carriedLabels = [&](const std::vector<int>& position) {
        const int R = int(mc.sortedTransforms.size());
        const int fallback = o.relabel.useDummyLabel ? R : 0;
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
        selectExplainingMotions(mc, result, 0.25f * o.growThreshold, o.badlyExplained, int(minRegion));
    if (!relabelFrom(initial)) return false;
    keepUsedLabels(mc, result);
    logOut() << "*** Labels used: " << mc.sortedTransforms.size() << ", energy " << result.energy
             << std::endl;
    std::vector<TurnedLabel> turned;  // labels whose turns were proposed in an earlier round
    // Refit, propose and label again while the energy falls.
    auto reestimate = [&]() {
        for (int round = 0; round < o.reestimateRounds; ++round) {
            const SavedLabeling before(mc, result);
            refitLabelMotions(mc, result, 3);
            if (searchAgain && o.secondSearchRounds > 0)
                searchUnexplained(mc, result, o.badlyExplained, o.growThreshold, minRegion, true);
            proposeTurnedOver(mc, result, o.badlyExplained, o.growThreshold, minRegion, &turned);
            const std::vector<int> position = sortedPositions(mc);
            mc.sortResult(0, -1);
            std::vector<int> start = carriedLabels(position);
            const bool relabelled = relabelFrom(&start);
            logOut() << "*** Re-estimation round " << round + 1 << ": energy " << before.labeling.energy
                     << " -> " << result.energy << std::endl;
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
    for (int repair = 0; repair < 2; ++repair) {
        const LabelingConfidence confidence =
            measureConfidence(mc, result, o.contactDistance, o.tearDistance);
        if (confidence.detachedShare <= kDetachedWarning) break;
        const SavedLabeling before(mc, result);
        const int R = int(mc.sortedTransforms.size());
        if (o.secondSearchRounds > 0)
            searchUnexplained(mc, result, o.badlyExplained, o.growThreshold, minRegion, true);
        proposeTurnedOver(mc, result, o.badlyExplained, o.growThreshold, minRegion);
        proposeMirrored(mc, result, o.badlyExplained, o.growThreshold, minRegion);
        std::vector<bool> dropped(mc.regions.size(), false);
        for (int l : confidence.detached)
            if (l < R) dropped[std::size_t(l)] = true;  // region l is sorted label l after keepUsedLabels
        const bool relabelled = relabelWithout(dropped);
        const LabelingConfidence after = measureConfidence(mc, result, o.contactDistance, o.tearDistance);
        logOut() << "*** Detached labels replaced: energy " << before.labeling.energy << " -> "
                 << result.energy << ", detached share " << confidence.detachedShare << " -> "
                 << after.detachedShare << std::endl;
        if (!relabelled || !(result.energy < before.labeling.energy)) {
            before.restore(mc, result);
            break;
        }
        reestimate();  // the motions that replaced the torn parts are refitted and turned in turn
    }
    // The cap: the smallest labels beyond it are removed and the vertices labelled again.
    if (o.maxLabels >= 0 && mc.sortedTransforms.size() > std::size_t(o.maxLabels)) {
        const auto dummies = [&]() {
            const int R = int(mc.sortedTransforms.size());
            return std::count(result.labelsSource.begin(), result.labelsSource.end(), R) +
                   std::count(result.labelsTarget.begin(), result.labelsTarget.end(), R);
        };
        const long dummiesBefore = long(dummies());
        std::vector<bool> dropped(mc.regions.size(), false);
        for (std::size_t k = std::size_t(o.maxLabels); k < dropped.size(); ++k) dropped[k] = true;
        if (!relabelWithout(dropped)) return false;
        const long moved = long(dummies()) - dummiesBefore;
        logOut() << "*** Label cap " << o.maxLabels << ": labelled again with the largest labels";
        if (moved > 0) logOut() << "; " << moved << " more vertices have no correspondence";
        logOut() << std::endl;
    }
    return true;
}

void searchMotions(MatchCandidates& mc, const SearchOptions& options, bool resume) {
    auto begin = [resume](const char* stage) { resume ? resumeTimer(stage) : startTimer(stage); };
    begin(kStages[0]);
    subsampleShapes(mc, options);
    stopTimer(kStages[0]);

    begin(kStages[1]);
    pairSamples(mc, options);
    stopTimer(kStages[1]);

    begin(kStages[2]);
    mc.clusters = clusterMotions(mc.transformationSpace, options.meanShift);
    stopTimer(kStages[2]);

    begin(kStages[3]);
    verifyClusters(mc, options);
    stopTimer(kStages[3]);
}

void proposeFromNewSamples(MatchCandidates& mc, const PipelineOptions& options) {
    std::vector<CorrespondenceList> regions = mc.sortedRegions;
    std::vector<RigidTransform> transforms = mc.sortedTransforms;
    for (int round = 0; round < options.proposalSearches; ++round) {
        logOut() << "*** Proposals from new samples, search " << round + 1 << " of "
                 << options.proposalSearches << std::endl;
        MatchCandidates extra(mc.source, mc.target);
        searchMotions(extra, options.search, true);
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

bool searchAndRelabel(MatchCandidates& mc, LabelingResult& result, const PipelineOptions& options,
                      bool resume) {
    searchMotions(mc, options.search, resume);
    if (options.labeling.labelCosts && options.proposalSearches > 0) proposeFromNewSamples(mc, options);

    resume ? resumeTimer(kStages[4]) : startTimer(kStages[4]);
    const bool relabelled = relabel(mc, result, options);
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

void restartSearches(Labelled& best, const PipelineOptions& options) {
    ShapeModel* const source = best.search->source;
    ShapeModel* const target = best.search->target;
    // Each restart searches from a new sample: the draws differ, and so do the small parts that
    // the search finds. The labels every search used are pooled for one more labelling at the end.
    LabelPool pool;
    std::vector<int> bestIndex = pool.add(*best.search, *best.labeling);

    // The restarts are independent, so they run side by side. A search draws only its samples,
    // a known number of draws: each restart draws from a copy of the process-wide generator moved
    // on to where that restart would find it had they run one after another, and the generator is
    // left where the last one would leave it. Log lines and stage times are kept apart and written
    // out in restart order afterwards, so the run is the same for any number of threads.
    const int restarts = options.restarts;
    auto draws = [](int samples, int vertices) { return samples > 0 && samples < vertices ? samples : 0; };
    const int drawsPerSearch = draws(options.search.sourceSamples, source->vertexCount()) +
                               draws(options.search.targetSamples, target->vertexCount());
    // Searches that add more searches of their own delete them again, which releases the shared
    // trees: those run one after another, on the process-wide generator.
    const bool sideBySide = !(options.labeling.labelCosts && options.proposalSearches > 0);
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
        run.result.relabelled = searchAndRelabel(*run.result.search, *run.result.labeling, options, true);
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

    // The best search so far, when one beats `best`; `best` takes it once the searches are compared.
    Labelled winner;
    auto bestEnergy = [&]() { return winner.labeling ? winner.labeling->energy : best.labeling->energy; };
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
    // `best` takes the winner, and frees what it held (the labelling first: it reads its search).
    auto install = [&]() {
        if (winner.search) best = std::move(winner);
    };
    for (int k = 0; k < restarts; ++k) {
        Restart& run = runs[std::size_t(k)];
        logOut() << run.out;
        logErr() << run.err;
        std::vector<int> index;
        if (run.result.relabelled) index = pool.add(*run.result.search, *run.result.labeling);
        if (keepBetter("Restart " + std::to_string(k + 1) + " of " + std::to_string(restarts),
                       std::move(run.result)))
            bestIndex = index;
    }
    install();
    // Deleting a search releases the shapes' trees; later parallel queries need them built.
    source->vertices.prepareTree();
    target->vertices.prepareTree();

    Labelled pooled(source, target);
    {
        MatchCandidates& mc = *pooled.search;
        const LabelingResult& bestLabels = *best.labeling;
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
        for (int label : bestLabels.labelsSource) initial.push_back(pooledLabel(label));
        for (int label : bestLabels.labelsTarget) initial.push_back(pooledLabel(label));
        resumeTimer(kStages[4]);
        pooled.relabelled = relabel(mc, *pooled.labeling, options, false, &initial);
        stopTimer(kStages[4]);
    }
    keepBetter("Pooled labels of every search (" + std::to_string(pool.regions.size()) + ")",
               std::move(pooled));
    install();
    source->vertices.prepareTree();
    target->vertices.prepareTree();
    if (!options.labeling.labelCosts || best.labeling->labelsSource.empty()) return;
    // Label costs on the labels the kept labelling uses, starting from it: labels that hold what
    // another label explains about as well merge into it.
    resumeTimer(kStages[4]);
    keepUsedLabels(*best.search, *best.labeling);
    std::vector<int> initial = best.labeling->labelsSource;
    initial.insert(initial.end(), best.labeling->labelsTarget.begin(), best.labeling->labelsTarget.end());
    logOut() << "*** Label costs on the " << best.search->sortedTransforms.size() << " labels kept"
             << std::endl;
    relabel(*best.search, *best.labeling, options, false, &initial, true);
    stopTimer(kStages[4]);
}

}  // namespace veltrix
