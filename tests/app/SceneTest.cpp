#include "core/Log.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "app/XmlParam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using namespace veltrix;

namespace {

// The INI echo of a freshly constructed scene: every key in file order with its default.
const char* const kDefaultsIni =
    "sourceColorTypeFA = \"0.7,0.7,1\"\n"
    "targetColorTypeFA = \"1,0.7,0.7\"\n"
    "pointColorTypeFA = \"1,1,0\"\n"
    "selectedColorTypeFA = \"0,1,1\"\n"
    "rootDir = \"\"\n"
    "defaultFile = \"\"\n"
    "defaultLoadFrames = 0\n"
    "defaultSkipFrames = 1\n"
    "sourceFrame = 0\n"
    "targetFrame = 0\n"
    "correspondenceFile = \"\"\n"
    "defaultColormapFile = \"\"\n"
    "defaultSourceFile = \"\"\n"
    "defaultTargetFile = \"\"\n"
    "autoProcessMode = 0\n"
    "autoSaveCorrespondenceResult = \"\"\n"
    "scaleFactors_MCTypeFA = \"\"\n"
    "ANNEpsilon_MC = 0\n"
    "colormapMin = 0\n"
    "colormapMax = 0\n"
    "featureSamplesSource = 1000\n"
    "featureSamplesTarget = 1000\n"
    "featureType = 1\n"
    "ANNEpsilon_FM = 0\n"
    "radius_FM = 0\n"
    "maxCandidates_FM = 100\n"
    "threshold_FM = 0\n"
    "ANNEpsilon_MS = 0\n"
    "radius_MS = 0\n"
    "maxIter_MS = 100\n"
    "rate_MS = 1\n"
    "scaleFactors_PCTypeFA = \"\"\n"
    "robust_PC = false\n"
    "minVerifyClusterSize = 0\n"
    "maxDist_FM = 100\n"
    "ANNEpsilon_VR = 0\n"
    "totalScene_boundingBoxDiagonal = 1\n"
    "RANSAC_max_itr = 0\n"
    "RANSAC_sourceModel_ANNEpsilon = 0\n"
    "RANSAC_targetModel_ANNEpsilon = 0\n"
    "RANSAC_inlier_queryRadius = 0\n"
    "RANSAC_inlier_epsilonBand = 0\n"
    "RANSAC_minimumInliersPercentage = 0\n"
    "pruneMaxRatio_FM = 1\n"
    "minMatchSize_VR = 0\n"
    "maxNumVerifyClusters_VR = -1\n"
    "skipVerification_VR = false\n"
    "maxNumLabels_GC = -1\n"
    "growRegionDistThreshold_VR = 1\n"
    "graphCutSolutionType_GC = 2\n"
    "useDummyLabel_GC = false\n"
    "bdySmoothnessKNN_GC = 0\n"
    "closestPtDistThreshold_GC = 1\n"
    "mismatchError_GC = 10000\n"
    "dummyLabelSmoothError_GC = 100\n"
    "dummyLabelDataError_GC = 100\n"
    "smoothWeight_GC = 1\n"
    "dataWeight_GC = 1\n"
    "smoothTruncateValue_GC = 100\n"
    "dataTruncateValue_GC = 100\n"
    "dataTermType_GC = 1\n"
    "graphCutInstance_GC = 1\n"
    "binSizeMultiple_SI = 1\n"
    "imageWidth_SI = 15\n"
    "maxSupportAngle_SI = 60\n"
    "alignDistanceFile = \"\"\n"
    "shapeRelativeUnit = 0\n"
    "coverageMinFraction_VR = 0\n"
    "refitRounds_GC = 0\n"
    "secondSearch_VR = 0\n"
    "badlyExplained_VR = 1\n"
    "maxNeighbors_PC = 0\n"
    "icpRefitStep_VR = 0\n"
    "icpStopMovement_VR = 0\n"
    "icpMaxPoints_VR = 0\n"
    "restarts_VR = 0\n"
    "reuseFlows_GC = true\n"
    "memoryLimitMB = 0\n"
    "labelCost_GC = 0\n"
    "reestimateRounds_GC = 0\n"
    "proposalSearches_VR = 0\n"
    "componentLinks_GC = 0\n"
    "componentLinkDistance_GC = 1\n"
    "surfaceDistances = 0\n";

std::string iniOf(Scene& scene) {
    xmlParam store;
    scene.registerParams(store);
    LogCapture out;
    store.printParamsINI();
    return out.out();
}

// Records the order in which observers are notified.
struct Recorder : Observer {
    Recorder(std::vector<int>& sink, int which) : log(sink), id(which) {}
    void update(Subject*) override { log.push_back(id); }
    std::vector<int>& log;
    int id;
};

}  // namespace

