#include "Scene.h"
#include "Log.h"

#include "LabelPalette.h"
#include "LabelingResult.h"
#include "MatchCandidates.h"
#include "Random.h"
#include "ShapeAnimation.h"
#include "XmlParam.h"

#include <iostream>

Scene::Scene() { randomSeedWithTime(); }

Scene::~Scene() {
    // The search object first: it releases the search structures of the shapes it points at.
    setMatchCandidates(nullptr);
    delete animation;
    delete correspondences;
}

void Scene::update(Subject*) { notify(); }

void Scene::registerParams(xmlParam& store) {
    store.addParam("sourceColor", "floatArray", &sourceColor, nullptr);
    store.addParam("targetColor", "floatArray", &targetColor, nullptr);
    store.addParam("pointColor", "floatArray", &pointColor, nullptr);
    store.addParam("selectedColor", "floatArray", &selectedColor, nullptr);
    store.addParam("rootDir", "string", &rootDir, nullptr);
    store.addParam("defaultFile", "string", &defaultFile, nullptr);
    store.addParam("defaultLoadFrames", "int", &defaultLoadFrames, nullptr);
    store.addParam("defaultSkipFrames", "int", &defaultSkipFrames, nullptr);
    store.addParam("sourceFrame", "int", &sourceFrame, nullptr);
    store.addParam("targetFrame", "int", &targetFrame, nullptr);
    store.addParam("correspondenceFile", "string", &correspondenceFile, nullptr);
    store.addParam("defaultColormapFile", "string", &defaultColormapFile, nullptr);
    store.addParam("defaultSourceFile", "string", &defaultSourceFile, nullptr);
    store.addParam("defaultTargetFile", "string", &defaultTargetFile, nullptr);
    store.addParam("autoProcessMode", "int", &autoProcessMode, nullptr);
    store.addParam("autoSaveCorrespondenceResult", "string", &autoSaveCorrespondenceResult, nullptr);
    store.addParam("scaleFactors_MC", "floatArray", &scaleFactors_MC, nullptr);
    store.addParam("ANNEpsilon_MC", "float", &ANNEpsilon_MC, nullptr);
    store.addParam("colormapMin", "float", &colormapMin, nullptr);
    store.addParam("colormapMax", "float", &colormapMax, nullptr);
    store.addParam("featureSamplesSource", "int", &featureSamplesSource, nullptr);
    store.addParam("featureSamplesTarget", "int", &featureSamplesTarget, nullptr);
    store.addParam("featureType", "int", &featureType, nullptr);
    store.addParam("ANNEpsilon_FM", "float", &ANNEpsilon_FM, nullptr);
    store.addParam("radius_FM", "float", &radius_FM, nullptr);
    store.addParam("maxCandidates_FM", "int", &maxCandidates_FM, nullptr);
    store.addParam("threshold_FM", "float", &threshold_FM, nullptr);
    store.addParam("ANNEpsilon_MS", "float", &ANNEpsilon_MS, nullptr);
    store.addParam("radius_MS", "float", &radius_MS, nullptr);
    store.addParam("maxIter_MS", "float", &maxIter_MS, nullptr);
    store.addParam("rate_MS", "float", &rate_MS, nullptr);
    store.addParam("scaleFactors_PC", "floatArray", &scaleFactors_PC, nullptr);
    store.addParam("robust_PC", "bool", &robust_PC, nullptr);
    store.addParam("minVerifyClusterSize", "int", &minVerifyClusterSize, nullptr);
    store.addParam("maxDist_FM", "float", &maxDist_FM, nullptr);
    store.addParam("ANNEpsilon_VR", "float", &ANNEpsilon_VR, nullptr);
    store.addParam("totalScene_boundingBoxDiagonal", "float", &totalScene_boundingBoxDiagonal, nullptr);
    store.addParam("RANSAC_max_itr", "int", &RANSAC_max_itr, nullptr);
    store.addParam("RANSAC_sourceModel_ANNEpsilon", "float", &RANSAC_sourceModel_ANNEpsilon, nullptr);
    store.addParam("RANSAC_targetModel_ANNEpsilon", "float", &RANSAC_targetModel_ANNEpsilon, nullptr);
    store.addParam("RANSAC_inlier_queryRadius", "float", &RANSAC_inlier_queryRadius, nullptr);
    store.addParam("RANSAC_inlier_epsilonBand", "float", &RANSAC_inlier_epsilonBand, nullptr);
    store.addParam("RANSAC_minimumInliersPercentage", "float", &RANSAC_minimumInliersPercentage, nullptr);
    store.addParam("pruneMaxRatio_FM", "float", &pruneMaxRatio_FM, nullptr);
    store.addParam("minMatchSize_VR", "int", &minMatchSize_VR, nullptr);
    store.addParam("maxNumVerifyClusters_VR", "int", &maxNumVerifyClusters_VR, nullptr);
    store.addParam("skipVerification_VR", "bool", &skipVerification_VR, nullptr);
    store.addParam("maxNumLabels_GC", "int", &maxNumLabels_GC, nullptr);
    store.addParam("growRegionDistThreshold_VR", "float", &growRegionDistThreshold_VR, nullptr);
    store.addParam("graphCutSolutionType_GC", "int", &graphCutSolutionType_GC, nullptr);
    store.addParam("useDummyLabel_GC", "bool", &useDummyLabel_GC, nullptr);
    store.addParam("bdySmoothnessKNN_GC", "int", &bdySmoothnessKNN_GC, nullptr);
    store.addParam("closestPtDistThreshold_GC", "float", &closestPtDistThreshold_GC, nullptr);
    store.addParam("mismatchError_GC", "float", &mismatchError_GC, nullptr);
    store.addParam("dummyLabelSmoothError_GC", "float", &dummyLabelSmoothError_GC, nullptr);
    store.addParam("dummyLabelDataError_GC", "float", &dummyLabelDataError_GC, nullptr);
    store.addParam("smoothWeight_GC", "float", &smoothWeight_GC, nullptr);
    store.addParam("dataWeight_GC", "float", &dataWeight_GC, nullptr);
    store.addParam("smoothTruncateValue_GC", "float", &smoothTruncateValue_GC, nullptr);
    store.addParam("dataTruncateValue_GC", "float", &dataTruncateValue_GC, nullptr);
    store.addParam("dataTermType_GC", "int", &dataTermType_GC, nullptr);
    store.addParam("graphCutInstance_GC", "int", &graphCutInstance_GC, nullptr);
    store.addParam("binSizeMultiple_SI", "float", &binSizeMultiple_SI, nullptr);
    store.addParam("imageWidth_SI", "int", &imageWidth_SI, nullptr);
    store.addParam("maxSupportAngle_SI", "float", &maxSupportAngle_SI, nullptr);
    store.addParam("alignDistanceFile", "string", &alignDistanceFile, nullptr);
    store.addOptionalParam("shapeRelativeUnit", "int", &shapeRelativeUnit, nullptr);
    store.addOptionalParam("coverageMinFraction_VR", "float", &coverageMinFraction_VR, nullptr);
    store.addOptionalParam("refitRounds_GC", "int", &refitRounds_GC, nullptr);
    store.addOptionalParam("secondSearch_VR", "int", &secondSearch_VR, nullptr);
    store.addOptionalParam("badlyExplained_VR", "float", &badlyExplained_VR, nullptr);
    store.addOptionalParam("maxNeighbors_PC", "int", &maxNeighbors_PC, nullptr);
    store.addOptionalParam("icpRefitStep_VR", "float", &icpRefitStep_VR, nullptr);
    store.addOptionalParam("icpStopMovement_VR", "float", &icpStopMovement_VR, nullptr);
    store.addOptionalParam("icpMaxPoints_VR", "int", &icpMaxPoints_VR, nullptr);
    store.addOptionalParam("restarts_VR", "int", &restarts_VR, nullptr);
    store.addOptionalParam("reuseFlows_GC", "bool", &reuseFlows_GC, nullptr);
    store.addOptionalParam("memoryLimitMB", "int", &memoryLimitMB, nullptr);
    store.addOptionalParam("labelCost_GC", "float", &labelCost_GC, nullptr);
    store.addOptionalParam("reestimateRounds_GC", "int", &reestimateRounds_GC, nullptr);
    store.addOptionalParam("proposalSearches_VR", "int", &proposalSearches_VR, nullptr);
    store.addOptionalParam("componentLinks_GC", "int", &componentLinks_GC, nullptr);
    store.addOptionalParam("componentLinkDistance_GC", "float", &componentLinkDistance_GC, nullptr);
    store.addOptionalParam("surfaceDistances", "int", &surfaceDistances, nullptr);

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
        labelColorCache = ::labelColors(adjacency);
        labelColorsKey = key.value;
    }
    return labelColorCache;
}
