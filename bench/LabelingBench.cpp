// Relabelling on a generated articulated pair and the alignment error with and without the
// triangle hierarchy.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "labeling/GraphCutResult.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "graphcut/MultiLabelOptimizer.h"
#include "geometry/ShapeGenerator.h"

using namespace veltrix;

namespace {

struct Quiet {
    std::ostringstream sink;
    std::streambuf* saved;
    Quiet() : saved(std::cout.rdbuf(sink.rdbuf())) {}
    ~Quiet() { std::cout.rdbuf(saved); }
};

Mesh3_real* meshFromPose(const std::vector<std::array<float, 3>>& points, const std::vector<std::array<int, 3>>& faces) {
    Mesh3_real* m = new Mesh3_real;
    m->baseDir = "/tmp/veltrix_bench/";
    m->fileName = "figure.obj";
    for (const auto& p : points) m->vertices.addPoint(Vec3f(p[0], p[1], p[2]));
    for (const auto& f : faces) m->faces.push_back({f[0], f[1], f[2]});
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    Quiet q;
    m->computeNormals(true);
    m->detectBoundary();
    return m;
}

RigidTransform fromArray(const std::array<float, 12>& a) {
    RigidTransform T;
    for (int k = 0; k < 9; ++k) T.R[k] = a[k];
    for (int k = 0; k < 3; ++k) T.t[k] = a[9 + k];
    return T;
}

// The part motions and perturbed copies of them, as a sorted result of `labels` transforms.
void setLabels(MatchCandidates& mc, const ArticulatedPair& pair, int labels) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.02f, 0.02f);
    mc.sortedRegions.clear();
    mc.sortedTransforms.clear();
    mc.sortedInverseTransforms.clear();
    for (int k = 0; k < labels; ++k) {
        RigidTransform T = fromArray(pair.motions[k % pair.motions.size()]);
        if (k >= static_cast<int>(pair.motions.size()))
            for (float& t : T.t) t += u(rng);
        CorrespondenceList region;
        region.addCorrespondence(Vec3f(), Vec3f(), 0, 0);
        mc.sortedRegions.push_back(region);
        mc.sortedTransforms.push_back(T);
        mc.sortedInverseTransforms.push_back(invertTransform(T));
    }
}

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Relabelling of a pair of about 20k vertices each with 10 labels; stage times as counters.
void BM_Relabel(benchmark::State& state) {
    const ArticulatedPair pair = makeArticulatedPair(static_cast<int>(state.range(0)));
    std::unique_ptr<Mesh3_real> source(meshFromPose(pair.source, pair.faces));
    std::unique_ptr<Mesh3_real> target(meshFromPose(pair.target, pair.faces));
    const float diagonal = 2.5f;
    double closest = 0, neighbours = 0, total = 0;
    for (auto _ : state) {
        MatchCandidates mc(source.get(), target.get());
        setLabels(mc, pair, 10);
        LabelingResult labeling(mc);
        Quiet q;
        labeling.costs.closestPtDistThreshold = 0.01f * diagonal;
        auto t0 = std::chrono::steady_clock::now();
        labeling.precomputeClosestPts();
        closest = secondsSince(t0);
        t0 = std::chrono::steady_clock::now();
        {
            GeneralGraphOptimizer opt(source->vertexCount() + target->vertexCount(), 11);
            labeling.setupSymmetricNeighbours(opt, source->edgeList->edges, target->edgeList->edges, {}, {});
        }
        neighbours = secondsSince(t0);
        t0 = std::chrono::steady_clock::now();
        labeling.relabel(2, 1, true, 0, 0.01f * diagonal, 1.0f * diagonal, 0.01f * diagonal, 0.01f * diagonal,
                         1.0f, 1.0f, 0.02f * diagonal, 0.05f * diagonal);
        total = secondsSince(t0);
        state.SetIterationTime(total);
    }
    state.counters["vertices"] = source->vertexCount();
    state.counters["closest_s"] = closest;
    state.counters["neighbours_s"] = neighbours;
    state.counters["optimise_s"] = total - closest - neighbours;
    state.counters["peak_MB"] = peakMegabytes();
}

// Both one-sided distances of the pair moved by its true part motions, with the hierarchy or by
// testing every triangle.
void hausdorffBench(benchmark::State& state, bool exhaustive) {
    const ArticulatedPair pair = makeArticulatedPair(static_cast<int>(state.range(0)));
    std::vector<Vec3f> moved, target;
    for (size_t v = 0; v < pair.source.size(); ++v) {
        const auto& s = pair.source[v];
        moved.push_back(fromArray(pair.motions[pair.part[v]]).apply(Vec3f(s[0], s[1], s[2])));
        target.push_back(Vec3f(pair.target[v][0], pair.target[v][1], pair.target[v][2]));
    }
    std::vector<Triangle> faces;
    for (const auto& f : pair.faces) faces.push_back({f[0], f[1], f[2]});
    float result = 0;
    for (auto _ : state) {
        float forward = 0, backward = 0;
        if (exhaustive) {
            for (const Vec3f& p : moved) forward = std::max(forward, closestTriangleSquaredDistanceExhaustive(p, target, faces));
            for (const Vec3f& p : target) backward = std::max(backward, closestTriangleSquaredDistanceExhaustive(p, moved, faces));
        } else {
            TriangleBVH targetSearch(target, faces);
            for (const Vec3f& p : moved) forward = std::max(forward, targetSearch.closestSquaredDistance(p));
            TriangleBVH sourceSearch(moved, faces);
            for (const Vec3f& p : target) backward = std::max(backward, sourceSearch.closestSquaredDistance(p));
        }
        result = std::sqrt(std::max(forward, backward));
    }
    state.counters["vertices"] = static_cast<double>(pair.source.size());
    state.counters["error"] = result;
}

void BM_HausdorffHierarchy(benchmark::State& s) { hausdorffBench(s, false); }
void BM_HausdorffExhaustive(benchmark::State& s) { hausdorffBench(s, true); }

}  // namespace

BENCHMARK(BM_Relabel)->Arg(20000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_HausdorffHierarchy)->Arg(5000)->Arg(20000)->Arg(50000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HausdorffExhaustive)->Arg(5000)->Arg(20000)->Iterations(1)->Unit(benchmark::kSecond);
