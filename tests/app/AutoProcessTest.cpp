#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <fstream>

#include "app/AutoProcess.h"
#include "labeling/LabelingResult.h"
#include "core/Parallel.h"
#include "core/Log.h"
#include "matching/MatchCandidates.h"
#include "PipelineFixture.h"
#include "core/Random.h"
#include "core/StageTimers.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace {

void writeTetrahedron(const fs::path& path, float shift) {
    std::ofstream out(path);
    out << "v " << shift << " 0 0\nv " << 1 + shift << " 0 0\nv " << shift << " 1 0\nv " << shift
        << " 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n";
}

}  // namespace

TEST(SceneSearchObject, CreatedOnlyForANewPairOrWhenForced) {
    Scene scene;
    ShapeModel a, b;
    LogCapture log;
    scene.createMatchCandidates(&a, &b, false);
    EXPECT_EQ(log.out(), "Creating new MatchCandidates object...\n");
    MatchCandidates* first = scene.matchCandidates;
    ASSERT_NE(first, nullptr);

    LogCapture log2;
    scene.createMatchCandidates(&a, &b, false);
    EXPECT_EQ(log2.out(), "");
    EXPECT_EQ(scene.matchCandidates, first);

    // Replacing the object also reports the release of the old one's search structures.
    LogCapture log3;
    scene.createMatchCandidates(&a, &b, true);
    EXPECT_NE(log3.out().find("Creating new MatchCandidates object...\n"), std::string::npos);
    LogCapture log4;
    scene.createMatchCandidates(&b, &a, false);  // another pair
    EXPECT_NE(log4.out().find("Creating new MatchCandidates object...\n"), std::string::npos);
    EXPECT_EQ(scene.matchCandidates->source, &b);

    // Without shapes nothing is created and the old object stays.
    MatchCandidates* kept = scene.matchCandidates;
    LogCapture log5;
    scene.createMatchCandidates(nullptr, &a, true);
    EXPECT_NE(log5.err().find("no source and target shapes"), std::string::npos);
    EXPECT_EQ(scene.matchCandidates, kept);
    EXPECT_FALSE(scene.hasSearchResults());
    scene.setMatchCandidates(nullptr);  // the shapes are on the stack; do not let the scene outlive them
}

