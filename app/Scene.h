#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/Colormap.h"
#include "labeling/Pipeline.h"
#include "app/Subject.h"
#include "core/Vec3f.h"

namespace veltrix {

class CorrespondenceList;
class LabelingResult;
class MatchCandidates;
class ShapeAnimation;
class ShapeModel;
class xmlParam;
struct FrameSequence;
struct PreprocessOptions;

// The model root: every application parameter, the loaded shapes, the current source and target
// shapes, the correspondence search object, the colormap and the cluster colours. Windows hold a
// pointer to the one scene and are notified of changes through it.
class Scene : public Subject, public Observer {
public:
    // Sets every parameter to its default and seeds the process-wide random generator with the
    // current time in seconds (call randomSeed afterwards for a reproducible run).
    Scene();
    ~Scene() override;
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // Relays the notification of a subject this scene observes to the scene's own observers.
    void update(Subject* subject) override;

    // Binds the 66 parameters to the store, in parameter-file order, without descriptions, then the
    // later ones (quietly left at their defaults when a file does not name them).
    void registerParams(xmlParam& store);

    // Lengths given in percent of the diagonal, in model units.
    float percentOfDiagonal(float p) const { return totalScene_boundingBoxDiagonal * p / 100.0f; }
    // A fraction of the diagonal, in model units.
    float scaledByDiagonal(float f) const { return totalScene_boundingBoxDiagonal * f; }
    // Each entry (percent of the diagonal) converted to model units and squared.
    std::vector<float> squaredRadii(const std::vector<float>& percents) const {
        std::vector<float> radii;
        radii.reserve(percents.size());
        for (float p : percents) {
            const float r = percentOfDiagonal(p);
            radii.push_back(r * r);
        }
        return radii;
    }
    // The options of every stage of the registration, filled from the parameters with lengths
    // converted to model units. The automatic run and the viewer's step buttons both use them.
    PipelineOptions pipelineOptions() const;
    // options.restarts more searches from new samples, then one labelling with the labels every
    // search used; the search object and labelling of lowest energy stay.
    void restartSearches(const PipelineOptions& options);
    // The loading settings of the parameters, converted to lengths of the shapes.
    PreprocessOptions preprocessOptions() const;

    // Sets lastDir to rootDir and loads defaultColormapFile, if one is named.
    void openDefaultColormap();
    // The colormap's colour of a value, mapped linearly from [colormapMin, colormapMax] to [0, 1].
    // An empty range is a step: values up to colormapMin give the first colour, larger values the
    // last.
    Vec3f colorOf(float value) const;
    // Resizes the cluster colours to n entries, each the colormap's colour at a uniform random t.
    void makeClusterColors(int n);
    // Draws a new colour for every existing cluster colour.
    void shuffleClusterColors();
    // Colour of cluster i; black for an index without a colour.
    Vec3f clusterColor(int i) const;
    // Colour of every transformation label of the current labelling (one per sorted transform),
    // for drawing and exporting it: palette colours chosen so that labels whose regions touch on
    // either shape differ clearly, or, with labelColorsFromColormap, the cluster colours. Worked
    // out again only when the labelling changed. Empty without a search object.
    const std::vector<Vec3f>& labelColors();

    // Replaces the search object, with a new empty labelling of it, unless it already works on this
    // pair and force is false.
    void createMatchCandidates(ShapeModel* sourceShape, ShapeModel* targetShape, bool force);
    // Sets how the two meshes measure distances to each other, as surfaceDistances says.
    void measureDistances(ShapeModel* sourceShape, ShapeModel* targetShape) const;
    // Takes ownership of a search object (or null), replacing the current one and its labelling;
    // the labelling of the new one starts empty.
    void setMatchCandidates(MatchCandidates* search);
    // True when the search object holds a clustering or a verification result.
    bool hasSearchResults() const;

    ShapeAnimation* getAnimation() const { return animation; }
    // Deletes the animation with its shapes (source and target become null) and starts an empty one.
    void newAnimation();
    // Deletes the animation with its shapes, if any; animation, source and target become null.
    void deleteAnimation();
    // Replaces the animation by the frames of a numbered sequence, relative to rootDir.
    void loadAnimation(const FrameSequence& sequence);
    // Loads one more shape into the existing animation; false when the file cannot be read.
    bool addShape(const std::string& fileName, bool computeDescriptors);
    // The unattended pipeline selected by autoProcessMode. False when it could not run or the
    // relabelling failed (unknown graph-cut instance, solution or data term type, optimiser error).
    bool autoProcess();

