// Principal-curvature frames: computeFrames per vertex on generated tori, and the two forms of the
// curvature-tensor sums against the neighbourhood size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QTemporaryDir>
#include <ctime>
#include <cmath>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "geometry/ShapeModel.h"
#include "geometry/SurfaceFitting.h"

using namespace veltrix;

namespace {

constexpr double kPi = 3.14159265358979;

// A torus (R = 3, r = 1) point set of about n vertices with outward normals.
std::unique_ptr<ShapeModel> torus(int n, const std::string& base) {
    std::unique_ptr<ShapeModel> s(new ShapeModel(1));
    s->baseDir = base;
    s->fileName = "torus.obj";
    const int tube = static_cast<int>(std::sqrt(n / 3.0));
    const int around = n / tube;
    for (int i = 0; i < around; ++i)
        for (int j = 0; j < tube; ++j) {
            const double u = 2 * kPi * i / around, v = 2 * kPi * j / tube;
            const double rho = 3.0 + std::cos(v);
            s->vertices.addPoint(Vec3f(float(rho * std::cos(u)), float(rho * std::sin(u)), float(std::sin(v))));
            s->normals.addPoint(
                Vec3f(float(std::cos(v) * std::cos(u)), float(std::cos(v) * std::sin(u)), float(std::sin(v))));
            s->vertexStatus.push_back(STATUS_INTERIOR);
        }
    return s;
}

// Squared radius around which a vertex of an n-vertex torus has about k neighbours.
float squaredRadiusFor(int n, double k) {
    const double area = 4 * kPi * kPi * 3.0;
    return static_cast<float>(k * area / n / kPi);
}

long peakResidentKiB() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// computeFrames on n vertices at one scale (about 16 neighbours) or three (16, 36, 64).
void BM_ComputeFrames(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int scaleCount = static_cast<int>(state.range(1));
    QTemporaryDir dir;
    std::unique_ptr<ShapeModel> shape = torus(n, dir.path().toStdString() + "/");
    std::vector<float> scales;
    for (double k : {16.0, 36.0, 64.0}) {
        if (static_cast<int>(scales.size()) == scaleCount) break;
        scales.push_back(squaredRadiusFor(n, k));
    }
    std::ostringstream sink;
    double seconds = 0.0;
    for (auto _ : state) {
        std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
        const std::clock_t start = std::clock();  // CPU time: the machine may be shared
        computeFrames(*shape, scales, true);
        seconds += double(std::clock() - start) / CLOCKS_PER_SEC;
        std::cout.rdbuf(old);
        sink.str("");
    }
    state.counters["cpu_us_per_vertex"] = seconds * 1e6 / (double(state.iterations()) * shape->vertexCount());
    state.counters["peak_MiB"] = peakResidentKiB() / 1024.0;
}
BENCHMARK(BM_ComputeFrames)
    ->Args({10000, 1})
    ->Args({10000, 3})
    ->Args({50000, 1})
    ->Args({50000, 3})
    ->Args({200000, 1})
    ->Args({200000, 3})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One curvature-tensor fit on m neighbours: the pair loop against the linear form.
void fitNeighbourhood(benchmark::State& state, bool linear) {
    const int m = static_cast<int>(state.range(0));
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> d(-0.1f, 0.1f);
    std::vector<Vec3f> points, normals;
    for (int i = 0; i < m; ++i) {
        const float x = d(rng), y = d(rng);
        points.emplace_back(x, y, 0.5f * (x * x - 0.3f * y * y));
        Vec3f n(-x, 0.3f * y, 1.0f);
        normals.push_back(n / n.length());
    }
    Vec3f u, v;
    tangentBasis(Vec3f(0, 0, 1), u, v);
    PrincipalFrame f;
    for (auto _ : state) {
        bool ok = linear ? fitCurvatureTensorLinear(points, normals, u, v, f)
                         : fitCurvatureTensorPairwise(points, normals, u, v, f);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(f);
    }
}
void BM_FitPairLoop(benchmark::State& state) { fitNeighbourhood(state, false); }
void BM_FitLinearForm(benchmark::State& state) { fitNeighbourhood(state, true); }
BENCHMARK(BM_FitPairLoop)->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Arg(128)->Arg(256);
BENCHMARK(BM_FitLinearForm)->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Arg(128)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
