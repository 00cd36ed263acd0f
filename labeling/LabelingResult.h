#pragma once
#include <string>
#include <vector>

#include "spatial/CorrespondenceList.h"
#include "matching/MatchCandidates.h"
#include "labeling/RelabelOptions.h"
#include "matching/RigidTransform.h"
#include "geometry/ShapeModel.h"

namespace veltrix {

class GeneralGraphOptimizer;

// The graph-cut labelling of both shapes of one search: a label per vertex, the regions and
// transforms the labels give, and what the optimisation derived on the way (closest points, extra
// smoothness edges, cost parameters, energy). It reads the search object (its sorted transforms
// and its shapes) and never changes it; the search must outlive the result.
class LabelingResult {
public:
    // Closest vertex of the other shape to a vertex moved by one sorted transform.
    struct ClosestPoint {
        int index;       // vertex of the other shape
        float distance;  // Euclidean, model units
    };
    // Cost parameters of the last relabelling; distances in model units.
    struct CostValues {
        float closestPtDistThreshold = 0;
        float mismatchError = 0;
        float dummyLabelDataError = 0;
        float dummyLabelSmoothError = 0;
        float smoothWeight = 0;
        float dataWeight = 0;
        float dataTruncateValue = 0;
        float smoothTruncateValue = 0;
    };

    explicit LabelingResult(const MatchCandidates& search) : search_(&search) {}
    const MatchCandidates& search() const { return *search_; }

    // closestPtsSource[v * R + k]: closest target vertex to sortedTransforms[k] applied to source
    // vertex v (R = number of sorted transforms); closestPtsTarget likewise with the inverses.
    std::vector<ClosestPoint> closestPtsSource;
    std::vector<ClosestPoint> closestPtsTarget;
    // movedPtsSource[k * nS + v]: source vertex v moved by sortedTransforms[k], the query point of its
    // closest-point entry; movedPtsTarget likewise with the inverses (nS, nT the vertex counts).
    // Filled with the tables so that the smoothness term reads positions instead of applying
    // transforms in every move; by label, so that a move on one label reads one block.
    std::vector<Vec3f> movedPtsSource;
    std::vector<Vec3f> movedPtsTarget;
    // Extra smoothness edges between nearby boundary vertices (face fields 0).
    std::vector<MeshEdge> boundaryEdgesSource;
    std::vector<MeshEdge> boundaryEdgesTarget;
    CostValues costs;
    // Label per vertex: an index into sortedTransforms, or the dummy label sortedTransforms.size().
    std::vector<int> labelsSource;
    std::vector<int> labelsTarget;  // empty after a forward relabelling
    // One region per used label, largest first, with the label's transform (source -> target for
    // the source side, target -> source for the target side).
    std::vector<CorrespondenceList> regionsSource;
    std::vector<RigidTransform> transformsSource;
    std::vector<CorrespondenceList> regionsTarget;
    std::vector<RigidTransform> transformsTarget;
    // Energy after the last symmetric relabelling.
    float energy = 0;
    // Pairwise terms the optimiser had to make regular in the last relabelling.
    long nonRegularTerms = 0;
    // Expansion moves start from the flow of the same label's previous move (the optimiser's
    // setReuseFlows); off by default.
    bool reuseFlows = false;
    // Cost of every transformation label that some vertex keeps (model units times the data
    // weight, as the data term); 0: no label costs. Expansion moves only.
    float labelCost = 0;
    // Above 0: every vertex gets extra smoothness edges to at most this many vertices of other
    // connected components of its shape within componentLinkDistance (model units), nearest first:
    // parts modelled as separate, touching pieces (a limb pushed into the body) stay together.
    int componentLinks = 0;
    float componentLinkDistance = 0;

    // ---- graph-cut relabelling (GraphCutResult.cpp; cost terms in GraphCutRelabel.h) ----

