// Refinements after a first labelling: refitting the label transformations to the vertices they
// hold, and a second search for motions of the vertices that no label explains.
#include <algorithm>
#include <iostream>
#include <numeric>
#include <vector>

#include "MatchCandidates.h"

int MatchCandidates::refitSortedTransforms() {
    const int R = int(sortedTransforms.size());
    if (!source || !target || R == 0 || int(gcLabelsSource.size()) != source->vertexCount()) return 0;
    // The cluster behind each sorted transform, in the order sortResult gives them.
    std::vector<int> order(regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return regions[a].size() > regions[b].size(); });
    std::vector<CorrespondenceList> held(static_cast<std::size_t>(R));
    for (int v = 0; v < source->vertexCount(); ++v) {
        const int label = gcLabelsSource[std::size_t(v)];
        if (label < 0 || label >= R) continue;
        const Vec3f x = source->vertices.point(v);
        held[std::size_t(label)].addCorrespondence(x, sortedTransforms[std::size_t(label)].apply(x), v, -1);
    }
    int changed = 0;
    for (int k = 0; k < R && k < int(order.size()); ++k) {
        if (held[std::size_t(k)].size() < 3) continue;
        RigidTransform T = registerICP(held[std::size_t(k)], *target, sortedTransforms[std::size_t(k)]);
        sortedTransforms[std::size_t(k)] = T;
        sortedInverseTransforms[std::size_t(k)] = invertTransform(T);
        if (order[std::size_t(k)] < int(regionTransforms.size())) regionTransforms[std::size_t(order[std::size_t(k)])] = T;
        ++changed;
    }
    std::cout << "*** Transformations refitted to their labelled vertices: " << changed << std::endl;
    return changed;
}

namespace {

// Distance from the moved point to the closest target vertex.
float movedDistance(ShapeModel& target, const RigidTransform& T, const Vec3f& x) {
    return target.closestVertex(T.apply(x)).second;
}

}  // namespace

int MatchCandidates::searchUnexplained(float badDistance, float inlierDistance, unsigned int minRegionSize) {
    Mesh3_real* mesh = source && source->kind == 0 ? dynamic_cast<Mesh3_real*>(source) : nullptr;
    const int n = source ? source->vertexCount() : 0;
    const int R = int(sortedTransforms.size());
    if (!mesh || !mesh->edgeList || !target || !sourceSample || int(gcLabelsSource.size()) != n) return 0;
    // Badly explained: the dummy label, or moved by its label farther than badDistance from the target.
    std::vector<bool> bad(std::size_t(n), false);
    for (int v = 0; v < n; ++v) {
        const int label = gcLabelsSource[std::size_t(v)];
        bad[std::size_t(v)] = label < 0 || label >= R ||
                              movedDistance(*target, sortedTransforms[std::size_t(label)], source->vertices.point(v)) >
                                  badDistance;
    }
    // Connected pieces of badly explained vertices, over the mesh edges.
    std::vector<int> piece(std::size_t(n), -1);
    std::vector<std::vector<int>> pieces;
    for (int v = 0; v < n; ++v) {
        if (!bad[std::size_t(v)] || piece[std::size_t(v)] >= 0) continue;
        std::vector<int> members{v};
        piece[std::size_t(v)] = int(pieces.size());
        for (std::size_t head = 0; head < members.size(); ++head)
            for (const auto& [w, edge] : mesh->edgeList->adjacency[std::size_t(members[head])]) {
                (void)edge;
                if (w < 0 || w >= n || !bad[std::size_t(w)] || piece[std::size_t(w)] >= 0) continue;
                piece[std::size_t(w)] = int(pieces.size());
                members.push_back(w);
            }
        pieces.push_back(std::move(members));
    }
    // Candidate pair motions (model units) by the piece of their source vertex.
    std::vector<std::vector<RigidTransform>> seeds(pieces.size());
    const int pairs = std::min<int>(int(sourceIndex.size()), int(transformations.size()));
    std::vector<int> sampleVertex(std::size_t(sourceSample->vertexCount()), -2);
    for (int k = 0; k < pairs; ++k) {
        const int s = sourceIndex[std::size_t(k)];
        if (s < 0 || s >= sourceSample->vertexCount()) continue;
        int& v = sampleVertex[std::size_t(s)];
        if (v == -2) v = source->closestVertex(sourceSample->vertices.point(s)).first;
        if (v < 0 || v >= n || piece[std::size_t(v)] < 0) continue;
        RigidTransform T = transformations[std::size_t(k)];
        for (int a = 0; a < 3; ++a) T.t[a] = translationMean[a] + translationScale * T.t[a];
        seeds[std::size_t(piece[std::size_t(v)])].push_back(T);
    }

    int added = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        std::vector<int> left = pieces[p];
        // Several motions may share a piece (a forearm and its hand): take the best supported
        // seed, keep its inliers, and look again among the rest.
        while (left.size() > minRegionSize && !seeds[p].empty()) {
            const std::size_t step = std::max<std::size_t>(1, left.size() / 64);
            int bestScore = 0;
            RigidTransform best;
            for (const RigidTransform& T : seeds[p]) {
                int score = 0;
                for (std::size_t i = 0; i < left.size(); i += step)
                    score += movedDistance(*target, T, source->vertices.point(left[i])) < badDistance;
                if (score > bestScore) {
                    bestScore = score;
                    best = T;
                }
            }
            const std::size_t probes = (left.size() + step - 1) / step;
            if (bestScore * 5 < int(probes)) break;
            // Trimmed ICP: fit to the inliers, take the inliers of the new motion, twice.
            RigidTransform T = best;
            CorrespondenceList inliers;
            for (int round = 0; round < 3; ++round) {
                inliers = CorrespondenceList();
                const float limit = round == 0 ? badDistance : inlierDistance;
                for (int v : left) {
                    const Vec3f x = source->vertices.point(v);
                    const std::pair<int, float> c = target->closestVertex(T.apply(x));
                    if (c.second < limit) inliers.addCorrespondence(x, target->vertices.point(c.first), v, c.first);
                }
                if (round < 2) T = registerICP(inliers, *target, T);
            }
            if (static_cast<unsigned int>(inliers.size()) <= minRegionSize) break;
            std::vector<bool> taken(std::size_t(n), false);
            for (int v : inliers.sourceIndices) taken[std::size_t(v)] = true;
            left.erase(std::remove_if(left.begin(), left.end(), [&](int v) { return taken[std::size_t(v)]; }),
                       left.end());
            regions.push_back(inliers);
            regionTransforms.push_back(T);
            ++added;
        }
    }
    std::cout << "*** Second search: " << pieces.size() << " badly explained pieces, " << added << " new regions"
              << std::endl;
    return added;
}