    // Start-up loading, in two halves so that the viewer (on its first draw) and a program without
    // windows run the same steps, with the automatic mode between them. The first half loads the
    // shapes named by the parameters and picks the source and target frames; it returns whether
    // both are set. The second creates the search object for them and sub-samples both shapes.
    // Rough bytes of the largest allocations of a run on shapes of these vertex counts: meshes
    // and search trees, frames, features, spin images, candidate pairs and the graph-cut tables.
    int64_t estimatedMemory(int64_t sourceVertices, int64_t targetVertices) const;
    // Before loading: counts the vertex lines of the source and target files that start-up loading
    // would read and compares the estimate with memoryLimitMB (when 0: the memory available now,
    // within the control group's limit). Empty when the run fits, otherwise why it would not, with
    // the estimate.
    std::string checkMemoryBound() const;
    // With missingFrame given, a source or target frame beyond the loaded sequence is an error
    // (its reason, naming the missing frame file, goes there) instead of being clamped. Without
    // computeDescriptors a source and target pair is loaded with its geometry only (enough to show
    // a saved result); the frames of a sequence always get their descriptors.
    bool loadStartupShapes(std::string* missingFrame = nullptr, bool computeDescriptors = true);
    // With shapeRelativeUnit, sets totalScene_boundingBoxDiagonal to the bounding-box diagonal of
    // the mesh in `path` (and reports its mean edge length). False, with the reason on standard
    // error, when the file holds no usable triangle mesh.
    bool measureShapeUnit(const std::string& path);
    void prepareSearch();

    ShapeModel* source = nullptr;  // current source shape, a frame of the animation (not owned)
    ShapeModel* target = nullptr;  // current target shape, a frame of the animation (not owned)
    std::string lastDir;           // start directory of the file dialogs

    // ---- Parameters, in parameter-file order ----
    // Colours (red, green, blue in [0, 1]) of the source, target, highlighted and selected points.
    std::vector<float> sourceColor{0.7f, 0.7f, 1.0f};
    std::vector<float> targetColor{1.0f, 0.7f, 0.7f};
    std::vector<float> pointColor{1.0f, 1.0f, 0.0f};
    std::vector<float> selectedColor{0.0f, 1.0f, 1.0f};

    // Data files and start-up loading. Shape names are relative to rootDir.
    std::string rootDir;
    std::string defaultFile;
    int defaultLoadFrames = 0;
    int defaultSkipFrames = 1;
    int sourceFrame = 0;
    int targetFrame = 0;
    std::string correspondenceFile;
    std::string defaultColormapFile;
    std::string defaultSourceFile;
    std::string defaultTargetFile;

    // Automatic processing: 0 interactive; 1, 2, 3 unattended modes.
    int autoProcessMode = 0;
    std::string autoSaveCorrespondenceResult;

    // Descriptors computed when a shape is loaded. Scale lists are in percent of the diagonal.
    std::vector<float> scaleFactors_MC;
    float ANNEpsilon_MC = 0.0f;

    // Colormap range: colormapMin maps to the first colour, colormapMax to the last.
    float colormapMin = 0.0f;
    float colormapMax = 0.0f;

    // Sub-sampling and feature-space pairing. Radii are squared before use.
    int featureSamplesSource = 1000;
    int featureSamplesTarget = 1000;
    int featureType = 1;
    float ANNEpsilon_FM = 0.0f;
    float radius_FM = 0.0f;
    int maxCandidates_FM = 100;
    float threshold_FM = 0.0f;

    // Mean shift in the space of twists.
    float ANNEpsilon_MS = 0.0f;
    float radius_MS = 0.0f;
    float maxIter_MS = 100.0f;
    float rate_MS = 1.0f;

    // Principal-curvature frames (scales in percent of the diagonal, squared).
    std::vector<float> scaleFactors_PC;
    bool robust_PC = false;
    // At most this many nearest points within each frame radius; 0 takes the whole ball.
    int maxNeighbors_PC = 0;

    // Verification, display distance of candidate matches (percent), scene unit of length.
    int minVerifyClusterSize = 0;
    float maxDist_FM = 100.0f;
    float ANNEpsilon_VR = 0.0f;
    float totalScene_boundingBoxDiagonal = 1.0f;

    // Kept in the parameter file only.
    int RANSAC_max_itr = 0;
    float RANSAC_sourceModel_ANNEpsilon = 0.0f;
    float RANSAC_targetModel_ANNEpsilon = 0.0f;
    float RANSAC_inlier_queryRadius = 0.0f;
    float RANSAC_inlier_epsilonBand = 0.0f;
    float RANSAC_minimumInliersPercentage = 0.0f;

    // Sub-sampling ratio, verification limits (distances in percent of the diagonal).
    float pruneMaxRatio_FM = 1.0f;
    int minMatchSize_VR = 0;
    int maxNumVerifyClusters_VR = -1;
    bool skipVerification_VR = false;

    // Graph-cut relabelling (errors and truncation values in percent of the diagonal).
    int maxNumLabels_GC = -1;
    float growRegionDistThreshold_VR = 1.0f;
    int graphCutSolutionType_GC = 2;
    bool useDummyLabel_GC = false;
    int bdySmoothnessKNN_GC = 0;
    float closestPtDistThreshold_GC = 1.0f;
    float mismatchError_GC = 10000.0f;
    float dummyLabelSmoothError_GC = 100.0f;
    float dummyLabelDataError_GC = 100.0f;
    float smoothWeight_GC = 1.0f;
    float dataWeight_GC = 1.0f;
    float smoothTruncateValue_GC = 100.0f;
    float dataTruncateValue_GC = 100.0f;
    int dataTermType_GC = 1;
    int graphCutInstance_GC = 1;