class StartupLoading : public ::testing::Test {
protected:
    void SetUp() override {
        dir = scratchDirectory("startup");
        for (int n = 0; n < 5; ++n) writeTetrahedron(dir / ("t_0" + std::to_string(n) + ".obj"), float(n));
        scene.rootDir = dir.string() + "/";
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
    Scene scene;
};

TEST_F(StartupLoading, SourceTargetPairIsFramesZeroAndOne) {
    scene.defaultSourceFile = (dir / "t_03.obj").string();
    scene.defaultTargetFile = (dir / "t_01.obj").string();
    scene.defaultFile = (dir / "t_00.obj").string();  // ignored when the pair is given
    scene.sourceFrame = 6;
    scene.targetFrame = 3;
    LogCapture log;
    EXPECT_TRUE(scene.loadStartupShapes());
    std::string out = log.out();
    EXPECT_EQ(out.rfind("Current Directory is: ", 0), 0u) << out;
    EXPECT_EQ(scene.sourceFrame, 0);
    EXPECT_EQ(scene.targetFrame, 1);
    ASSERT_EQ(scene.getAnimation()->frameCount(), 2);
    EXPECT_FLOAT_EQ(scene.source->vertices.point(0).x, 3.0f);
    EXPECT_FLOAT_EQ(scene.target->vertices.point(0).x, 1.0f);
}

TEST_F(StartupLoading, SequenceClampsFrameIndices) {
    scene.defaultFile = (dir / "t_00.obj").string();
    scene.sourceFrame = 7;
    scene.targetFrame = 9;
    LogCapture log;
    EXPECT_TRUE(scene.loadStartupShapes());
    std::string out = log.out();
    EXPECT_NE(out.find("Opening file: " + scene.defaultFile + "\n"), std::string::npos);
    EXPECT_NE(out.find("Source Frame # too large; clamping to 4.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Target Frame # too large; clamping to 4.\n"), std::string::npos);
    EXPECT_EQ(scene.sourceFrame, 4);
    EXPECT_EQ(scene.targetFrame, 4);
    EXPECT_EQ(scene.source, scene.getAnimation()->frame(4));
    EXPECT_EQ(scene.target, scene.source);
}

TEST_F(StartupLoading, NoShapeNamedChangesNothing) {
    LogCapture log;
    EXPECT_FALSE(scene.loadStartupShapes());
    scene.prepareSearch();
    scene.autoProcess();
    std::string err = log.err();
    std::string out = log.out();
    EXPECT_NE(out.find("No shape to load"), std::string::npos) << out;
    EXPECT_NE(err.find("Error in Scene::autoProcess(): no source and target shapes loaded."), std::string::npos);
    EXPECT_EQ(out.find("Running time summary"), std::string::npos);
    EXPECT_EQ(scene.matchCandidates, nullptr);
    EXPECT_EQ(scene.source, nullptr);
    // Every automatic mode reports the missing shapes instead of saving or loading anything.
    for (int mode : {1, 2, 3}) {
        scene.autoProcessMode = mode;
        AutoModeOutcome outcome = runAutoModeSteps(scene, true);
        EXPECT_FALSE(outcome.succeeded) << mode;
        EXPECT_FALSE(outcome.failure.empty());
    }
    EXPECT_EQ(scene.matchCandidates, nullptr);
}

TEST_F(StartupLoading, ReplacingTheAnimationDropsTheSearchObjectOfItsShapes) {
    scene.defaultSourceFile = (dir / "t_00.obj").string();
    scene.defaultTargetFile = (dir / "t_01.obj").string();
    scene.loadStartupShapes();
    scene.createMatchCandidates(scene.source, scene.target, false);
    scene.newAnimation();
    EXPECT_EQ(scene.matchCandidates, nullptr);
    EXPECT_EQ(scene.source, nullptr);
    EXPECT_EQ(scene.getAnimation()->frameCount(), 0);
}

// The whole automatic run on a generated figure; the shapes are loaded once for the suite.
class AutomaticRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // CTest runs each case in its own process, in parallel: one directory per process.
        dir = new fs::path(fs::temp_directory_path() / ("veltrix_autorun_" + std::to_string(::getpid())));
        fs::remove_all(*dir);
        fs::create_directories(*dir);
        pair = new ArticulatedPair(makeArticulatedPair(1500));
        writePair(*pair, *dir);
        scene = new Scene;
        loadDemoParameters(*scene);
        scene->rootDir = dir->string() + "/";
        scene->defaultFile.clear();
        scene->defaultSourceFile = (*dir / "figure-000.obj").string();
        scene->defaultTargetFile = (*dir / "figure-001.obj").string();
        scene->loadStartupShapes();
    }
    static void TearDownTestSuite() {
        delete scene;
        delete pair;
        fs::remove_all(*dir);
        delete dir;
    }
    void SetUp() override {
        ASSERT_NE(scene->source, nullptr);
        saved = *scene;
        randomSeed(12345);
        scene->setMatchCandidates(nullptr);
    }
    void TearDown() override { restore(); }

    // Runs autoProcess and returns (standard output, standard error).
    std::pair<std::string, std::string> run() {
        LogCapture log;
        scene->autoProcess();
        std::string err = log.err();
        return {log.out(), err};
    }

    struct Settings {
        int featureType, graphCutInstance;
        float maxIter, diagonal, grow, mismatch;
        int verifyClusters;
        Settings() = default;
        Settings(const Scene& s)
            : featureType(s.featureType), graphCutInstance(s.graphCutInstance_GC), maxIter(s.maxIter_MS),
              diagonal(s.totalScene_boundingBoxDiagonal), grow(s.growRegionDistThreshold_VR),
              mismatch(s.mismatchError_GC), verifyClusters(s.maxNumVerifyClusters_VR) {}
    } saved;
    void restore() {
        scene->featureType = saved.featureType;
        scene->graphCutInstance_GC = saved.graphCutInstance;
        scene->maxIter_MS = saved.maxIter;
        scene->totalScene_boundingBoxDiagonal = saved.diagonal;
        scene->growRegionDistThreshold_VR = saved.grow;
        scene->mismatchError_GC = saved.mismatch;
        scene->maxNumVerifyClusters_VR = saved.verifyClusters;
    }
    // A diagonal of 200 makes every percentage huge; verifying one cluster keeps the run short.
    void useLargeDiagonal() {
        scene->totalScene_boundingBoxDiagonal = 200.0f;
        scene->maxNumVerifyClusters_VR = 1;
    }

    static fs::path* dir;
    static ArticulatedPair* pair;
    static Scene* scene;
};
fs::path* AutomaticRun::dir = nullptr;
ArticulatedPair* AutomaticRun::pair = nullptr;
Scene* AutomaticRun::scene = nullptr;

