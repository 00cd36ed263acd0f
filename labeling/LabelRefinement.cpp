// Refinements after a first labelling: refitting the label transformations to the vertices they
// hold, and a second search for motions of the vertices that no label explains.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <numeric>
#include <vector>

#include "LabelingResult.h"
#include "Log.h"

int refitSortedTransforms(MatchCandidates& mc, const LabelingResult& labeling) {
    const int R = int(mc.sortedTransforms.size());
    if (!mc.source || !mc.target || R == 0 || int(labeling.labelsSource.size()) != mc.source->vertexCount()) return 0;
    // The cluster behind each sorted transform, in the order sortResult gives them.
    std::vector<int> order(mc.regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&mc](int a, int b) { return mc.regions[a].size() > mc.regions[b].size(); });
    std::vector<CorrespondenceList> held(static_cast<std::size_t>(R));
    for (int v = 0; v < mc.source->vertexCount(); ++v) {
        const int label = labeling.labelsSource[std::size_t(v)];
        if (label < 0 || label >= R) continue;
        const Vec3f x = mc.source->vertices.point(v);
        held[std::size_t(label)].addCorrespondence(x, mc.sortedTransforms[std::size_t(label)].apply(x), v, -1);
    }
    int changed = 0;
    for (int k = 0; k < R && k < int(order.size()); ++k) {
        if (held[std::size_t(k)].size() < 3) continue;
        RigidTransform T = registerICP(held[std::size_t(k)], *mc.target, mc.sortedTransforms[std::size_t(k)]);
        mc.sortedTransforms[std::size_t(k)] = T;
        mc.sortedInverseTransforms[std::size_t(k)] = invertTransform(T);
        if (order[std::size_t(k)] < int(mc.regionTransforms.size())) mc.regionTransforms[std::size_t(order[std::size_t(k)])] = T;
        ++changed;
    }
    logOut() << "*** Transformations refitted to their labelled vertices: " << changed << std::endl;
    return changed;
}

namespace {

// Turns about the point c: x -> c + R (x - c), for 13 axes and 23 angles from 15 to 180 degrees.
std::vector<RigidTransform> turnsAbout(const Vec3f& c) {
    static const float axes[13][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {1, -1, 0}, {1, 0, 1}, {1, 0, -1},
                                      {0, 1, 1}, {0, 1, -1}, {1, 1, 1}, {1, 1, -1}, {1, -1, 1}, {-1, 1, 1}};
    std::vector<RigidTransform> turns;
    for (const auto& a : axes) {
        const float n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
        for (int step = -11; step <= 12; ++step) {
            if (step == 0) continue;
            const float angle = float(step) * 15.0f * 3.14159265f / 180.0f;
            const float twist[6] = {0, 0, 0, a[0] / n * angle, a[1] / n * angle, a[2] / n * angle};
            RigidTransform T = twistToTransform(twist);
            const Vec3f moved = T.rotate(c);
            for (int d = 0; d < 3; ++d) T.t[d] = c[d] - moved[d];
            turns.push_back(T);
        }
    }
    return turns;
}

// Distance from the moved point to the closest target vertex.
float movedDistance(ShapeModel& target, const RigidTransform& T, const Vec3f& x) {
    return target.closestVertex(T.apply(x)).second;
}

}  // namespace

