// The unattended pipeline, the automatic modes and the alignment error.
#include "app/AutoProcess.h"
#include "core/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cstring>
#include <sstream>
#include <string>

#include "app/Scene.h"
#include "core/StageTimers.h"
#include "labeling/LabelingResult.h"
#include "labeling/Pipeline.h"
#include "matching/MatchCandidates.h"

namespace veltrix {

namespace {

const std::string kDashes(79, '-');

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

PipelineOptions Scene::pipelineOptions() const {
    PipelineOptions options;
    SearchOptions& search = options.search;
    search.sourceSamples = featureSamplesSource;
    search.targetSamples = featureSamplesTarget;
    search.pruneMaxRatio = pruneMaxRatio_FM;
    search.pairing = featureType == 5 ? Pairing::SpinImages : Pairing::FeatureRadius;
    // Curvatures scale with the reciprocal of the shape's size.
    const float radius =
        shapeRelativeUnit == 2 && totalScene_boundingBoxDiagonal > 0 ? radius_FM / totalScene_boundingBoxDiagonal
                                                                     : radius_FM;
    search.sqFeatureRadius = radius * radius;
    search.maxCandidates = maxCandidates_FM;
    search.featureAnnEpsilon = ANNEpsilon_FM;
    search.meanShift.sqBandwidth = radius_MS * radius_MS;
    search.meanShift.rate = rate_MS;
    search.meanShift.maxIterations = int(maxIter_MS);
    search.meanShift.annEpsilon = ANNEpsilon_MS;
    // Negative minimum sizes mean "no minimum" for the unsigned size limits.
    search.skipVerification = skipVerification_VR;
    search.verify.minClusterSize = unsigned(minVerifyClusterSize > 0 ? minVerifyClusterSize : 0);
    search.verify.maxClusters = maxNumVerifyClusters_VR;
    search.verify.growThreshold = percentOfDiagonal(growRegionDistThreshold_VR);
    search.verify.annEpsilon = ANNEpsilon_VR;
    search.verify.schedule.refitStepFraction = icpRefitStep_VR > 0 ? icpRefitStep_VR / 100.0f : 0.0f;
    search.verify.schedule.stopMovement = icpStopMovement_VR > 0 ? percentOfDiagonal(icpStopMovement_VR) : 0.0f;
    search.verify.schedule.maxPoints = icpMaxPoints_VR > 0 ? icpMaxPoints_VR : 0;
    search.minRegionSize = unsigned(minMatchSize_VR > 0 ? minMatchSize_VR : 0);
    // With label costs the labelling chooses among all the regions; the cap holds for its result.
    search.maxRegions = labelCost_GC > 0 && graphCutInstance_GC == 1 ? -1 : maxNumLabels_GC;
    search.coverageMinFraction = coverageMinFraction_VR;

    LabelingOptions& labels = options.labeling;
    labels.instance = GraphCutInstance(graphCutInstance_GC);
    RelabelOptions& o = labels.relabel;
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
    labels.reuseFlows = reuseFlows_GC;
    labels.componentLinks = componentLinks_GC;
    labels.componentLinkDistance = percentOfDiagonal(componentLinkDistance_GC);
    labels.labelCosts = labelCost_GC > 0;
    labels.labelCostPerSite = percentOfDiagonal(labelCost_GC) * dataWeight_GC * 0.01f;
    labels.refitRounds = refitRounds_GC;
    labels.secondSearchRounds = secondSearch_VR;
    labels.reestimateRounds = reestimateRounds_GC;
    labels.maxLabels = maxNumLabels_GC;
    labels.minRegionSize = search.minRegionSize;
    labels.badlyExplained = percentOfDiagonal(badlyExplained_VR);
    labels.growThreshold = percentOfDiagonal(growRegionDistThreshold_VR);
    labels.contactDistance = percentOfDiagonal(kContactPercent);
    labels.tearDistance = percentOfDiagonal(kTearPercent);

    options.restarts = restarts_VR;
    options.proposalSearches = proposalSearches_VR;
    return options;
}

void Scene::restartSearches(const PipelineOptions& options) {
    // The searches run on objects of their own; the scene holds the best one again afterwards,
    // also when a stop request ends them early.
    Labelled best;
    best.search.reset(matchCandidates);
    best.labeling.reset(labeling);
    best.relabelled = true;
    matchCandidates = nullptr;
    labeling = nullptr;
    auto takeBack = [&]() {
        matchCandidates = best.search.release();
        labeling = best.labeling.release();
    };
    try {
        veltrix::restartSearches(best, options);
    } catch (...) {
        takeBack();
        throw;
    }
    takeBack();
}

bool Scene::autoProcess() {
    if (!hasShapes(*this, "Scene::autoProcess")) return false;
    createMatchCandidates(source, target, false);
    if (hasSearchResults()) return true;
    const PipelineOptions options = pipelineOptions();
    const bool relabelled = searchAndRelabel(*matchCandidates, *labeling, options, false);

    if (relabelled && options.restarts > 0) restartSearches(options);
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
    LabelingConfidence c = measureConfidence(*scene.matchCandidates, *scene.labeling,
                                             scene.percentOfDiagonal(kContactPercent),
                                             scene.percentOfDiagonal(kTearPercent));
    if (c.measured)
        measureAmbiguity(*scene.matchCandidates, *scene.labeling, scene.percentOfDiagonal(kAmbiguousApartPercent),
                         kAmbiguousTolerance, kAmbiguousMinVertices, c);
    if (log && c.measured) {
        logOut() << "*** Confidence " << c.confidence << ": " << c.tornPairs << " of " << c.contactPairs
                 << " label contacts torn, " << c.detachedLabels << " labels detached" << std::endl;
        logOut() << "*** Ambiguous facing: " << c.ambiguous.size() << " labels";
        for (std::size_t i = 0; i < c.ambiguous.size(); ++i) logOut() << (i ? ", " : " (") << c.ambiguous[i];
        logOut() << (c.ambiguous.empty() ? "" : ")") << ", " << c.ambiguousShare << " of the source vertices"
                 << std::endl;
        if (c.detachedShare > kDetachedWarning)
            logErr() << "Warning: " << int(c.detachedShare * 100 + 0.5f)
                     << " % of the source vertices lie in parts whose motions tear them from the parts they touch;"
                        " parts may be swapped (left for right)."
                     << std::endl;
        if (c.ambiguousShare > kAmbiguousWarning)
            logErr() << "Warning: " << int(c.ambiguousShare * 100 + 0.5f)
                     << " % of the source vertices lie in parts that fit the target about as well turned about"
                        " their own axes; which way they face is uncertain."
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
