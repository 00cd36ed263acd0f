// Loading a mesh of about a million triangles from OBJ: this system's reader and mesh set-up
// against VTK's OBJ reader on the same file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <vtkNew.h>
#include <vtkOBJReader.h>
#include <vtkPolyData.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "geometry/ShapeModel.h"

using namespace veltrix;

// A wavy n x n grid (2 n^2 triangles) with vertex normals, written once per process.
static const std::string& benchFile(int n) {
    static std::string path;
    if (!path.empty()) return path;
    char dir[] = "/tmp/veltrix_objbenchXXXXXX";
    if (!mkdtemp(dir)) std::abort();
    path = std::string(dir) + "/grid.obj";
    FILE* f = std::fopen(path.c_str(), "w");
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i)
            std::fprintf(f, "v %g %g %g\n", i * 0.01, j * 0.01, 0.05 * std::sin(i * 0.1) * std::cos(j * 0.07));
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) std::fprintf(f, "vn 0 0 1\n");
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i + 1, b = a + 1, c = a + n + 1, d = c + 1;
            std::fprintf(f, "f %d//%d %d//%d %d//%d\nf %d//%d %d//%d %d//%d\n", a, a, b, b, d, d, a, a, d, d, c, c);
        }
    std::fclose(f);
    return path;
}

static constexpr int kGrid = 708;  // 1,002,528 triangles

static void BM_LoadMesh(benchmark::State& state) {
    const std::string& path = benchFile(kGrid);
    std::streambuf* saved = std::cout.rdbuf();
    std::ostringstream sink;
    for (auto _ : state) {
        std::cout.rdbuf(sink.rdbuf());
        Mesh3_real mesh;
        mesh.setFileName(path, "");
        mesh.loadGeometry();
        mesh.computeNormals(true);
        mesh.detectBoundary();
        std::cout.rdbuf(saved);
        sink.str("");
        benchmark::DoNotOptimize(mesh.faces.data());
        state.counters["triangles"] = static_cast<double>(mesh.faces.size());
    }
}
BENCHMARK(BM_LoadMesh)->Unit(benchmark::kMillisecond)->Iterations(3);

static void BM_VtkObjReader(benchmark::State& state) {
    const std::string& path = benchFile(kGrid);
    for (auto _ : state) {
        vtkNew<vtkOBJReader> reader;
        reader->SetFileName(path.c_str());
        reader->Update();
        state.counters["triangles"] = static_cast<double>(reader->GetOutput()->GetNumberOfPolys());
    }
}
BENCHMARK(BM_VtkObjReader)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    unlink(benchFile(kGrid).c_str());
    return 0;
}