int searchUnexplained(MatchCandidates& mc, const LabelingResult& labeling, float badDistance, float inlierDistance,
                      unsigned int minRegionSize) {
    Mesh3_real* mesh = mc.source && mc.source->kind == 0 ? dynamic_cast<Mesh3_real*>(mc.source) : nullptr;
    const int n = mc.source ? mc.source->vertexCount() : 0;
    const int R = int(mc.sortedTransforms.size());
    if (!mesh || !mesh->edgeList || !mc.target || !mc.sourceSample || int(labeling.labelsSource.size()) != n) return 0;
    // Badly explained: the dummy label, or moved by its label farther than badDistance from the target.
    std::vector<bool> bad(std::size_t(n), false);
    for (int v = 0; v < n; ++v) {
        const int label = labeling.labelsSource[std::size_t(v)];
        bad[std::size_t(v)] = label < 0 || label >= R ||
                              movedDistance(*mc.target, mc.sortedTransforms[std::size_t(label)], mc.source->vertices.point(v)) >
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
    const int pairs = std::min<int>(int(mc.sourceIndex.size()), int(mc.transformations.size()));
    std::vector<int> sampleVertex(std::size_t(mc.sourceSample->vertexCount()), -2);
    for (int k = 0; k < pairs; ++k) {
        const int s = mc.sourceIndex[std::size_t(k)];
        if (s < 0 || s >= mc.sourceSample->vertexCount()) continue;
        int& v = sampleVertex[std::size_t(s)];
        if (v == -2) v = mc.source->closestVertex(mc.sourceSample->vertices.point(s)).first;
        if (v < 0 || v >= n || piece[std::size_t(v)] < 0) continue;
        RigidTransform T = mc.transformations[std::size_t(k)];
        for (int a = 0; a < 3; ++a) T.t[a] = mc.translationMean[a] + mc.translationScale * T.t[a];
        seeds[std::size_t(piece[std::size_t(v)])].push_back(T);
    }

    int added = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        std::vector<int> left = pieces[p];
        // Several motions may share a piece (a forearm and its hand): take the best supported
        // seed, keep its inliers, and look again among the rest.
        // The label motions are seeds too: a part next to a labelled one often moves nearly like it,
        // or like it after a turn about the joint between them (the mean of the piece's vertices
        // that touch well explained ones), for the one or two labels the piece touches most.
        seeds[p].insert(seeds[p].end(), mc.sortedTransforms.begin(), mc.sortedTransforms.end());
        std::vector<int> touching(std::size_t(R), 0);
        std::vector<Vec3f> joint(static_cast<std::size_t>(R), Vec3f(0, 0, 0));
        for (int v : pieces[p])
            for (const auto& [w, edge] : mesh->edgeList->adjacency[std::size_t(v)]) {
                (void)edge;
                if (w < 0 || w >= n || bad[std::size_t(w)]) continue;
                const int label = labeling.labelsSource[std::size_t(w)];
                ++touching[std::size_t(label)];
                joint[std::size_t(label)] += mc.source->vertices.point(v);
            }
        for (int pick = 0; pick < 2; ++pick) {
            const int label = int(std::max_element(touching.begin(), touching.end()) - touching.begin());
            if (R == 0 || touching[std::size_t(label)] == 0) break;
            const Vec3f c = joint[std::size_t(label)] / float(touching[std::size_t(label)]);
            for (const RigidTransform& turn : turnsAbout(c))
                seeds[p].push_back(composeTransforms(mc.sortedTransforms[std::size_t(label)], turn));
            touching[std::size_t(label)] = 0;
        }
        while (left.size() > minRegionSize && !seeds[p].empty()) {
            const std::size_t step = std::max<std::size_t>(1, left.size() / 64);
            std::vector<std::pair<int, std::size_t>> scored;  // (probes within badDistance, seed)
            for (std::size_t k = 0; k < seeds[p].size(); ++k) {
                int score = 0;
                for (std::size_t i = 0; i < left.size(); i += step)
                    score += movedDistance(*mc.target, seeds[p][k], mc.source->vertices.point(left[i])) < badDistance;
                scored.push_back({score, k});
            }
            const std::size_t tries = std::min<std::size_t>(4, scored.size());
            std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(tries), scored.end(),
                              [](const auto& a, const auto& b) { return a.first > b.first; });
            // Trimmed ICP from the best seeds: fit to the inliers, take the inliers of the new
            // motion; the seed ending with most inliers wins.
            RigidTransform T;
            CorrespondenceList inliers;
            for (std::size_t t = 0; t < tries && scored[t].first > 0; ++t) {
                RigidTransform candidate = seeds[p][scored[t].second];
                CorrespondenceList held;
                for (int round = 0; round < 4; ++round) {
                    held = CorrespondenceList();
                    const float limit = round == 0 ? badDistance : (round == 1 ? 0.5f * (badDistance + inlierDistance)
                                                                               : inlierDistance);
                    for (int v : left) {
                        const Vec3f x = mc.source->vertices.point(v);
                        const std::pair<int, float> c = mc.target->closestVertex(candidate.apply(x));
                        if (c.second < limit) held.addCorrespondence(x, mc.target->vertices.point(c.first), v, c.first);
                    }
                    if (round < 3) candidate = registerICP(held, *mc.target, candidate);
                }
                if (held.size() > inliers.size()) {
                    inliers = held;
                    T = candidate;
                }
            }
            if (static_cast<unsigned int>(inliers.size()) <= minRegionSize) break;
            std::vector<bool> taken(std::size_t(n), false);
            for (int v : inliers.sourceIndices) taken[std::size_t(v)] = true;
            left.erase(std::remove_if(left.begin(), left.end(), [&](int v) { return taken[std::size_t(v)]; }),
                       left.end());
            // What is left of the piece may hang on the part just found (a hand on its forearm):
            // turns of the new motion about the joint between them become seeds too.
            Vec3f hinge(0, 0, 0);
            int hingeCount = 0;
            for (int v : left)
                for (const auto& [w, edge] : mesh->edgeList->adjacency[std::size_t(v)]) {
                    (void)edge;
                    if (w < 0 || w >= n || !taken[std::size_t(w)]) continue;
                    hinge += mc.source->vertices.point(v);
                    ++hingeCount;
                }
            if (hingeCount > 0)
                for (const RigidTransform& turn : turnsAbout(hinge / float(hingeCount)))
                    seeds[p].push_back(composeTransforms(T, turn));
            mc.regions.push_back(inliers);
            mc.regionTransforms.push_back(T);
            ++added;
        }
    }
    logOut() << "*** Second search: " << pieces.size() << " badly explained pieces, " << added << " new regions"
              << std::endl;
    return added;
}
