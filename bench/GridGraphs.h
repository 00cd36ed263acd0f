// Segmentation-style grid graphs shared by the max-flow benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

// Smooth random field in about [-1, 1]: a sum of a few random plane waves.
struct SmoothField {
    explicit SmoothField(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (auto& w : waves) {
            for (double& k : w.k) k = (u(rng) - 0.5) * 0.08;
            w.phase = u(rng) * 6.283185307;
        }
    }
    double operator()(double x, double y, double z) const {
        double s = 0;
        for (const auto& w : waves) s += std::sin(w.k[0] * x + w.k[1] * y + w.k[2] * z + w.phase);
        return s / 2.0;
    }
    struct Wave {
        double k[3];
        double phase;
    };
    Wave waves[4];
};

// A grid graph as plain lists: terminal capacities per node, neighbour edges with both capacities.
struct GridGraph {
    struct Edge {
        int u, v;
        float cap, revCap;
    };
    int nodeCount = 0;
    std::vector<float> source, sink;
    std::vector<Edge> edges;
};

// 4-connected (nz == 1) or 6-connected grid with neighbour capacities in [0.5, 1.5) and terminal
// capacities from the smooth field plus noise, about half the nodes preferring each side.
inline GridGraph makeGridGraph(int nx, int ny, int nz, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> cap(0.5f, 1.5f);
    std::uniform_real_distribution<float> noise(0.0f, 0.5f);
    SmoothField field(seed + 1);
    GridGraph g;
    g.nodeCount = nx * ny * nz;
    g.source.resize(static_cast<size_t>(g.nodeCount));
    g.sink.resize(static_cast<size_t>(g.nodeCount));
    auto at = [&](int x, int y, int z) { return (z * ny + y) * nx + x; };
    auto edge = [&](int u, int v) {
        const float c = cap(rng);  // drawn one after the other so every compiler builds the same graph
        const float r = cap(rng);
        g.edges.push_back({u, v, c, r});
    };
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const double f = field(x, y, z);
                const float s = static_cast<float>(std::max(f, 0.0) * 4.0) + noise(rng);
                const float t = static_cast<float>(std::max(-f, 0.0) * 4.0) + noise(rng);
                g.source[at(x, y, z)] = s;
                g.sink[at(x, y, z)] = t;
                if (x + 1 < nx) edge(at(x, y, z), at(x + 1, y, z));
                if (y + 1 < ny) edge(at(x, y, z), at(x, y + 1, z));
                if (z + 1 < nz) edge(at(x, y, z), at(x, y, z + 1));
            }
    return g;
}
