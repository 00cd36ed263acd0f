// Max-flow on segmentation-style grid graphs and expansion cycles of a labelling run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "graphcut/FlowGraph.h"
#include "GridGraphs.h"
#include "graphcut/MultiLabelOptimizer.h"

using namespace veltrix;

namespace {

// Loads a grid graph into a max-flow graph.
void buildGrid(FlowGraph& g, int nx, int ny, int nz, unsigned seed) {
    const GridGraph grid = makeGridGraph(nx, ny, nz, seed);
    std::vector<FlowGraph::Node> nodes(static_cast<size_t>(grid.nodeCount));
    for (auto& n : nodes) n = g.addNode();
    for (int i = 0; i < grid.nodeCount; ++i) g.addTerminalCaps(nodes[i], grid.source[i], grid.sink[i]);
    for (const auto& e : grid.edges) g.addEdge(nodes[e.u], nodes[e.v], e.cap, e.revCap);
}

void gridBench(benchmark::State& state, int nx, int ny, int nz) {
    double flow = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FlowGraph* g = new FlowGraph;
        buildGrid(*g, nx, ny, nz, 17);
        state.ResumeTiming();
        flow = g->computeMaxFlow();
        state.PauseTiming();
        delete g;
        state.ResumeTiming();
    }
    state.counters["flow"] = flow;
}

void BM_Grid2D_512(benchmark::State& s) { gridBench(s, 512, 512, 1); }
void BM_Grid2D_1024(benchmark::State& s) { gridBench(s, 1024, 1024, 1); }
void BM_Grid3D_100(benchmark::State& s) { gridBench(s, 100, 100, 100); }

// Labelling run: 100k sites on a 6-connected 3-D grid, 10 labels, truncated-linear smoothness.
struct LabelProblem {
    int nx = 50, ny = 50, nz = 40;
    std::vector<float> data;
    int labels = 10;
};

float labelData(int site, int label, void* user) {
    const LabelProblem* p = static_cast<const LabelProblem*>(user);
    return p->data[static_cast<size_t>(site) * p->labels + label];
}
float labelSmooth(int, int, int l1, int l2, void*) { return 2.0f * std::min(std::abs(l1 - l2), 3); }

void setupLabelling(GeneralGraphOptimizer& o, LabelProblem& p) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(0.0f, 4.0f);
    SmoothField field(9);
    int n = p.nx * p.ny * p.nz;
    p.data.resize(static_cast<size_t>(n) * p.labels);
    for (int z = 0; z < p.nz; ++z)
        for (int y = 0; y < p.ny; ++y)
            for (int x = 0; x < p.nx; ++x) {
                int s = (z * p.ny + y) * p.nx + x;
                double ideal = (field(x * 2.0, y * 2.0, z * 2.0) + 1.0) * 0.5 * (p.labels - 1);
                for (int l = 0; l < p.labels; ++l)
                    p.data[static_cast<size_t>(s) * p.labels + l] =
                        static_cast<float>(std::abs(l - ideal)) * 3.0f + noise(rng);
                if (x + 1 < p.nx) o.addNeighbourPair(s, s + 1, 1.0f);
                if (y + 1 < p.ny) o.addNeighbourPair(s, s + p.nx, 1.0f);
                if (z + 1 < p.nz) o.addNeighbourPair(s, s + p.nx * p.ny, 1.0f);
            }
    o.setDataCostFunction(labelData, &p);
    o.setSmoothCostFunction(labelSmooth, nullptr);
}

// One expansion cycle from the all-zero labelling (the costliest cycle of a run).
void BM_ExpansionFirstCycle(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        LabelProblem p;
        GeneralGraphOptimizer o(p.nx * p.ny * p.nz, p.labels);
        setupLabelling(o, p);
        o.computeEnergy();
        state.ResumeTiming();
        for (int l = 0; l < p.labels; ++l) o.expandLabel(l);
        benchmark::DoNotOptimize(o.labeling.data());
    }
}

// A whole run until a cycle brings no improvement; reports the cycle count.
void BM_ExpansionRun(benchmark::State& state) {
    double energy = 0;
    for (auto _ : state) {
        state.PauseTiming();
        LabelProblem p;
        GeneralGraphOptimizer o(p.nx * p.ny * p.nz, p.labels);
        setupLabelling(o, p);
        o.computeEnergy();
        state.ResumeTiming();
        energy = o.runExpansion(1 << 30);
    }
    state.counters["energy"] = energy;
}

}  // namespace

BENCHMARK(BM_Grid2D_512)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);
BENCHMARK(BM_Grid2D_1024)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);
BENCHMARK(BM_Grid3D_100)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);
BENCHMARK(BM_ExpansionFirstCycle)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);
BENCHMARK(BM_ExpansionRun)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);
