// Growth of the whole registration with the mesh size, and what worker threads buy: the generated
// figure at 20k, 100k and 200k vertices per pose, each run with one and with two threads on the
// demo settings plus a capped frame neighbourhood (maxNeighbors_PC). Prints wall seconds per stage,
// the process CPU seconds of each run, the growth ratios and whether the two runs of a size gave
// the same labels.
//
//   bench_scaling [maxNeighbors_PC (default 48)] [vertex counts...]
#include <sys/resource.h>

#include <QDomDocument>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "AutoProcess.h"
#include "LabelingResult.h"
#include "MatchCandidates.h"
#include "Parallel.h"
#include "Random.h"
#include "Scene.h"
#include "ShapeGenerator.h"
#include "StageTimers.h"
#include "XmlParam.h"

namespace fs = std::filesystem;

namespace {

// Loading, then the stages of the automatic run.
const int kStageCount = 1 + kPipelineStageCount;
const char* const kStages[kStageCount] = {"Loading shapes",    kPipelineStages[0], kPipelineStages[1],
                                          kPipelineStages[2], kPipelineStages[3], kPipelineStages[4]};

double seconds(const char* stage) { return timerSeconds(stage); }

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

struct Run {
    double stage[kStageCount] = {};
    double total = 0, cpu = 0;
    std::vector<int> labelsSource, labelsTarget;
};

Run registerOnce(const fs::path& dir, int maxNeighbours, int threads) {
    setThreadCount(threads);
    Run run;
    Scene scene;
    xmlParam store;
    scene.registerParams(store);
    QDomDocument doc;
    std::ostringstream quiet;
    std::streambuf* savedOut = std::cout.rdbuf(quiet.rdbuf());
    std::streambuf* savedErr = std::cerr.rdbuf(quiet.rdbuf());
    store.readParamXML(VELTRIX_DEMO_PARAMS, doc);
    store.loadParamXML(doc);
    scene.maxNeighbors_PC = maxNeighbours;
    randomSeed(1);
    scene.rootDir = dir.string() + "/";
    scene.defaultFile.clear();
    scene.defaultSourceFile = (dir / "figure-000.obj").string();
    scene.defaultTargetFile = (dir / "figure-001.obj").string();
    fs::remove_all(dir / "preprocessing");  // frames are computed afresh every time
    const double cpu0 = cpuSeconds();
    startTimer(kStages[0]);
    scene.loadStartupShapes();
    stopTimer(kStages[0]);
    scene.autoProcess();
    run.cpu = cpuSeconds() - cpu0;
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    for (int s = 0; s < kStageCount; ++s) {
        run.stage[s] = seconds(kStages[s]);
        run.total += run.stage[s];
    }
    if (scene.matchCandidates) {
        run.labelsSource = scene.labeling->labelsSource;
        run.labelsTarget = scene.labeling->labelsTarget;
    }
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int maxNeighbours = argc > 1 ? std::atoi(argv[1]) : 48;
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {20000, 100000, 200000};

    std::printf("maxNeighbors_PC = %d; wall seconds per stage; cpu = process CPU seconds of the run\n",
                maxNeighbours);
    std::printf("%8s %3s %8s %8s %8s %8s %8s %8s %9s %9s  labels\n", "vertices", "thr", "loading", "subsamp",
                "pairing", "meanshft", "verify", "graphcut", "total", "cpu");
    std::fflush(stdout);
    std::vector<int> vertexCounts;
    std::vector<Run> one, two;
    for (int n : sizes) {
        const fs::path dir = fs::temp_directory_path() / ("veltrix_scaling_" + std::to_string(n));
        fs::remove_all(dir);
        fs::create_directories(dir);
        ArticulatedPair pair = makeArticulatedPair(n);
        writeObjFile((dir / "figure-000.obj").string(), pair.source, pair.faces);
        writeObjFile((dir / "figure-001.obj").string(), pair.target, pair.faces);
        vertexCounts.push_back(int(pair.source.size()));
        for (int threads : {1, 2}) {
            Run r = registerOnce(dir, maxNeighbours, threads);
            std::string same = "";
            if (threads == 2)
                same = (r.labelsSource == one.back().labelsSource && r.labelsTarget == one.back().labelsTarget)
                           ? "same as 1 thread"
                           : "DIFFER from 1 thread";
            std::printf("%8d %3d %8.2f %8.3f %8.3f %8.2f %8.2f %8.2f %9.2f %9.2f  %s\n", vertexCounts.back(),
                        threads, r.stage[0], r.stage[1], r.stage[2], r.stage[3], r.stage[4], r.stage[5], r.total,
                        r.cpu, same.c_str());
            std::fflush(stdout);
            (threads == 1 ? one : two).push_back(r);
        }
        fs::remove_all(dir);
    }
    for (size_t i = 1; i < vertexCounts.size(); ++i) {
        const double vr = double(vertexCounts[i]) / vertexCounts[0];
        std::printf("%d -> %d vertices (x%.2f): total time x%.2f with 1 thread, x%.2f with 2 (%.2f and %.2f "
                    "times the vertex growth)\n",
                    vertexCounts[0], vertexCounts[i], vr, one[i].total / one[0].total, two[i].total / two[0].total,
                    one[i].total / one[0].total / vr, two[i].total / two[0].total / vr);
    }
    for (size_t i = 0; i < vertexCounts.size(); ++i)
        std::printf("%d vertices: two threads %.2fx faster on loading (frames), %.2fx on verification, %.2fx "
                    "overall\n",
                    vertexCounts[i], one[i].stage[0] / two[i].stage[0], one[i].stage[4] / two[i].stage[4],
                    one[i].total / two[i].total);
    return 0;
}