TEST_F(AutomaticRun, RegistersTheLimbsAndComputesOnce) {
    auto [out, err] = run();
    ASSERT_EQ(countOf(out, "Running time summary"), 1) << err;
    EXPECT_EQ(countOf(out, "***** "), 5);
    auto second = run();
    EXPECT_EQ(second.first, "");  // results present: nothing recomputed, nothing printed

    // Ground truth: vertex i of the source corresponds to vertex i of the target.
    const MatchCandidates& mc = *scene->matchCandidates;
    ASSERT_EQ(scene->labeling->labelsSource.size(), pair->source.size());
    const float diagonal = scene->totalScene_boundingBoxDiagonal;
    int close = 0;
    std::vector<std::map<int, int>> labelsPerPart(size_t(pair->partCount));
    for (size_t v = 0; v < pair->source.size(); ++v) {
        int label = scene->labeling->labelsSource[v];
        labelsPerPart[size_t(pair->part[v])][label]++;
        if (label < 0 || size_t(label) >= mc.sortedTransforms.size()) continue;
        const auto& s = pair->source[v];
        const auto& t = pair->target[v];
        Vec3f moved = mc.sortedTransforms[size_t(label)].apply(Vec3f(s[0], s[1], s[2]));
        if ((moved - Vec3f(t[0], t[1], t[2])).length() < 0.02f * diagonal) ++close;
    }
    EXPECT_GE(close, int(0.9 * double(pair->source.size())));
    // Every rigid part is carried mostly by one label of its own.
    std::set<int> majority;
    for (const auto& counts : labelsPerPart) {
        auto best = std::max_element(counts.begin(), counts.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        ASSERT_NE(best, counts.end());
        majority.insert(best->first);
    }
    EXPECT_EQ(majority.size(), size_t(pair->partCount));

    LogCapture log;
    float error = alignmentError(*scene);
    std::string line = log.out();
    EXPECT_NE(line.find("Maximum Symmetric Hausdorff Error: "), std::string::npos);
    EXPECT_LT(error, 0.05f * diagonal);
}

// The switch reaches the optimiser, and its moves label the pair as fresh graphs do.
TEST_F(AutomaticRun, ReusedFlowsLabelAsFreshGraphs) {
    run();
    ASSERT_TRUE(scene->matchCandidates && scene->labeling);
    LabelingResult fresh(*scene->matchCandidates), reused(*scene->matchCandidates);
    {
        LogCapture quiet;
        scene->reuseFlows_GC = false;
        ASSERT_TRUE(relabel(*scene->matchCandidates, fresh, scene->pipelineOptions(), false));
        scene->reuseFlows_GC = true;
        ASSERT_TRUE(relabel(*scene->matchCandidates, reused, scene->pipelineOptions(), false));
    }
    EXPECT_TRUE(reused.reuseFlows);
    EXPECT_FALSE(fresh.reuseFlows);
    EXPECT_EQ(reused.labelsSource, fresh.labelsSource);
    EXPECT_EQ(reused.labelsTarget, fresh.labelsTarget);
    EXPECT_EQ(reused.energy, fresh.energy);
}

TEST_F(AutomaticRun, RestartsKeepTheLabellingOfLowestEnergy) {
    run();
    const float once = scene->labeling->energy;
    scene->setMatchCandidates(nullptr);
    randomSeed(12345);
    scene->restarts_VR = 2;
    auto [out, err] = run();
    scene->restarts_VR = 0;
    EXPECT_EQ(countOf(out, "Running time summary"), 1) << err;
    // The first search is the run without restarts; each restart's energy is reported, and the
    // labelling kept is the one of lowest energy, still reading its own search object.
    float lowest = once;
    std::istringstream lines(out);
    int restarts = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("*** Restart ", 0) == 0 || line.rfind("*** Pooled labels", 0) == 0) {
            ++restarts;
            lowest = std::min(lowest, std::stof(line.substr(line.find("energy ") + 7)));
        }
    EXPECT_EQ(restarts, 3);  // two restarts and the pooled labels
    EXPECT_NEAR(scene->labeling->energy, lowest, 1e-5f * lowest);  // printed to 6 digits
    EXPECT_EQ(&scene->labeling->search(), scene->matchCandidates);
    EXPECT_EQ(scene->labeling->labelsSource.size(), pair->source.size());

    // The restarts run side by side; on one thread they give the same lines and labels.
    auto restartLines = [](const std::string& log) {
        std::string kept;
        std::istringstream text(log);
        for (std::string line; std::getline(text, line);)
            if (line.rfind("*** ", 0) == 0 || line.rfind("After optimization", 0) == 0) kept += line + "\n";
        return kept;
    };
    const std::vector<int> sideBySide = scene->labeling->labelsSource;
    const int threads = threadCount();
    setThreadCount(1);
    scene->setMatchCandidates(nullptr);
    randomSeed(12345);
    scene->restarts_VR = 2;
    const std::string alone = run().first;
    scene->restarts_VR = 0;
    setThreadCount(threads);
    EXPECT_EQ(scene->labeling->labelsSource, sideBySide);
    EXPECT_EQ(restartLines(alone), restartLines(out));

    // The result file gives the kept labelling back.
    const std::string file = (*dir / "restarts.gc").string();
    ASSERT_TRUE(saveGraphCutResult(*scene->labeling, file));
    const std::vector<int> labels = scene->labeling->labelsSource;
    scene->createMatchCandidates(scene->source, scene->target, true);
    ASSERT_TRUE(loadGraphCutResult(*scene->matchCandidates, *scene->labeling, file));
    EXPECT_EQ(scene->labeling->labelsSource, labels);
}

