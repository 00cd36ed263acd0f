#include <algorithm>
#include <atomic>
#include <cmath>
#include <iostream>
#include <vector>

#include "matching/Verify.h"
#include "core/Log.h"
#include "core/Parallel.h"
#include "core/Progress.h"

namespace veltrix {

namespace {

const char* const kDashLine = "-------------------------------------------------------------------------------";
// Vertices handed to the queue per accepted vertex (the vertex itself among them).
const int kGrowNeighbours = 4;

// The k nearest source vertices of every source vertex (itself among them), k per vertex; -1 pads
// a shorter answer.
std::vector<int> growNeighbourTable(ShapeModel& shape, int k) {
    const int n = shape.vertexCount();
    std::vector<int> table(static_cast<std::size_t>(n) * k, -1);
    std::vector<int> near;
    std::vector<float> distances;
    for (int v = 0; k > 0 && v < n; ++v) {
        shape.vertices.knnQuery(shape.vertices.point(v), k, near, distances, true);
        for (int i = 0; i < k && i < int(near.size()); ++i) table[std::size_t(v) * k + i] = near[i];
    }
    return table;
}

}  // namespace

RigidTransform registerICP(CorrespondenceList& list, ShapeModel& targetShape, const RigidTransform& T0,
                           float stopMovement, int maxPoints) {
    const int size = list.size();
    if (size <= 2) return T0;
    // The fitted correspondences: all of them, or every stride-th.
    const int stride = maxPoints > 2 && size > maxPoints ? (size + maxPoints - 1) / maxPoints : 1;
    const int n = (size + stride - 1) / stride;
    std::vector<Vec3f> from(static_cast<std::size_t>(n)), moved(static_cast<std::size_t>(n));
    RigidTransform T = T0;
    for (int k = 0; k < n; ++k) {
        from[k] = list.sourcePoints.point(k * stride);
        moved[k] = T.apply(from[k]);
    }
    std::vector<Vec3f> closest(n);
    double previousError = 3.4028235e38;
    targetShape.vertices.prepareTree();
    for (int round = 0; round < 100; ++round) {
        parallelFor(n, [&](int k, int) {
            float distance;
            targetShape.closestSurfacePoint(moved[k], closest[k], distance);
        });
        T = registerQuat(from, closest);
        double error = 0;
        for (int k = 0; k < n; ++k) {
            const Vec3f w = T.apply(from[k]);
            error += (moved[k] - w).squaredLength();
            moved[k] = w;
        }
        if (std::fabs(previousError - error) < 1.1920929e-7) break;
        if (stopMovement > 0 && error < double(stopMovement) * stopMovement * n) break;
        previousError = error;
    }
    for (int k = 0; k < size; ++k) list.targetPoints.point(k) = T.apply(list.sourcePoints.point(k));
    // The target points moved in place; a tree over their old positions must not be reused.
    list.targetPoints.releaseTree();
    return T;
}

std::optional<VerifiedRegions> verifyRegions(const MatchCandidates& mc, const VerifyOptions& options) {
    const unsigned int minClusterSize = options.minClusterSize;
    const int maxClusters = options.maxClusters;
    const float growThreshold = options.growThreshold;
    const float annEpsilon = options.annEpsilon;
    const IcpSchedule& schedule = options.schedule;
    // The messages keep the operation names of earlier versions: logs are compared line by line.
    if (mc.clusters.label.empty() || mc.clusters.modes.size() == 0) {
        logErr() << "Error in MatchCandidates::verifyRegion(): Missing pose clustering result." << std::endl;
        return std::nullopt;
    }
    if (!mc.source || !mc.target || !mc.sourceSample || mc.source->vertexCount() == 0 ||
        mc.target->vertexCount() == 0) {
        logErr() << "Error in MatchCandidates::verifyRegion(): Please generate a sample first!" << std::endl;
        return std::nullopt;
    }
    const int sourceCount = mc.source->vertexCount();
    const int K = mc.clusters.modes.size();
    VerifiedRegions out;
    out.regions.assign(K, CorrespondenceList());
    out.transforms.assign(K, RigidTransform());

    logOut() << kDashLine << std::endl
              << "Starting transformation match & verify..." << std::endl
              << "*** Minimum mean-shift cluster size: " << minClusterSize << std::endl
              << "*** Maximum number of mean-shift clusters to verify: " << maxClusters << std::endl
              << "*** Grow region distance threshold squared: " << growThreshold << std::endl
              << "*** ANN epsilon for neighbor & closest point query: " << annEpsilon << std::endl
              << "Progress..." << std::flush;
    progress(sourceCount, true);
    // Searches running side by side share the shapes: only a change is written.
    for (ShapeModel* shape : {mc.source, mc.target})
        if (shape->vertices.epsilon() != double(annEpsilon)) shape->vertices.setEpsilon(annEpsilon);

    const int pairs = std::min<int>(mc.size(), static_cast<int>(mc.clusters.label.size()));
    const int neighbours = std::min(kGrowNeighbours, sourceCount);
    const unsigned int shapeStep =
        schedule.refitStepFraction > 0 ? static_cast<unsigned int>(double(schedule.refitStepFraction) * sourceCount) : 0u;

    // The clusters to verify, in order, with their member pairs.
    std::vector<int> chosen;
    for (int j = 1, verifiedCount = 0; j < K; ++j) {
        const unsigned int clusterSize =
            static_cast<unsigned int>(j < int(mc.clusters.sizes.size()) ? mc.clusters.sizes[j] : 0);
        if (clusterSize < minClusterSize) continue;
        if (maxClusters >= 0 && verifiedCount >= maxClusters) break;
        chosen.push_back(j);
        ++verifiedCount;
    }
    std::vector<std::vector<int>> members(static_cast<std::size_t>(K));
    for (int pair = 0; pair < pairs; ++pair)
        if (mc.clusters.label[pair] > 0 && mc.clusters.label[pair] < K)
            members[mc.clusters.label[pair]].push_back(pair);

    // A vertex is accepted by up to every cluster, and its neighbours are the same each time: look
    // them up once. Both vertex trees are built before the clusters share them.
    mc.source->vertices.prepareTree();
    mc.target->vertices.prepareTree();
    const std::vector<int> near = growNeighbourTable(*mc.source, chosen.empty() ? 0 : neighbours);

    // Clusters grow independently (each has its own visited bits, region and motion), so they run
    // on the worker threads; the calling thread advances the indicator by the accepted vertices.
    std::atomic<long> accepted{0};
    long reported = 0;
    auto report = [&] {
        for (const long done = accepted.load(); reported < done;) progress(double(++reported), false);
    };
    std::vector<std::vector<char>> visitedOf(static_cast<std::size_t>(std::max(1, threadCount())));
    parallelTasks(static_cast<int>(chosen.size()), [&](int task, int worker) {
        const int j = chosen[task];
        const unsigned int clusterSize =
            static_cast<unsigned int>(j < int(mc.clusters.sizes.size()) ? mc.clusters.sizes[j] : 0);
        std::vector<char>& visited = visitedOf[worker];
        visited.assign(static_cast<std::size_t>(sourceCount), 0);
        RigidTransform T = mc.clusterTransform(j);
        unsigned int lastFitSize = 0;
        CorrespondenceList& region = out.regions[j];
        std::vector<int> queue;  // first in, first out: `head` is the front
        for (int pair : members[j]) {
            const int sampleVertex = mc.sourceIndex[pair];
            if (sampleVertex < 0 || sampleVertex >= mc.sourceSample->vertexCount()) continue;
            queue.clear();
            queue.push_back(mc.source->closestVertex(mc.sourceSample->vertices.point(sampleVertex)).first);
            for (std::size_t head = 0; head < queue.size(); ++head) {
                const int v = queue[head];
                if (visited[v]) continue;
                const Vec3f x = mc.source->vertices.point(v);
                const Vec3f y = T.apply(x);
                Vec3f q;
                float d;
                const int w = mc.target->closestSurfacePoint(y, q, d);
                // Rejected vertices stay unvisited: a refined motion may accept them later.
                if (!(growThreshold > d)) continue;
                region.addCorrespondence(x, q, v, w);
                const unsigned int regionSize = static_cast<unsigned int>(region.size());
                const unsigned int step = std::max(10u * clusterSize, shapeStep);
                if (regionSize > lastFitSize + std::max(step, lastFitSize / 4u)) {
                    T = registerICP(region, *mc.target, T, schedule.stopMovement, schedule.maxPoints);
                    lastFitSize = regionSize;
                }
                for (int k = 0; k < neighbours; ++k)
                    if (near[std::size_t(v) * neighbours + k] >= 0) queue.push_back(near[std::size_t(v) * neighbours + k]);
                visited[v] = 1;
                accepted.fetch_add(1);
                if (worker == 0) report();
            }
        }
        out.transforms[j] = T;
    });
    report();
    logOut() << "...done!" << std::endl;
    return out;
}

std::optional<VerifiedRegions> skipVerification(const MatchCandidates& mc, const VerifyOptions& options) {
    const unsigned int minClusterSize = options.minClusterSize;
    const int maxClusters = options.maxClusters;
    if (mc.clusters.label.empty() || mc.clusters.modes.size() == 0) {
        logErr() << "Error in MatchCandidates::skipVerify(): Missing pose clustering result." << std::endl;
        return std::nullopt;
    }
    if (!mc.source || !mc.target || !mc.sourceSample || !mc.targetSample || mc.source->vertexCount() == 0 ||
        mc.target->vertexCount() == 0) {
        logErr() << "Error in MatchCandidates::skipVerify(): Please generate a sample first!" << std::endl;
        return std::nullopt;
    }
    const int K = mc.clusters.modes.size();
    VerifiedRegions out;
    out.regions.assign(K, CorrespondenceList());
    out.transforms.assign(K, RigidTransform());
    logOut() << kDashLine << std::endl
              << "Skipping match & verify (copying cluster modes)..." << std::endl
              << "*** Minimum cluster size: " << minClusterSize << std::endl
              << "*** Maximum number of clusters: " << maxClusters << std::endl;

    const int pairs = std::min<int>(mc.size(), static_cast<int>(mc.clusters.label.size()));
    int processed = 0;
    for (int i = 1; i < K; ++i) {
        const int clusterSize = i < int(mc.clusters.sizes.size()) ? mc.clusters.sizes[i] : 0;
        if (static_cast<unsigned int>(clusterSize) < minClusterSize) continue;
        if (maxClusters >= 0 && processed >= maxClusters) break;
        for (int k = 0; k < pairs; ++k) {
            if (mc.clusters.label[k] != i) continue;
            if (mc.sourceIndex[k] < 0 || mc.sourceIndex[k] >= mc.sourceSample->vertexCount() ||
                mc.targetIndex[k] < 0 || mc.targetIndex[k] >= mc.targetSample->vertexCount())
                continue;
            const int a = mc.source->closestVertex(mc.sourceSample->vertices.point(mc.sourceIndex[k])).first;
            const int b = mc.target->closestVertex(mc.targetSample->vertices.point(mc.targetIndex[k])).first;
            out.regions[i].addCorrespondence(mc.source->vertices.point(a), mc.target->vertices.point(b), a, b);
        }
        out.transforms[i] = mc.clusterTransform(i);
        ++processed;
    }
    logOut() << "...done!" << std::endl;
    return out;
}

void keepVerified(MatchCandidates& mc, std::optional<VerifiedRegions> verified) {
    if (!verified) return;
    mc.regions = std::move(verified->regions);
    mc.regionTransforms = std::move(verified->transforms);
}

}  // namespace veltrix
