// Spin images: time per image with the grid of computeSpinImages and with a kd-tree range query,
// both visiting only the vertices within an image's reach, against the all-pairs loop, on point sets of
// 20k and 100k vertices spread over a unit sphere with the usual parameters (bins one mesh
// resolution wide, 1% of the bounding-box diagonal; 10 x 10 bins; 60 degrees support). The images
// of a fixed set of query vertices are timed, so the all-pairs case stays affordable at 100k.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>

#include "geometry/ShapeModel.h"
#include "geometry/SpinImages.h"

using namespace veltrix;

namespace {

const int kQueries = 200;

std::unique_ptr<ShapeModel> sphereCloud(int n)
{
    auto shape = std::make_unique<ShapeModel>(1);
    std::mt19937 gen(42u);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (int i = 0; i < n; ++i) {
        Vec3f d(gauss(gen), gauss(gen), gauss(gen));
        d = d / d.length();
        shape->vertices.addPoint(d);
        shape->normals.addPoint(d);
        shape->vertexStatus.push_back(STATUS_INTERIOR);
    }
    const float diagonal = 2.0f * std::sqrt(3.0f);
    shape->spinImages.binSize = 0.01f * diagonal;
    shape->spinImages.imageWidth = 10;
    shape->spinImages.supportAngle = 60.0f;
    shape->spinImages.images.assign(n, SpinImage());
    return shape;
}

enum Method { kGrid, kRangeQuery, kAllPairs };

void run(benchmark::State& state, Method method)
{
    const int n = int(state.range(0));
    std::unique_ptr<ShapeModel> shape = sphereCloud(n);
    const int stride = n / kQueries;
    // Grid and kd-tree are built outside the timed loop; each is built once per shape.
    const SpinImageReach reach(*shape);
    computeSpinImage(*shape, 0);
    for (auto _ : state) {
        for (int q = 0; q < kQueries; ++q) {
            if (method == kAllPairs)
                computeSpinImageAllPairs(*shape, q * stride);
            else if (method == kRangeQuery)
                computeSpinImage(*shape, q * stride);
            else
                computeSpinImageWithin(*shape, q * stride, reach);
        }
        benchmark::DoNotOptimize(shape->spinImages.images[0][0][0]);
    }
    state.SetItemsProcessed(state.iterations() * kQueries);
    state.counters["imagesPerSecond"] = benchmark::Counter(double(kQueries), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SpinImageGrid(benchmark::State& state) { run(state, kGrid); }
void BM_SpinImageRangeQuery(benchmark::State& state) { run(state, kRangeQuery); }
void BM_SpinImageAllPairs(benchmark::State& state) { run(state, kAllPairs); }

// Building the grid, once per computeSpinImages.
void BM_SpinImageGridBuild(benchmark::State& state)
{
    std::unique_ptr<ShapeModel> shape = sphereCloud(int(state.range(0)));
    for (auto _ : state) {
        SpinImageReach reach(*shape);
        benchmark::DoNotOptimize(reach.valid());
    }
}

}  // namespace

BENCHMARK(BM_SpinImageGrid)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpinImageRangeQuery)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpinImageGridBuild)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpinImageAllPairs)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