    // Spin images (bin size multiple, width in bins, support angle in degrees).
    float binSizeMultiple_SI = 1.0f;
    int imageWidth_SI = 15;
    float maxSupportAngle_SI = 60.0f;

    // Text file to which the reload mode appends the alignment error.
    std::string alignDistanceFile;

    // ---- Parameters added after the 66 above; a file without them runs as before ----
    // 1: the unit of length (totalScene_boundingBoxDiagonal) is measured on the first shape
    // loaded, as its bounding-box diagonal, so that one file fits shapes of any size.
    // 2: the same, and the curvature features are compared as on the shapes scaled to a diagonal
    // of 1 (the feature-space radius radius_FM is divided by the unit), so that the pairing does
    // not depend on the size the shapes are given in either.
    int shapeRelativeUnit = 0;
    // Above 0: the labels are chosen greedily by the source vertices each verified region adds
    // to those already covered, while a region adds at least this fraction of the source vertices
    // (at most maxNumLabels_GC of them); 0 keeps the largest regions.
    float coverageMinFraction_VR = 0.0f;
    // Rounds of alternation after the graph cut: every label's motion is refitted by ICP on the
    // source vertices it holds and the vertices are relabelled, while the energy falls.
    int refitRounds_GC = 0;
    // Rounds of a second search after the graph cut for motions of the source vertices that are
    // still badly explained (moved farther than badlyExplained_VR percent of the unit from the
    // target), each adding labels and relabelling; 0 none.
    int secondSearch_VR = 0;
    float badlyExplained_VR = 1.0f;
    // Above 0: the verification refits a growing region only after it has grown by at least this
    // percentage of the source vertices (besides 10 times the cluster size), and ICP also stops
    // once the points move less than icpStopMovement_VR percent of the unit in a round. Both keep
    // the verification's cost proportional to the vertex count on fine meshes; 0 keeps the fixed
    // rules.
    float icpRefitStep_VR = 0.0f;
    float icpStopMovement_VR = 0.0f;
    // Searches run again from a new random sample after the first (each to its labelling), then
    // the labels that all of them used label the shapes once more; the labelling of lowest energy
    // is kept. 0 runs the search once.
    int restarts_VR = 0;
    // Above 0: every ICP fit of the verification uses at most this many of the region's
    // correspondences, evenly spread; 0 uses them all.
    int icpMaxPoints_VR = 0;
    // Expansion moves of the graph cut start from the flow of the same label's previous move
    // instead of an empty graph: the same minimum cuts (up to ties within rounding) at a fraction
    // of the max-flow cost on large meshes; off keeps a fresh graph per move.
    bool reuseFlows_GC = true;
    // Memory in MB that a batch run may need by its estimate before it starts; 0: the memory
    // available when it starts.
    int memoryLimitMB = 0;
    // Above 0: every transformation label that some vertex keeps costs the data term of 1 % of
    // the vertices of both shapes each moved this percentage of the unit, so the labelling uses
    // only the motions it needs. The result then holds only used labels and at most
    // maxNumLabels_GC of them. 0: no label costs.
    float labelCost_GC = 0.0f;
    // With label costs: rounds of re-estimation after the first labelling, each refitting every
    // label's motion to its own vertices, proposing motions for badly explained vertices (with
    // the second search) and labelling again, while the energy falls.
    int reestimateRounds_GC = 0;
    // With label costs: searches from new samples after the first whose verified motions join
    // the first search's as proposals (no labelling of their own); 0 none.
    int proposalSearches_VR = 0;
    // Above 0: the graph cut links every vertex to at most this many vertices of other connected
    // components of its shape within componentLinkDistance_GC percent of the unit, as if they
    // shared an edge; 0 none.
    int componentLinks_GC = 0;
    float componentLinkDistance_GC = 1.0f;
    // 1: closest points on the triangles around the nearest vertex instead of at the vertex, in
    // the verification, the graph cut and the label refits: distances that do not depend on how
    // densely the other shape is triangulated; 2: so only when source and target do not share
    // their triangles (a shared triangulation keeps vertex distances, whose exact coincidences
    // tell a part from its mirror image); 0: at vertices.
    int surfaceDistances = 0;

    // ---- Model state ----
    Colormap colormap;
    std::vector<Vec3f> clusterColors;             // colour of cluster i is entry i
    bool labelColorsFromColormap = false;         // labels drawn in their cluster colours
    MatchCandidates* matchCandidates = nullptr;  // owned; null until a step needs it
    LabelingResult* labeling = nullptr;          // owned labelling of matchCandidates; null with it
    int currentCluster = 0;                       // cluster highlighted by the viewers
    CorrespondenceList* correspondences = nullptr;  // owned point pairs entered in the viewers, or null
    ShapeAnimation* animation = nullptr;          // owned, with every loaded shape; or null

private:
    // The palette colours of the labelling that labelColorsKey describes.
    std::vector<Vec3f> labelColorCache;
    uint64_t labelColorsKey = 0;
};

}  // namespace veltrix
