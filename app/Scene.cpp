#include "app/Scene.h"
#include "core/Log.h"

#include "app/LabelPalette.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "core/Random.h"
#include "app/ShapeAnimation.h"
#include "app/XmlParam.h"

#include <iostream>

namespace veltrix {

Scene::Scene() { randomSeedWithTime(); }

Scene::~Scene() {
    // The search object first: it releases the search structures of the shapes it points at.
    setMatchCandidates(nullptr);
    delete animation;
    delete correspondences;
}

void Scene::update(Subject*) { notify(); }

void Scene::registerParams(xmlParam& store) {
    store.addParam("sourceColor", &sourceColor);
    store.addParam("targetColor", &targetColor);
    store.addParam("pointColor", &pointColor);
    store.addParam("selectedColor", &selectedColor);
    store.addParam("rootDir", &rootDir);
    store.addParam("defaultFile", &defaultFile);
    store.addParam("defaultLoadFrames", &defaultLoadFrames);
    store.addParam("defaultSkipFrames", &defaultSkipFrames);
    store.addParam("sourceFrame", &sourceFrame);
    store.addParam("targetFrame", &targetFrame);
    store.addParam("correspondenceFile", &correspondenceFile);
    store.addParam("defaultColormapFile", &defaultColormapFile);
    store.addParam("defaultSourceFile", &defaultSourceFile);
    store.addParam("defaultTargetFile", &defaultTargetFile);
    store.addParam("autoProcessMode", &autoProcessMode);
    store.addParam("autoSaveCorrespondenceResult", &autoSaveCorrespondenceResult);
    store.addParam("scaleFactors_MC", &scaleFactors_MC);
    store.addParam("ANNEpsilon_MC", &ANNEpsilon_MC);
    store.addParam("colormapMin", &colormapMin);
    store.addParam("colormapMax", &colormapMax);
    store.addParam("featureSamplesSource", &featureSamplesSource);
    store.addParam("featureSamplesTarget", &featureSamplesTarget);
    store.addParam("featureType", &featureType);
    store.addParam("ANNEpsilon_FM", &ANNEpsilon_FM);
    store.addParam("radius_FM", &radius_FM);
    store.addParam("maxCandidates_FM", &maxCandidates_FM);
    store.addParam("threshold_FM", &threshold_FM);
    store.addParam("ANNEpsilon_MS", &ANNEpsilon_MS);
    store.addParam("radius_MS", &radius_MS);
    store.addParam("maxIter_MS", &maxIter_MS);
    store.addParam("rate_MS", &rate_MS);
    store.addParam("scaleFactors_PC", &scaleFactors_PC);
    store.addParam("robust_PC", &robust_PC);
    store.addParam("minVerifyClusterSize", &minVerifyClusterSize);
    store.addParam("maxDist_FM", &maxDist_FM);
    store.addParam("ANNEpsilon_VR", &ANNEpsilon_VR);
    store.addParam("totalScene_boundingBoxDiagonal", &totalScene_boundingBoxDiagonal);
    store.addParam("RANSAC_max_itr", &RANSAC_max_itr);
    store.addParam("RANSAC_sourceModel_ANNEpsilon", &RANSAC_sourceModel_ANNEpsilon);
    store.addParam("RANSAC_targetModel_ANNEpsilon", &RANSAC_targetModel_ANNEpsilon);
    store.addParam("RANSAC_inlier_queryRadius", &RANSAC_inlier_queryRadius);
    store.addParam("RANSAC_inlier_epsilonBand", &RANSAC_inlier_epsilonBand);
    store.addParam("RANSAC_minimumInliersPercentage", &RANSAC_minimumInliersPercentage);
    store.addParam("pruneMaxRatio_FM", &pruneMaxRatio_FM);
    store.addParam("minMatchSize_VR", &minMatchSize_VR);
    store.addParam("maxNumVerifyClusters_VR", &maxNumVerifyClusters_VR);
    store.addParam("skipVerification_VR", &skipVerification_VR);
    store.addParam("maxNumLabels_GC", &maxNumLabels_GC);
    store.addParam("growRegionDistThreshold_VR", &growRegionDistThreshold_VR);
    store.addParam("graphCutSolutionType_GC", &graphCutSolutionType_GC);
    store.addParam("useDummyLabel_GC", &useDummyLabel_GC);
    store.addParam("bdySmoothnessKNN_GC", &bdySmoothnessKNN_GC);
    store.addParam("closestPtDistThreshold_GC", &closestPtDistThreshold_GC);
    store.addParam("mismatchError_GC", &mismatchError_GC);
    store.addParam("dummyLabelSmoothError_GC", &dummyLabelSmoothError_GC);
    store.addParam("dummyLabelDataError_GC", &dummyLabelDataError_GC);
    store.addParam("smoothWeight_GC", &smoothWeight_GC);
    store.addParam("dataWeight_GC", &dataWeight_GC);
    store.addParam("smoothTruncateValue_GC", &smoothTruncateValue_GC);
    store.addParam("dataTruncateValue_GC", &dataTruncateValue_GC);
    store.addParam("dataTermType_GC", &dataTermType_GC);
    store.addParam("graphCutInstance_GC", &graphCutInstance_GC);
    store.addParam("binSizeMultiple_SI", &binSizeMultiple_SI);
    store.addParam("imageWidth_SI", &imageWidth_SI);
    store.addParam("maxSupportAngle_SI", &maxSupportAngle_SI);
    store.addParam("alignDistanceFile", &alignDistanceFile);
    store.addOptionalParam("shapeRelativeUnit", &shapeRelativeUnit);
    store.addOptionalParam("coverageMinFraction_VR", &coverageMinFraction_VR);
    store.addOptionalParam("refitRounds_GC", &refitRounds_GC);
    store.addOptionalParam("secondSearch_VR", &secondSearch_VR);
    store.addOptionalParam("badlyExplained_VR", &badlyExplained_VR);
    store.addOptionalParam("maxNeighbors_PC", &maxNeighbors_PC);
    store.addOptionalParam("icpRefitStep_VR", &icpRefitStep_VR);
    store.addOptionalParam("icpStopMovement_VR", &icpStopMovement_VR);
    store.addOptionalParam("icpMaxPoints_VR", &icpMaxPoints_VR);
    store.addOptionalParam("restarts_VR", &restarts_VR);
    store.addOptionalParam("reuseFlows_GC", &reuseFlows_GC);
    store.addOptionalParam("memoryLimitMB", &memoryLimitMB);
    store.addOptionalParam("labelCost_GC", &labelCost_GC);
    store.addOptionalParam("reestimateRounds_GC", &reestimateRounds_GC);
    store.addOptionalParam("proposalSearches_VR", &proposalSearches_VR);
    store.addOptionalParam("componentLinks_GC", &componentLinks_GC);
    store.addOptionalParam("componentLinkDistance_GC", &componentLinkDistance_GC);
    store.addOptionalParam("surfaceDistances", &surfaceDistances);

    // Ranges: values outside are refused at loading. Lengths are percentages of the unit and
    // counts are bounded far above any mesh this program loads, so that no count overflows an
    // integer and no length becomes infinite once scaled; -1 means "no limit" where it is allowed.
    const double kCount = 1e8, kLength = 1e6, kAny = 1e15;
    for (const char* colour : {"sourceColor", "targetColor", "pointColor", "selectedColor"})
        store.setRange(colour, 0, 1);
    store.setRange("defaultLoadFrames", 0, kCount);
    store.setRange("defaultSkipFrames", 1, kCount);
    store.setRange("sourceFrame", 0, kCount);
    store.setRange("targetFrame", 0, kCount);
    store.setRange("autoProcessMode", 0, 3);
    for (const char* length : {"scaleFactors_MC", "scaleFactors_PC", "radius_FM", "radius_MS", "growRegionDistThreshold_VR",
                               "closestPtDistThreshold_GC", "badlyExplained_VR", "icpStopMovement_VR"})
        store.setRange(length, 0, kLength);
    for (const char* epsilon : {"ANNEpsilon_MC", "ANNEpsilon_FM", "ANNEpsilon_MS", "ANNEpsilon_VR",
                                "RANSAC_sourceModel_ANNEpsilon", "RANSAC_targetModel_ANNEpsilon"})
        store.setRange(epsilon, 0, kLength);
    for (const char* count : {"featureSamplesSource", "featureSamplesTarget", "maxCandidates_FM", "maxNeighbors_PC",
                              "icpMaxPoints_VR", "bdySmoothnessKNN_GC"})
        store.setRange(count, 0, kCount);
    for (const char* count : {"maxNumVerifyClusters_VR", "maxNumLabels_GC"}) store.setRange(count, -1, kCount);
    for (const char* count : {"minVerifyClusterSize", "minMatchSize_VR"}) store.setRange(count, -kCount, kCount);
    for (const char* rounds : {"refitRounds_GC", "secondSearch_VR", "restarts_VR"}) store.setRange(rounds, 0, 1000);
    store.setRange("featureType", 1, 5);
    store.setRange("maxIter_MS", 0, 1e6);
    store.setRange("rate_MS", 0, kLength);
    store.setRange("totalScene_boundingBoxDiagonal", 1e-15, kAny);
    store.setRange("pruneMaxRatio_FM", 0, kLength);
    store.setRange("icpRefitStep_VR", 0, 100);
    store.setRange("coverageMinFraction_VR", 0, 1);
    store.setRange("shapeRelativeUnit", 0, 2);
    store.setRange("memoryLimitMB", 0, 1e9);
    store.setRange("labelCost_GC", 0, kLength);
    store.setRange("componentLinkDistance_GC", 0, kLength);
    store.setRange("componentLinks_GC", 0, kCount);
    store.setRange("surfaceDistances", 0, 2);
    for (const char* rounds : {"reestimateRounds_GC", "proposalSearches_VR"}) store.setRange(rounds, 0, 1000);
    for (const char* cost : {"mismatchError_GC", "dummyLabelSmoothError_GC", "dummyLabelDataError_GC", "smoothWeight_GC",
                             "dataWeight_GC", "smoothTruncateValue_GC", "dataTruncateValue_GC"})
        store.setRange(cost, 0, kAny);
    // A spin image holds imageWidth_SI squared floats per vertex.
    store.setRange("imageWidth_SI", 1, 1000);
    store.setRange("binSizeMultiple_SI", 1e-6, kLength);
    store.setRange("maxSupportAngle_SI", 0, 180);
}

void Scene::openDefaultColormap() {
    lastDir = rootDir;
    if (defaultColormapFile.empty()) return;
    logOut() << "Opening default colormap: " << defaultColormapFile << std::endl;
    colormap.load(defaultColormapFile);
}

Vec3f Scene::colorOf(float value) const {
    const float range = colormapMax - colormapMin;
    float t;
    if (range != 0.0f)
        t = (value - colormapMin) / range;
    else
        t = value <= colormapMin ? 0.0f : 1.0f;
    return colormap.color(t);
}

void Scene::makeClusterColors(int n) {
    clusterColors.resize(size_t(n > 0 ? n : 0));
    shuffleClusterColors();
}

void Scene::shuffleClusterColors() {
    for (Vec3f& c : clusterColors) c = colormap.color(float(randomUniform()));
}

Vec3f Scene::clusterColor(int i) const {
    if (i < 0 || size_t(i) >= clusterColors.size()) return Vec3f();
    return clusterColors[size_t(i)];
}

namespace {

// A hash of the words that decide the label colours, one multiply per word.
struct Fingerprint {
    uint64_t value = 1469598103934665603ull;
    void add(uint64_t word) {
        value = (value ^ word) * 1099511628211ull;
        value ^= value >> 29;
    }
};

void addLabelledShape(LabelAdjacency& adjacency, const ShapeModel* shape, const std::vector<int>& labels) {
    if (!shape || labels.size() != size_t(shape->vertexCount())) return;  // stale labels tell nothing
    if (const Mesh3_real* mesh = dynamic_cast<const Mesh3_real*>(shape))
        adjacency.addMesh(mesh->faces, labels);
    else
        adjacency.addVertices(labels);
}

}  // namespace

const std::vector<Vec3f>& Scene::labelColors() {
    static const std::vector<Vec3f> none;
    if (!matchCandidates || !labeling) return none;
    const MatchCandidates& mc = *matchCandidates;
    const int count = int(mc.sortedTransforms.size());
    if (labelColorsFromColormap) {
        if (int(clusterColors.size()) < count) makeClusterColors(count);
        return clusterColors;
    }
    Fingerprint key;
    key.add(uint64_t(count));
    for (const std::vector<int>* labels : {&labeling->labelsSource, &labeling->labelsTarget}) {
        key.add(labels->size());
        for (int l : *labels) key.add(uint32_t(l));
    }
    for (const ShapeModel* shape : {mc.source, mc.target}) {
        key.add(uint64_t(reinterpret_cast<uintptr_t>(shape)));
        const Mesh3_real* mesh = dynamic_cast<const Mesh3_real*>(shape);
        key.add(mesh ? mesh->faces.size() : 0);
    }
    if (key.value != labelColorsKey || labelColorCache.size() != size_t(count)) {
        LabelAdjacency adjacency(count);
        addLabelledShape(adjacency, mc.source, labeling->labelsSource);
        addLabelledShape(adjacency, mc.target, labeling->labelsTarget);
        labelColorCache = veltrix::labelColors(adjacency);
        labelColorsKey = key.value;
    }
    return labelColorCache;
}

}  // namespace veltrix