    bool relabel(const RelabelOptions& o, const std::vector<int>* initial = nullptr) {
        return relabel(int(o.moves), int(o.dataTerm), o.useDummyLabel, o.boundaryNeighbours, o.closestPtDistThreshold,
                       o.mismatchError, o.dummyLabelSmoothError, o.dummyLabelDataError, o.smoothWeight, o.dataWeight,
                       o.smoothTruncateValue, o.dataTruncateValue, initial);
    }
    // Labels every source and target vertex with a sorted transform (or the dummy label).
    // solutionType 1 swap, 2 expansion; dataTermType 1 point-to-point, 2 point-to-plane, 3 hybrid,
    // 4 point and normal. Distances and truncations in model units. False, with the labels left as
    // they were, when a precondition fails, a type is unknown or the optimiser gives up.
    // `initial` (source sites, then target sites, each a label below the label count) is where the
    // optimisation starts; without it, or when it does not fit, every site starts at label 0.
    bool relabel(int solutionType, int dataTermType, bool useDummyLabel, int bdySmoothnessKNN,
                 float closestPtDistThreshold, float mismatchError, float dummyLabelSmoothError,
                 float dummyLabelDataError, float smoothWeight, float dataWeight, float smoothTruncateValue,
                 float dataTruncateValue, const std::vector<int>* initial = nullptr);
    // Labels the source vertices only, with the source mesh edges as neighbourhood.
    bool relabelForward(int solutionType, int dataTermType, float smoothWeight, float dataWeight,
                        float smoothTruncateValue, float dataTruncateValue);
    void precomputeClosestPts();
    // Edges from every boundary vertex to its k nearest other boundary vertices.
    static void createBoundarySmoothnessEdges(ShapeModel* shape, int k, std::vector<MeshEdge>& edges);
    // Appends to `edges` the links of every vertex to its nearest vertices of other components
    // (see componentLinks); components are connected over meshEdges.
    static void createComponentLinks(ShapeModel* shape, const std::vector<MeshEdge>& meshEdges, int k,
                                     float distance, std::vector<MeshEdge>& edges);
    // Adds the deduplicated neighbourhood of the symmetric relabelling (target sites shifted by the
    // source vertex count), every pair with weight 1.
    void setupSymmetricNeighbours(GeneralGraphOptimizer& optimiser, const std::vector<MeshEdge>& sourceEdges,
                                  const std::vector<MeshEdge>& targetEdges,
                                  const std::vector<MeshEdge>& sourceExtraEdges,
                                  const std::vector<MeshEdge>& targetExtraEdges) const;

    // ---- alignment error (GraphCutResult.cpp) ----

