#pragma once
#include <memory>
#include <vector>

#include "labeling/LabelingResult.h"
#include "labeling/RelabelOptions.h"
#include "matching/MatchCandidates.h"
#include "matching/MeanShift.h"
#include "matching/Verify.h"

namespace veltrix {

// The timed stages of a registration, in order, as its running-time summary names them.
constexpr int kPipelineStageCount = 5;
extern const char* const kPipelineStages[kPipelineStageCount];

// A result is flagged when more than this share of the source vertices lies in parts torn from
// the parts they touch.
constexpr float kDetachedWarning = 0.02f;

// How source samples are paired with target samples.
enum class Pairing { FeatureRadius, SpinImages };
// Which graph-cut instance labels the shapes (the integers of the parameter file).
enum class GraphCutInstance : int { Symmetric = 1, Forward = 2 };

// The correspondence search, from sub-sampling to the verified regions. Lengths in model units.
struct SearchOptions {
    int sourceSamples = 1000, targetSamples = 1000;
    float pruneMaxRatio = 1.0f;
    Pairing pairing = Pairing::FeatureRadius;
    float sqFeatureRadius = 0.0f;  // squared pairing radius in feature space
    int maxCandidates = 100;       // target samples paired with each source sample
    float featureAnnEpsilon = 0.0f;
    MeanShiftOptions meanShift;
    bool skipVerification = false;
    VerifyOptions verify;
    // The regions kept for the labelling: larger than minRegionSize, at most maxRegions
    // (negative: all); with coverageMinFraction above 0, those covering the source best.
    unsigned minRegionSize = 0;
    int maxRegions = -1;
    float coverageMinFraction = 0.0f;
};

// The labelling of both shapes and its refinements. Lengths in model units.
struct LabelingOptions {
    GraphCutInstance instance = GraphCutInstance::Symmetric;
    RelabelOptions relabel;
    bool reuseFlows = true;
    int componentLinks = 0;
    float componentLinkDistance = 0.0f;
    // Above 0: the cost of a used label is this times the vertex count of both shapes.
    bool labelCosts = false;
    float labelCostPerSite = 0.0f;
    int refitRounds = 0;  // alternation rounds without label costs
    int secondSearchRounds = 0;
    int reestimateRounds = 0;  // with label costs
    int maxLabels = -1;        // the cap of a result with label costs; negative: none
    unsigned minRegionSize = 0;
    float badlyExplained = 0.0f;  // a vertex moved farther than this from the target is badly explained
    float growThreshold = 0.0f;   // region growing of the second search and the proposals
    // Contacts between labels within contactDistance; a contact moved apart beyond tearDistance is torn.
    float contactDistance = 0.0f, tearDistance = 0.0f;
};

// The whole registration.
struct PipelineOptions {
    SearchOptions search;
    LabelingOptions labeling;
    int restarts = 0;          // searches after the first, each with its own labelling
    int proposalSearches = 0;  // with label costs: searches whose motions join the first one's
};

// A search with its labelling, owned together.
struct Labelled {
    std::unique_ptr<MatchCandidates> search;
    std::unique_ptr<LabelingResult> labeling;  // reads its search: declared after it, freed first
    bool relabelled = false;

    Labelled() = default;
    Labelled(ShapeModel* source, ShapeModel* target);
    Labelled(Labelled&&) = default;
    // The labelling held before goes first, as in the destructor.
    Labelled& operator=(Labelled&& other) noexcept;
};

// The search's stages on a search object.
void subsampleShapes(MatchCandidates& mc, const SearchOptions& options);
void pairSamples(MatchCandidates& mc, const SearchOptions& options);
// Verification (or its skip), then keepLargestRegions.
void verifyClusters(MatchCandidates& mc, const SearchOptions& options);
void keepLargestRegions(MatchCandidates& mc, const SearchOptions& options);
// Sub-sampling to verification, each stage timed (resumed rather than restarted when `resume`).
void searchMotions(MatchCandidates& mc, const SearchOptions& options, bool resume);
// proposalSearches more searches; their verified motions join the search's sorted ones.
void proposeFromNewSamples(MatchCandidates& mc, const PipelineOptions& options);

// Labels both shapes of the search; the refinements (refitting, second search, re-estimation)
// change the search's motions and regions. False when the relabelling could not run (unknown
// solution or data-term type, optimiser error). searchAgain false leaves out the second search;
// `initial` is where the first graph cut starts. `pooled`: the labelling of the labels pooled
// from restarts, the only one of a run with restarts that label costs apply to.
bool relabel(MatchCandidates& mc, LabelingResult& result, const PipelineOptions& options,
             bool searchAgain = true, const std::vector<int>* initial = nullptr, bool pooled = false);
// The labelling with label costs: first labelling, re-estimation rounds, the repair of parts
// torn from their neighbours, the label cap.
bool relabelWithLabelCosts(MatchCandidates& mc, LabelingResult& result, const LabelingOptions& options,
                           bool searchAgain, const std::vector<int>* initial);
// Sub-sampling to labelling, each stage timed (resumed rather than restarted when `resume`).
bool searchAndRelabel(MatchCandidates& mc, LabelingResult& result, const PipelineOptions& options,
                      bool resume);
// options.restarts more searches from new samples, then one labelling with the labels every
// search used. `best` holds the search labelled so far and ends with the labelling of lowest
// energy; if an exception leaves early, it holds a complete search and labelling.
void restartSearches(Labelled& best, const PipelineOptions& options);

}  // namespace veltrix
