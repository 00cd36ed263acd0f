// Correspondence search stages on a generated articulated pair: feature pairing, mean shift and
// verification, each timed on its own, with the work done and the peak resident memory as
// counters. Frames and curvature features are computed once per size, outside the timing.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "geometry/Features.h"
#include "matching/MatchCandidates.h"
#include "matching/MeanShift.h"
#include "core/Random.h"
#include "geometry/ShapeGenerator.h"
#include "matching/Verify.h"

using namespace veltrix;

namespace fs = std::filesystem;

namespace {

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

Mesh3_real* meshFrom(const std::vector<std::array<float, 3>>& points, const std::vector<std::array<int, 3>>& faces,
                     const fs::path& dir, const std::string& name) {
    Mesh3_real* mesh = new Mesh3_real();
    mesh->baseDir = dir.string() + "/";
    mesh->fileName = name;
    std::vector<Vec3f> vertices;
    for (const auto& p : points) vertices.push_back(Vec3f(p[0], p[1], p[2]));
    mesh->vertices.setPoints(vertices);
    mesh->vertexStatus.assign(vertices.size(), STATUS_INTERIOR);
    for (const auto& f : faces) mesh->faces.push_back(Triangle{f[0], f[1], f[2]});
    mesh->computeNormals(true);
    mesh->detectBoundary();
    // Neighbourhood radius of about 4% of the figure's height.
    computeFrames(*mesh, {0.08f * 0.08f}, true);
    copyCurvatureFeatures(*mesh);
    return mesh;
}

// Processor time of this process: the machine may be shared, so wall time overstates the cost.
double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

// Smallest radius within which every source sample has at least `k` target samples in feature
// space, so that the pairing yields k pairs per sample.
float radiusForCandidates(MatchCandidates& mc, int k) {
    std::vector<float> radii;
    std::vector<int> idx;
    std::vector<float> dist;
    FeatureSetANN& target = *mc.targetSample->features;
    const int kk = std::min(k, target.size());
    for (int i = 0; i < mc.sourceSample->vertexCount(); ++i) {
        target.knnQuery(mc.sourceSample->features->point(i), kk, idx, dist, true);
        if (!dist.empty()) radii.push_back(dist.back());
    }
    if (radii.empty()) return 1.0f;
    // Slightly above the largest k-th distance, so that rounding never drops the k-th neighbour.
    return *std::max_element(radii.begin(), radii.end()) * 1.0001f;
}

void BM_CorrespondenceSearch(benchmark::State& state) {
    const int vertices = int(state.range(0));
    const fs::path dir = fs::temp_directory_path() / ("veltrix_matching_bench_" + std::to_string(vertices));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ostringstream quiet;
    std::streambuf* saved = std::cout.rdbuf(quiet.rdbuf());
    const ArticulatedPair pair = makeArticulatedPair(vertices);
    std::unique_ptr<Mesh3_real> source(meshFrom(pair.source, pair.faces, dir, "figure-000.obj"));
    std::unique_ptr<Mesh3_real> target(meshFrom(pair.target, pair.faces, dir, "figure-001.obj"));
    std::cout.rdbuf(saved);

    for (auto _ : state) {
        quiet.str("");
        saved = std::cout.rdbuf(quiet.rdbuf());
        randomSeed(1);
        MatchCandidates mc(source.get(), target.get());
        mc.subsample(1000, 1000, 0.5f);
        const float radius = radiusForCandidates(mc, 100);

        double start = cpuSeconds();
        mc.findCandidateCorrespondence(radius * radius, 100, 0.0f);
        const double pairing = cpuSeconds() - start;

        start = cpuSeconds();
        mc.clusters = clusterMotions(mc.transformationSpace, {0.25f * 0.25f, 1.0f, 100, 0.0f});
        const double meanShift = cpuSeconds() - start;

        start = cpuSeconds();
        keepVerified(mc, verifyRegions(mc, {0, 20, 0.01f, 0.0f, {}}));
        mc.sortResult(20, 10);
        const double verify = cpuSeconds() - start;
        std::cout.rdbuf(saved);

        const MeanShiftStats& ms = mc.clusters.stats;
        state.SetIterationTime(pairing + meanShift + verify);
        state.counters["pairs"] = mc.size();
        state.counters["pairing_s"] = pairing;
        state.counters["meanshift_s"] = meanShift;
        state.counters["ms_iterations"] = ms.iterations;
        state.counters["ms_queries_per_s"] = meanShift > 0 ? (ms.shiftQueries + ms.groupingQueries) / meanShift : 0;
        state.counters["ms_mean_neighbours"] = ms.shiftQueries > 0 ? double(ms.shiftNeighbours) / ms.shiftQueries : 0;
        state.counters["clusters"] = mc.clusters.modes.size();
        state.counters["verify_s"] = verify;
        state.counters["regions"] = double(mc.sortedRegions.size());
        state.counters["largest_region"] = mc.sortedRegions.empty() ? 0.0 : mc.sortedRegions[0].size();
    }
    state.counters["vertices"] = source->vertexCount();
    state.counters["peak_MB"] = peakMegabytes();
    fs::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_CorrespondenceSearch)->Arg(3000)->Arg(20000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