TEST(SceneParams, DefaultsInFileOrder) {
    Scene scene;
    EXPECT_EQ(iniOf(scene), kDefaultsIni);

    // The written document lists the same keys, in the same order, with their type words.
    xmlParam store;
    scene.registerParams(store);
    XmlDocument doc = store.makeParamXML();
    EXPECT_EQ(doc.doctypeName(), "libXMLParam");
    const XmlNode& root = doc.documentElement();
    EXPECT_EQ(root.name, "libXMLParam");
    std::istringstream ini(kDefaultsIni);
    std::string line;
    int count = 0;
    for (const XmlNode* e : root.childElements()) {
        ++count;
        ASSERT_TRUE(std::getline(ini, line));
        const std::string key = e->name;
        const std::string type = e->attribute("type");
        const bool isArray = type.find("Array") != std::string::npos;
        EXPECT_EQ(line.substr(0, line.find(' ')), isArray ? key + "TypeFA" : key);
    }
    EXPECT_EQ(count, 84);  // the 66 of the original set, then the later ones
}

TEST(SceneParams, PartialFileKeepsOtherDefaults) {
    Scene scene;
    xmlParam store;
    scene.registerParams(store);
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent(std::string(
        "<!DOCTYPE libXMLParam><libXMLParam>"
        " <totalScene_boundingBoxDiagonal type=\"float\">250</totalScene_boundingBoxDiagonal>"
        " <binSizeMultiple_SI type=\"float\">2</binSizeMultiple_SI>"
        " <imageWidth_SI type=\"int\">10</imageWidth_SI>"
        " <maxSupportAngle_SI type=\"float\">45</maxSupportAngle_SI>"
        "</libXMLParam>")));
    std::string messages;
    {
        LogCapture out;
        store.loadParamXML(doc);
        messages = out.out();
    }
    // One not-found line for each of the 62 original keys the file leaves out; the later keys
    // are left out quietly.
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 62);
    EXPECT_NE(messages.find("Could not find element sourceColor!\n"), std::string::npos);
    EXPECT_EQ(messages.find("totalScene"), std::string::npos);

    std::string expected = kDefaultsIni;
    auto replace = [&](const std::string& from, const std::string& to) {
        const size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("totalScene_boundingBoxDiagonal = 1\n", "totalScene_boundingBoxDiagonal = 250\n");
    replace("binSizeMultiple_SI = 1\n", "binSizeMultiple_SI = 2\n");
    replace("imageWidth_SI = 15\n", "imageWidth_SI = 10\n");
    replace("maxSupportAngle_SI = 60\n", "maxSupportAngle_SI = 45\n");
    EXPECT_EQ(iniOf(scene), expected);
}

TEST(SceneUnits, DiagonalConversions) {
    Scene scene;
    scene.totalScene_boundingBoxDiagonal = 100.0f;
    EXPECT_EQ(scene.squaredRadii({1.0f, 2.0f}), (std::vector<float>{1.0f, 4.0f}));
    EXPECT_TRUE(scene.squaredRadii({}).empty());
    scene.totalScene_boundingBoxDiagonal = 40.0f;
    EXPECT_FLOAT_EQ(scene.percentOfDiagonal(5.0f), 2.0f);
    EXPECT_FLOAT_EQ(scene.scaledByDiagonal(0.25f), 10.0f);
    EXPECT_FLOAT_EQ(scene.squaredRadii({-5.0f})[0], 4.0f);
}