// A stop request at the first restart leaves the scene the first search and its labelling.
TEST_F(AutomaticRun, StoppedRestartsLeaveTheSceneAWholeSearch) {
    scene->setMatchCandidates(nullptr);
    scene->restarts_VR = 2;
    static int searches;
    searches = 0;
    setStageStartHook([](const std::string& stage) {
        if (stage == kPipelineStages[0] && ++searches > 1) throw std::runtime_error("stopped");
    });
    EXPECT_THROW(run(), std::runtime_error);
    setStageStartHook(nullptr);
    scene->restarts_VR = 0;
    ASSERT_TRUE(scene->matchCandidates && scene->labeling);
    EXPECT_EQ(&scene->labeling->search(), scene->matchCandidates);
    EXPECT_EQ(scene->labeling->labelsSource.size(), pair->source.size());
    EXPECT_FALSE(scene->matchCandidates->sortedTransforms.empty());
}

// With label costs the figure's five parts take five labels; re-estimation only lowers the energy;
// the cap holds, and every label of the result is used.
TEST_F(AutomaticRun, LabelCostsFindThePartsUnderTheCap) {
    auto labelRun = [&](int rounds, int cap) {
        scene->setMatchCandidates(nullptr);
        randomSeed(12345);
        scene->labelCost_GC = 1;
        scene->reestimateRounds_GC = rounds;
        scene->maxNumLabels_GC = cap;
        run();
        const LabelingResult& result = *scene->labeling;
        const int R = int(scene->matchCandidates->sortedTransforms.size());
        std::vector<int> used(std::size_t(R) + 1, 0);
        for (const std::vector<int>* side : {&result.labelsSource, &result.labelsTarget})
            for (int l : *side) ++used[std::size_t(std::clamp(l, 0, R))];
        EXPECT_LE(R, cap);
        EXPECT_EQ(std::count(used.begin(), used.end() - 1, 0), 0) << "unused labels in the result";
        return std::make_pair(R, result.energy);
    };
    const int cap = scene->maxNumLabels_GC;
    const auto once = labelRun(0, 10);
    const auto refined = labelRun(2, 10);
    EXPECT_LE(refined.second, once.second);
    EXPECT_EQ(refined.first, pair->partCount);
    // One label per part: every part's most common label is its own.
    std::vector<std::map<int, int>> labelsOfPart(std::size_t(pair->partCount));
    for (std::size_t v = 0; v < pair->source.size(); ++v)
        ++labelsOfPart[std::size_t(pair->part[v])][scene->labeling->labelsSource[v]];
    std::set<int> majority;
    for (const auto& counts : labelsOfPart)
        majority.insert(std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                            return a.second < b.second;
                        })->first);
    EXPECT_EQ(majority.size(), std::size_t(pair->partCount));
    EXPECT_EQ(labelRun(2, 3).first, 3);
    scene->labelCost_GC = 0;
    scene->reestimateRounds_GC = 0;
    scene->maxNumLabels_GC = cap;
}