    // Largest of the two one-sided Hausdorff distances between the source moved vertex by vertex
    // with its label's transform and the target (model units); 3.4028235e38 when not available.
    float maxSymmetricHausdorff() const;

private:
    const MatchCandidates* search_;
    // The sorted transforms the closest-point tables were computed for, column by column.
    std::vector<RigidTransform> tableTransforms_;
    friend int keepUsedLabels(MatchCandidates&, LabelingResult&);
};

// ---- operations that change the search after a labelling (LabelRefinement.cpp) ----

// Refits every sorted transform of the search by ICP on the source vertices the source labelling
// gives it (labels holding fewer than 3 vertices keep theirs) and stores it back in
// regionTransforms, so that the labels and a saved result stay consistent. Returns the number of
// transforms changed.
int refitSortedTransforms(MatchCandidates& search, const LabelingResult& labeling);
// Second search after a labelling: the source vertices that their label moves farther than
// badDistance from the target (or that have the dummy label) form connected pieces; in each piece
// the candidate-pair motion that brings most of its vertices within badDistance is refined by ICP
// on its inliers, and its vertices within inlierDistance become a new region (appended to the
// search's regions, kept when larger than minRegionSize). Returns the number added.
// With inconsistentToo, a source vertex moved onto a target vertex of another label is badly
// explained too.
int searchUnexplained(MatchCandidates& search, const LabelingResult& labeling, float badDistance,
                      float inlierDistance, unsigned int minRegionSize, bool inconsistentToo = false);

// One region per sorted label: its source vertices, then its target vertices moved back onto the
// source, each paired with the closest vertex of the other shape.
std::vector<CorrespondenceList> labelRegions(const MatchCandidates& search, const LabelingResult& labeling);
// Makes the labels the labelling uses the search's only regions, largest first (region k holds
// label k's source vertices and its target vertices moved back onto the source), and rewrites the
// labels, the closest-point tables and the labelling's regions to match; unused labels are gone
// and the dummy label follows the last kept one. Returns the number of labels kept.
int keepUsedLabels(MatchCandidates& search, LabelingResult& labeling);
// Refits each label's motion to its own vertices: a few rounds of least squares on closest points,
// each source vertex of the label paired with the closest target vertex of the same label and
// each target vertex with the closest source vertex of it. A refit is kept when it brings the
// label's vertices closer to the other shape. Expects the search as keepUsedLabels leaves it
// (region k is sorted label k). Returns the number of motions changed.
int refitLabelMotions(MatchCandidates& search, const LabelingResult& labeling, int rounds);
// For every label holding more than minRegionSize source vertices: its motion after half a turn
// of those vertices about each of their principal axes, and after every eighth of a turn about the
// longest one, refined by trimmed ICP, becomes a new region (a part laid reversed, upside down or
// twisted about its own length onto its place fits the surface about as well as the right motion;
// this puts the right one among the labels). With `turnedBefore`, a label whose motion and vertex
// count are listed there (its turns were proposed before and lost) is left out, and the labels
// turned now are added to the list. Returns the number added.
struct TurnedLabel {
    RigidTransform motion;
    std::size_t vertices = 0;
};
int proposeTurnedOver(MatchCandidates& search, const LabelingResult& labeling, float badDistance,
                      float inlierDistance, unsigned int minRegionSize,
                      std::vector<TurnedLabel>* turnedBefore = nullptr);
// When the source is mirror symmetric: for every label holding more than minRegionSize source
// vertices (and not mostly its own mirror image), the motion that carries its vertices to where
// their mirror partners' labels carry the partners, refined by trimmed ICP, becomes a new region.
// A labelling that swapped left and right parts gets the right motions among its labels this way.
// Returns the number added.
int proposeMirrored(MatchCandidates& search, const LabelingResult& labeling, float badDistance,
                    float inlierDistance, unsigned int minRegionSize);
// Keeps the sorted motions that explain vertices best: a motion explains a vertex of either
// shape when it moves it within `tolerance` of the closest distance any motion gives it, and
// within badDistance of the other shape. Chosen greedily by the vertices not yet explained, while
// a motion adds at least minSites; the search keeps only those (in sorted order). Distances in
// model units. Returns the number kept.
int selectExplainingMotions(MatchCandidates& search, LabelingResult& labeling, float tolerance, float badDistance,
                            int minSites);
// The position each region of the search takes in the sorted order (sortResult without limits).
std::vector<int> sortedPositions(const MatchCandidates& search);
// Turns about the centroid of some vertices of a shape: half a turn about each of their principal
// axes, and turns by every eighth about the longest; none when the axes cannot be found.
std::vector<RigidTransform> principalTurns(const ShapeModel& shape, const std::vector<int>& vertices);

// ---- confidence (LabelingConfidence.cpp) ----

struct LabelingConfidence {
    bool measured = false;
    float confidence = 1;     // 1 - detachedShare
    float detachedShare = 0;  // share of source vertices in detached labels
    int detachedLabels = 0;   // labels whose motions tear them from the body of the shape
    int contactPairs = 0;     // pairs of labels that touch on the source
    int tornPairs = 0;        // of those, pairs whose motions carry the contact apart
    std::vector<int> detached;  // the detached labels, in increasing order
    float ambiguousShare = 0;   // share of source vertices in ambiguous labels (measureAmbiguity)
    std::vector<int> ambiguous;  // the ambiguous labels, in increasing order
};
// Looks for parts carried to the wrong place, such as left and right swapped: two labels touch
// where source vertices of both lie within contactDistance of each other, and the contact tears
// when their motions carry the nearer quarter of those pairs more than tearDistance apart. Labels
// joined by holding contacts form pieces; the piece with the most source vertices is the body,
// and the labels of every other piece with a torn contact are detached. Model units.
LabelingConfidence measureConfidence(const MatchCandidates& search, const LabelingResult& labeling,
                                     float contactDistance, float tearDistance);

// Looks for parts whose facing the target does not decide, such as a round limb on a target
// triangulated otherwise: a label is ambiguous when its motion turned about the principal axes
// of its source vertices (by an eighth to a half turn about the longest, half a turn about the
// others) and refitted by ICP carries them on average more than `apart` from where its own motion,
// refitted the same way, carries them, and yet brings them within `tolerance` (a fraction) as
// close to the target: the median distance as the data term measures it, and the median distance
// to the tangent planes at the nearest target vertices. Labels of fewer than minVertices source
// vertices are not examined. Fills ambiguousShare and ambiguous (LabelingAmbiguity.cpp). Model
// units.
void measureAmbiguity(const MatchCandidates& search, const LabelingResult& labeling, float apart, float tolerance,
                      int minVertices, LabelingConfidence& confidence);

// ---- result file (GraphCutResult.cpp) ----

// Binary file of the search's regions, region transforms and sort limits and both label arrays
// (empty before any relabelling). False when the file cannot be written completely.
bool saveGraphCutResult(const LabelingResult& labeling, const std::string& fileName);
// Replaces the search's regions, region transforms and sort limits and the labels from the file
// and re-sorts the search; the labelling's regions are rebuilt from the loaded labels, and the
// closest-point tables and extra smoothness edges of the previous run are cleared. `labeling`
// must be the result of `search`. A file that is truncated or does not fit the current shapes is
// rejected with nothing changed (false).
bool loadGraphCutResult(MatchCandidates& search, LabelingResult& labeling, const std::string& fileName);

}  // namespace veltrix
