// Whole-pipeline running time on generated articulated pairs: shape loading with descriptor
// computation, then every stage of the automatic run, with each stage's time and the peak
// resident memory as counters. Settings come from the demo parameter file.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <filesystem>
#include <iostream>
#include <sstream>

#include "app/AutoProcess.h"
#include "matching/MatchCandidates.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "geometry/ShapeGenerator.h"
#include "core/StageTimers.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

const char* const* const kStages = kPipelineStages;

double seconds(const char* stage) { return timerSeconds(stage); }

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

void BM_Registration(benchmark::State& state) {
    const int vertices = int(state.range(0));
    fs::path dir = fs::temp_directory_path() / ("veltrix_bench_" + std::to_string(vertices));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ArticulatedPair pair = makeArticulatedPair(vertices);
    writeObjFile((dir / "figure-000.obj").string(), pair.source, pair.faces);
    writeObjFile((dir / "figure-001.obj").string(), pair.target, pair.faces);

    for (auto _ : state) {
        Scene scene;
        xmlParam store;
        scene.registerParams(store);
        XmlDocument doc;
        std::ostringstream quiet;
        std::streambuf* saved = std::cout.rdbuf(quiet.rdbuf());
        store.readParamXML(VELTRIX_DEMO_PARAMS, doc);
        store.loadParamXML(doc);
        randomSeed(1);
        scene.rootDir = dir.string() + "/";
        scene.defaultFile.clear();
        scene.defaultSourceFile = (dir / "figure-000.obj").string();
        scene.defaultTargetFile = (dir / "figure-001.obj").string();
        // Frames and features are computed afresh every time: no cache from an earlier round.
        fs::remove_all(dir / "preprocessing");
        startTimer("Loading shapes");
        scene.loadStartupShapes();
        stopTimer("Loading shapes");
        scene.autoProcess();
        std::cout.rdbuf(saved);

        double total = seconds("Loading shapes");
        for (const char* stage : kPipelineStages) total += seconds(stage);
        state.SetIterationTime(total);
        state.counters["load_s"] = seconds("Loading shapes");
        state.counters["subsample_s"] = seconds(kStages[0]);
        state.counters["pairing_s"] = seconds(kStages[1]);
        state.counters["meanshift_s"] = seconds(kStages[2]);
        state.counters["verify_s"] = seconds(kStages[3]);
        state.counters["graphcut_s"] = seconds(kStages[4]);
        state.counters["labels"] = scene.matchCandidates ? double(scene.matchCandidates->sortedTransforms.size()) : 0;
    }
    state.counters["vertices"] = double(pair.source.size());
    state.counters["peak_MB"] = peakMegabytes();
    fs::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Registration)->Arg(3000)->Arg(20000)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
