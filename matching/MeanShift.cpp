#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "matching/MeanShift.h"
#include "core/Log.h"
#include "core/Parallel.h"
#include "core/Progress.h"

namespace veltrix {

namespace {
const char* const kDashLine = "-------------------------------------------------------------------------------";
}  // namespace

Clusters clusterMotions(FeatureSetANN& twists, const MeanShiftOptions& options) {
    const float sqBandwidth = options.sqBandwidth;
    const float rate = options.rate;
    const int maxIterations = options.maxIterations;
    const float annEpsilon = options.annEpsilon;
    logOut() << kDashLine << std::endl
              << "Starting mean-shift clustering..." << std::endl
              << "*** Squared bandwidth in transformations space: " << sqBandwidth << std::endl
              << "*** Mean-shift rate: " << rate << std::endl
              << "*** Maximum number of iterations: " << maxIterations << std::endl
              << "*** ANN epsilon for transformation range query: " << annEpsilon << std::endl
              << "Progress..." << std::flush;

    const int n = twists.size();
    Clusters out;
    MeanShiftStats& stats = out.stats;
    FeatureSetANN shifted(6);
    shifted.setPoints(twists.points());
    shifted.resize(n);
    std::vector<bool> settled(n, false);
    twists.setEpsilon(annEpsilon);
    twists.prepareTree();  // queried by several threads below

    std::vector<int> indices;
    std::vector<float> distances;
    if (maxIterations > 0 && n > 0) {
        // A twist's path depends on its own position only (neighbourhoods are always taken among
        // the unshifted twists), so the twists of an iteration shift in parallel.
        std::vector<char> still(static_cast<std::size_t>(n), 0);
        std::vector<int> active(static_cast<std::size_t>(n)), neighbours(static_cast<std::size_t>(n), 0);
        for (int i = 0; i < n; ++i) active[std::size_t(i)] = i;
        std::vector<std::vector<int>> workerIndices(static_cast<std::size_t>(threadCount()));
        std::vector<std::vector<float>> workerDistances(workerIndices.size());
        int iteration = 0;
        while (!active.empty() && iteration < maxIterations) {
            const std::string label = "Iteration " + std::to_string(iteration);
            progress(n, true, label);
            parallelFor(int(active.size()), [&](int a, int worker) {
                const int i = active[std::size_t(a)];
                std::vector<int>& found = workerIndices[std::size_t(worker)];
                FeatureVector& position = shifted.point(i);
                twists.rangeQuery(position, sqBandwidth, found,
                                                  workerDistances[std::size_t(worker)], true);
                neighbours[std::size_t(i)] = int(found.size());
                still[std::size_t(i)] = 1;
                if (found.empty()) return;
                double mean[6] = {0, 0, 0, 0, 0, 0};
                for (int j : found) {
                    const FeatureVector& p = twists.point(j);
                    for (int c = 0; c < 6; ++c) mean[c] += p[c];
                }
                const double inv = 1.0 / double(found.size());
                float next[6];
                float shift2 = 0.0f;
                for (int c = 0; c < 6; ++c) {
                    next[c] = float(rate * mean[c] * inv + (1.0 - rate) * position[c]);
                    const float d = next[c] - position[c];
                    shift2 += d * d;
                }
                if (shift2 > 0.001f) {
                    for (int c = 0; c < 6; ++c) position[c] = next[c];
                    still[std::size_t(i)] = 0;
                }
            });
            std::size_t kept = 0;
            for (int i : active) {
                ++stats.shiftQueries;
                stats.shiftNeighbours += neighbours[std::size_t(i)];
                if (!still[std::size_t(i)]) active[kept++] = i;
            }
            active.resize(kept);
            progress(n - 1, false, label);
            ++iteration;
        }
        stats.iterations = iteration;
    }

    // Consolidation: group converged positions within one bandwidth; a pair joins the first
    // group that reaches it.
    out.label.assign(n, 0);
    std::fill(settled.begin(), settled.end(), false);
    out.modes.addPoint(FeatureVector(6, 0.0f));
    out.sizes.push_back(0);
    logOut() << " consolidating..." << std::flush;
    int cluster = 1;
    for (int i = 0; i < n; ++i) {
        if (settled[i]) continue;
        shifted.rangeQuery(shifted.point(i), sqBandwidth, indices, distances, true);
        ++stats.groupingQueries;
        if (indices.size() < 2) continue;
        double sum[6] = {0, 0, 0, 0, 0, 0};
        int members = 0;
        for (int j : indices) {
            if (settled[j]) continue;
            out.label[j] = cluster;
            const FeatureVector& p = shifted.point(j);
            for (int c = 0; c < 6; ++c) sum[c] += p[c];
            settled[j] = true;
            ++members;
        }
        if (members > 0) {
            FeatureVector mode(6);
            for (int c = 0; c < 6; ++c) mode[c] = float(sum[c] / members);
            out.modes.addPoint(mode);
            out.sizes.push_back(members);
            ++cluster;
        }
    }
    out.sizes[0] = static_cast<int>(std::count(out.label.begin(), out.label.end(), 0));

    out.sortBySize();
    logOut() << " done!" << std::endl;
    logOut() << "*** Found total " << out.modes.size() << " clusters!" << std::endl;
    return out;
}

}  // namespace veltrix