TEST_F(AutomaticRun, ParametersReachTheStagesConverted) {
    scene->maxIter_MS = 99.9f;
    useLargeDiagonal();
    scene->growRegionDistThreshold_VR = 1.0f;
    scene->mismatchError_GC = 10000.0f;
    scene->graphCutInstance_GC = 3;
    auto [out, err] = run();
    EXPECT_NE(out.find("*** Maximum number of iterations: 99\n"), std::string::npos);
    EXPECT_NE(out.find("*** Grow region distance threshold squared: 2\n"), std::string::npos) << out;
    EXPECT_NE(err.find("Unknown graph cut instance type 3!\n"), std::string::npos) << err;
    EXPECT_EQ(out.find("Starting graph cut optimization"), std::string::npos);
    EXPECT_EQ(countOf(out, "Running time summary"), 1);
    for (const char* stage : {"Sub-sampling geometry", "Populating correspondence candidates", "Mean-shift clustering",
                              "Extracting dense correspondences (ICP)", "Graph cut optimization"})
        EXPECT_NE(out.find(std::string("***** ") + stage + " took "), std::string::npos) << stage;
}

TEST_F(AutomaticRun, MismatchErrorIsAPercentageOfTheDiagonal) {
    useLargeDiagonal();
    scene->mismatchError_GC = 10000.0f;
    auto [out, err] = run();
    EXPECT_NE(out.find("*** Error for penalizing inconsistent labels: 20000\n"), std::string::npos) << out;
}

TEST_F(AutomaticRun, FeatureTypeFiveUsesSpinImagePairing) {
    scene->featureType = 5;
    auto [out, err] = run();
    EXPECT_EQ(out.find("Starting feature-based pairing..."), std::string::npos);
    EXPECT_TRUE(out.find("Starting spin image based pairing...") != std::string::npos ||
                err.find("spinImageCandidates") != std::string::npos)
        << out << err;
}

TEST_F(AutomaticRun, ModeThreeAppendsOneLinePerRun) {
    fs::path result = *dir / "result.gc", distances = *dir / "distances.txt";
    scene->autoSaveCorrespondenceResult = result.string();
    scene->alignDistanceFile = distances.string();
    scene->autoProcessMode = 1;
    run();
    AutoModeOutcome written = runAutoModeSteps(*scene, true);
    ASSERT_TRUE(written.succeeded) << written.failure;
    ASSERT_TRUE(fs::exists(result));

    scene->autoProcessMode = 3;
    for (int round = 0; round < 2; ++round) {
        scene->setMatchCandidates(nullptr);  // a fresh start, as at program start-up
        AutoModeOutcome outcome = runAutoModeSteps(*scene, true);
        EXPECT_TRUE(outcome.succeeded) << outcome.failure;
        EXPECT_TRUE(outcome.endsProcess);
    }
    std::ifstream in(distances);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_EQ(line.rfind(result.string() + ": Maximum Symmetric Hausdorff Error ", 0), 0u) << line;
        EXPECT_NE(line.find("% of bbox diagonal)"), std::string::npos);
    }
    EXPECT_EQ(lines, 2);

    // An unwritable distance file is reported; the strict run appends nothing anywhere.
    scene->alignDistanceFile = (*dir / "missing" / "d.txt").string();
    LogCapture log;
    AutoModeOutcome failed = runAutoModeSteps(*scene, true);
    std::string err = log.err();
    EXPECT_FALSE(failed.succeeded);
    EXPECT_NE(err.find("Error in saving alignment distance: could not open output file " +
                       scene->alignDistanceFile + " for writing!"),
              std::string::npos);
    scene->autoProcessMode = 0;
}