TEST(SceneObservers, NotifyOrderDuplicatesAndRelay) {
    std::vector<int> log;
    Recorder a(log, 1), b(log, 2), c(log, 3);
    Subject subject;
    subject.attach(&a);
    subject.attach(&b);
    subject.attach(&a);
    subject.notify();
    EXPECT_EQ(log, (std::vector<int>{1, 2, 1}));

    log.clear();
    subject.detach(&a);  // every occurrence
    subject.notify();
    EXPECT_EQ(log, (std::vector<int>{2}));

    // A scene attached to another subject passes its notifications on.
    Scene scene;
    scene.attach(&c);
    subject.attach(&scene);
    log.clear();
    subject.notify();
    EXPECT_EQ(log, (std::vector<int>{2, 3}));
}

TEST(SceneObservers, DetachingDuringNotifyIsSafe) {
    struct SelfRemover : Observer {
        void update(Subject* s) override {
            ++calls;
            s->detach(this);
            if (other) s->detach(other);
        }
        Observer* other = nullptr;
        int calls = 0;
    };
    std::vector<int> log;
    Recorder later(log, 7);
    SelfRemover remover;
    remover.other = &later;
    Subject subject;
    subject.attach(&remover);
    subject.attach(&later);
    subject.notify();
    subject.notify();
    EXPECT_EQ(remover.calls, 1);
    EXPECT_TRUE(log.empty());  // detached before its turn came
}

TEST(SceneColors, ColormapRangeAndClusterColors) {
    Scene scene;  // default colormap: 0 red, 1 yellow
    scene.colormapMin = 10.0f;
    scene.colormapMax = 20.0f;
    const Vec3f mid = scene.colorOf(15.0f);
    EXPECT_FLOAT_EQ(mid.x, 1.0f);
    EXPECT_FLOAT_EQ(mid.y, 0.5f);
    EXPECT_FLOAT_EQ(scene.colorOf(0.0f).y, 0.0f);
    EXPECT_FLOAT_EQ(scene.colorOf(99.0f).y, 1.0f);

    // An empty range is a step at colormapMin.
    scene.colormapMax = scene.colormapMin;
    EXPECT_FLOAT_EQ(scene.colorOf(10.0f).y, 0.0f);
    EXPECT_FLOAT_EQ(scene.colorOf(10.5f).y, 1.0f);

    randomSeed(99);
    scene.makeClusterColors(5);
    ASSERT_EQ(scene.clusterColors.size(), 5u);
    randomSeed(99);
    for (int i = 0; i < 5; ++i) {
        const float t = float(randomUniform());
        EXPECT_FLOAT_EQ(scene.clusterColor(i).y, t) << i;  // red to yellow: green channel is t
        EXPECT_FLOAT_EQ(scene.clusterColor(i).x, 1.0f);
    }
    const std::vector<Vec3f> before = scene.clusterColors;
    scene.shuffleClusterColors();
    ASSERT_EQ(scene.clusterColors.size(), 5u);
    EXPECT_NE(scene.clusterColors[0].y, before[0].y);
    EXPECT_FLOAT_EQ(scene.clusterColor(5).x, 0.0f);
    EXPECT_FLOAT_EQ(scene.clusterColor(-1).x, 0.0f);
    scene.makeClusterColors(-3);
    EXPECT_TRUE(scene.clusterColors.empty());
}

TEST(SceneColors, EmptyDefaultColormapChangesOnlyLastDir) {
    Scene scene;
    scene.rootDir = "/data/shapes/";
    const Vec3f before = scene.colormap.color(0.5f);
    LogCapture out;
    scene.openDefaultColormap();
    EXPECT_EQ(scene.lastDir, "/data/shapes/");
    EXPECT_EQ(out.out(), "");
    EXPECT_FLOAT_EQ(scene.colormap.color(0.5f).y, before.y);
}
