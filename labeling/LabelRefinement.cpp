// Refinements after a first labelling: refitting the label transformations to the vertices they
// hold, and a second search for motions of the vertices that no label explains.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <numeric>
#include <queue>
#include <vector>

#include "labeling/LabelingResult.h"
#include "core/Log.h"
#include "spatial/NearestTree.h"
#include "spatial/RadiusGrid.h"
#include "core/Parallel.h"
#include "labeling/GraphCutRelabel.h"

extern "C" void dsyev_(char* jobz, char* uplo, int* n, double* a, int* lda, double* w, double* work, int* lwork,
                       int* info);

namespace veltrix {

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

// Rounds a turned proposal's fit may go on while its inliers grow.
constexpr int kSettleRounds = 8;

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

// Trimmed ICP of some source vertices from a seed motion: fit to the vertices it moves within a
// limit of the target, the limit shrinking from badDistance to inlierDistance over the rounds;
// `inliers` gets the pairs within inlierDistance of the final motion. With settleRounds, the fit
// goes on at inlierDistance while its inliers grow: a seed a few degrees off first holds only part
// of its vertices, and stopping there leaves the motion off by those degrees.
RigidTransform trimmedFit(MatchCandidates& mc, const std::vector<int>& vertices, RigidTransform candidate,
                          float badDistance, float inlierDistance, CorrespondenceList& inliers, int settleRounds = 0) {
    auto within = [&](const RigidTransform& T, float limit) {
        CorrespondenceList pairs;
        for (int v : vertices) {
            const Vec3f x = mc.source->vertices.point(v);
            const std::pair<int, float> c = mc.target->closestDistance(T.apply(x));
            if (c.second < limit) pairs.addCorrespondence(x, mc.target->vertices.point(c.first), v, c.first);
        }
        return pairs;
    };
    for (int round = 0; round < 4; ++round) {
        const float limit =
            round == 0 ? badDistance : (round == 1 ? 0.5f * (badDistance + inlierDistance) : inlierDistance);
        inliers = within(candidate, limit);
        if (round < 3) candidate = registerICP(inliers, *mc.target, candidate);
    }
    for (int round = 0; round < settleRounds; ++round) {
        CorrespondenceList fitted = inliers;  // the fit moves its target points; `inliers` may stay
        const RigidTransform next = registerICP(fitted, *mc.target, candidate);
        CorrespondenceList more = within(next, inlierDistance);
        if (more.size() <= inliers.size()) break;
        candidate = next;
        inliers = std::move(more);
    }
    return candidate;
}

}  // namespace

namespace {

// The `tries` seeds that carry the most probes (every step-th vertex of `piece`, `probes` of them)
// to within badDistance of the target, best first, with their probe counts; ties fall as a partial
// sort of all the scores in seed order leaves them.
// Most seeds are pair motions of wrong pairs. Scoring gives a seed up as soon as it can no longer
// reach the fourth best score so far. A scan in seed order then follows the partial sort: a given-up
// seed could only change it if it could beat the worst of the best so far at its place in the
// order, and only such seeds are scored in full.
// ShapeModel::closerThan with its two shortcuts answered by a grid of the shape's vertices: the
// same answers, cheaper when many points fall far from the shape.
class CloserThan {
public:
    CloserThan(ShapeModel& shape, float distance) : shape_(shape), distance_(distance) {
        const double d = distance;
        if (!(d > 0.0) || !std::isfinite(d) || shape.vertices.epsilon() != 0.0) return;
        std::vector<double> points;
        points.reserve(3 * std::size_t(shape.vertexCount()));
        for (const Vec3f& p : shape.vertices.points()) points.insert(points.end(), {p.x, p.y, p.z});
        grid_.build(points, d * std::sqrt(1.0 + 4e-6) * 1.0001);
    }
    bool operator()(const Vec3f& point, int* hint) const {
        if (grid_.empty() || !point.isFinite()) return shape_.closerThan(point, distance_, hint);
        const double d = distance_, q[3] = {point.x, point.y, point.z};
        if (grid_.anyWithin(q, d * d * (1.0 - 4e-6))) return true;
        if (!shape_.measuresToTriangles() && !grid_.anyWithin(q, d * d * (1.0 + 4e-6))) return false;
        return shape_.closestDistance(point).second < distance_;
    }

private:
    ShapeModel& shape_;
    float distance_;
    RadiusGrid grid_;
};

std::vector<std::pair<int, std::size_t>> bestSeeds(const MatchCandidates& mc, const CloserThan& closerThan,
                                                   const std::vector<int>& piece, std::size_t step,
                                                   std::size_t probes, const std::vector<RigidTransform>& seeds,
                                                   std::size_t tries) {
    // Per thread: the target vertex last found near each probe (seeds that agree there land near
    // the same vertex).
    std::vector<std::vector<int>> near(std::size_t(threadCount()), std::vector<int>(probes, -1));
    // Probes of seed k within badDistance; -1 once it cannot reach `bar` (if given). `reach` is
    // then the most it could still have scored.
    auto count = [&](std::size_t k, int worker, const std::atomic<int>* bar, int& reach) {
        int hits = 0;
        for (std::size_t j = 0; j < probes; ++j) {
            reach = hits + int(probes - j);
            if (bar && reach < bar->load(std::memory_order_relaxed)) return -1;
            const Vec3f probe = mc.source->vertices.point(piece[j * step]);
            hits += closerThan(seeds[k].apply(probe), &near[std::size_t(worker)][j]);
        }
        reach = hits;
        return hits;
    };
    std::vector<int> score(seeds.size(), -1), reach(seeds.size(), 0);
    std::atomic<int> bar{0};
    std::vector<std::vector<int>> best(static_cast<std::size_t>(threadCount()));  // per thread, best first
    parallelFor(int(seeds.size()), [&](int k, int worker) {
        const int hits = count(std::size_t(k), worker, &bar, reach[std::size_t(k)]);
        score[std::size_t(k)] = hits;
        if (hits < 0) return;
        std::vector<int>& top = best[std::size_t(worker)];
        top.insert(std::upper_bound(top.begin(), top.end(), hits, std::greater<int>()), hits);
        if (top.size() > tries) top.pop_back();
        if (top.size() == tries)
            for (int seen = bar.load(); seen < top.back() && !bar.compare_exchange_weak(seen, top.back());) {
            }
    });
    // The partial sort keeps the best `tries` in a heap, and a later seed enters only when it is
    // better than the heap's worst: given-up seeds that could not be are left at -1.
    std::priority_queue<int, std::vector<int>, std::greater<int>> heap;
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        if (score[k] < 0 && (heap.size() < tries || reach[k] > heap.top())) score[k] = count(k, 0, nullptr, reach[k]);
        if (score[k] < 0) continue;
        if (heap.size() < tries) {
            heap.push(score[k]);
        } else if (score[k] > heap.top()) {
            heap.pop();
            heap.push(score[k]);
        }
    }
    std::vector<std::pair<int, std::size_t>> scored(seeds.size());
    for (std::size_t k = 0; k < seeds.size(); ++k) scored[k] = {score[k], k};
    std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(tries), scored.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    scored.resize(tries);
    return scored;
}

}  // namespace

int searchUnexplained(MatchCandidates& mc, const LabelingResult& labeling, float badDistance, float inlierDistance,
                      unsigned int minRegionSize, bool inconsistentToo) {
    Mesh3_real* mesh = mc.source && mc.source->kind == 0 ? dynamic_cast<Mesh3_real*>(mc.source) : nullptr;
    const int n = mc.source ? mc.source->vertexCount() : 0;
    const int R = int(mc.sortedTransforms.size());
    if (!mesh || !mesh->edgeList || !mc.target || !mc.sourceSample || int(labeling.labelsSource.size()) != n) return 0;
    const bool consistency = inconsistentToo && int(labeling.labelsTarget.size()) == mc.target->vertexCount();
    // Badly explained: the dummy label, or moved by its label farther than badDistance from the
    // target; with inconsistentToo also moved onto a target vertex of another label (a part laid
    // onto the surface of another part fits the surface, but not that part's labels).
    std::vector<bool> bad(std::size_t(n), false);
    for (int v = 0; v < n; ++v) {
        const int label = labeling.labelsSource[std::size_t(v)];
        if (label < 0 || label >= R) {
            bad[std::size_t(v)] = true;
            continue;
        }
        const std::pair<int, float> c =
            mc.target->closestDistance(mc.sortedTransforms[std::size_t(label)].apply(mc.source->vertices.point(v)));
        bad[std::size_t(v)] = c.second > badDistance ||
                              (consistency && labeling.labelsTarget[std::size_t(c.first)] != label);
    }
    if (inconsistentToo) {
        // A label torn from a neighbouring one (the edges between them, each end moved by its own
        // label, change length by more than twice badDistance on average): one of the two motions
        // is wrong there, most often the smaller part's (an arm laid reversed onto its place fits
        // the surface, not the shoulder). Its vertices are badly explained.
        std::vector<std::size_t> size(std::size_t(R), 0);
        for (int l : labeling.labelsSource)
            if (l >= 0 && l < R) ++size[std::size_t(l)];
        std::map<std::pair<int, int>, std::pair<double, int>> seams;  // (a < b) -> (sum of changes, edges)
        for (int v = 0; v < n; ++v) {
            const int a = labeling.labelsSource[std::size_t(v)];
            if (a < 0 || a >= R) continue;
            const Vec3f p = mc.source->vertices.point(v);
            for (const auto& [w, edge] : mesh->edgeList->adjacency[std::size_t(v)]) {
                (void)edge;
                if (w <= v || w >= n) continue;
                const int b = labeling.labelsSource[std::size_t(w)];
                if (b < 0 || b >= R || b == a) continue;
                const Vec3f q = mc.source->vertices.point(w);
                const float change = std::fabs((mc.sortedTransforms[std::size_t(a)].apply(p) -
                                                mc.sortedTransforms[std::size_t(b)].apply(q)).length() -
                                               (p - q).length());
                auto& seam = seams[{std::min(a, b), std::max(a, b)}];
                seam.first += change;
                ++seam.second;
            }
        }
        std::vector<bool> torn(std::size_t(R), false);
        for (const auto& [labels, seam] : seams)
            if (seam.first / seam.second > 2.0 * badDistance)
                torn[std::size_t(size[std::size_t(labels.first)] < size[std::size_t(labels.second)] ? labels.first
                                                                                                    : labels.second)] =
                    true;
        for (int v = 0; v < n; ++v) {
            const int l = labeling.labelsSource[std::size_t(v)];
            if (l >= 0 && l < R && torn[std::size_t(l)]) bad[std::size_t(v)] = true;
        }
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
    mc.target->vertices.prepareTree();  // queried by several threads below
    const CloserThan closerThan(*mc.target, badDistance);
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
            const std::size_t probes = (left.size() + step - 1) / step;
            const std::size_t tries = std::min<std::size_t>(4, seeds[p].size());
            const std::vector<std::pair<int, std::size_t>> scored =
                bestSeeds(mc, closerThan, left, step, probes, seeds[p], tries);
            // Trimmed ICP from the best seeds; the seed ending with most inliers wins.
            RigidTransform T;
            CorrespondenceList inliers;
            for (std::size_t t = 0; t < scored.size() && scored[t].first > 0; ++t) {
                CorrespondenceList held;
                const RigidTransform candidate =
                    trimmedFit(mc, left, seeds[p][scored[t].second], badDistance, inlierDistance, held);
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

namespace {

// Source vertices and target vertices of each transformation label (the dummy label excluded).
struct HeldVertices {
    std::vector<std::vector<int>> source, target;
    HeldVertices(const LabelingResult& labeling, int R) : source(std::size_t(R)), target(std::size_t(R)) {
        for (std::size_t v = 0; v < labeling.labelsSource.size(); ++v) {
            const int l = labeling.labelsSource[v];
            if (l >= 0 && l < R) source[std::size_t(l)].push_back(int(v));
        }
        for (std::size_t u = 0; u < labeling.labelsTarget.size(); ++u) {
            const int l = labeling.labelsTarget[u];
            if (l >= 0 && l < R) target[std::size_t(l)].push_back(int(u));
        }
    }
    std::size_t count(int l) const { return source[std::size_t(l)].size() + target[std::size_t(l)].size(); }
};

// Exact nearest-point search over some vertices of a shape; answers are vertex indices.
class VertexSubsetTree {
public:
    VertexSubsetTree(const ShapeModel& shape, const std::vector<int>& vertices) : vertices_(vertices) {
        coords_.resize(3 * vertices.size());
        rows_.resize(vertices.size());
        for (std::size_t i = 0; i < vertices.size(); ++i) {
            const Vec3f p = shape.vertices.point(vertices[i]);
            for (int a = 0; a < 3; ++a) coords_[3 * i + std::size_t(a)] = p[a];
            rows_[i] = &coords_[3 * i];
        }
        tree_.build(rows_.data(), int(vertices.size()));
    }
    int nearest(const Vec3f& p) const {
        const double q[3] = {p.x, p.y, p.z};
        int index = -1;
        double d2 = 0;
        return tree_.nearest(q, index, d2) ? vertices_[std::size_t(index)] : -1;
    }

private:
    std::vector<int> vertices_;
    std::vector<double> coords_;
    std::vector<double*> rows_;
    NearestTree tree_;
};

// Sum of the distances from the label's vertices, moved by T (target vertices by its inverse), to
// the other shape (as the closest-point tables measure): what the point-to-point data term of the
// label adds up.
double heldResidual(const MatchCandidates& mc, const std::vector<int>& src, const std::vector<int>& tgt,
                    const RigidTransform& T) {
    const RigidTransform inverse = invertTransform(T);
    double sum = 0;
    for (int v : src) sum += mc.target->closestDistance(T.apply(mc.source->vertices.point(v))).second;
    for (int u : tgt) sum += mc.source->closestDistance(inverse.apply(mc.target->vertices.point(u))).second;
    return sum;
}

}  // namespace

std::vector<CorrespondenceList> labelRegions(const MatchCandidates& mc, const LabelingResult& labeling) {
    const int R = int(mc.sortedTransforms.size());
    const HeldVertices held(labeling, R);
    std::vector<CorrespondenceList> regions(std::size_t(R > 0 ? R : 0));
    for (int l = 0; l < R; ++l) {
        const RigidTransform& T = mc.sortedTransforms[std::size_t(l)];
        const RigidTransform& inverse = mc.sortedInverseTransforms[std::size_t(l)];
        // The other index of each pair is the closest vertex of the other shape.
        for (int v : held.source[std::size_t(l)]) {
            const Vec3f x = mc.source->vertices.point(v);
            const Vec3f y = T.apply(x);
            regions[std::size_t(l)].addCorrespondence(x, y, v, mc.target->closestVertex(y).first);
        }
        for (int u : held.target[std::size_t(l)]) {
            const Vec3f y = mc.target->vertices.point(u);
            const Vec3f x = inverse.apply(y);
            regions[std::size_t(l)].addCorrespondence(x, y, mc.source->closestVertex(x).first, u);
        }
    }
    return regions;
}

int keepUsedLabels(MatchCandidates& mc, LabelingResult& labeling) {
    const int R = int(mc.sortedTransforms.size());
    if (!mc.source || !mc.target || R == 0) return 0;
    const HeldVertices held(labeling, R);
    std::vector<int> order;
    for (int l = 0; l < R; ++l)
        if (held.count(l) > 0) order.push_back(l);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return held.count(a) > held.count(b); });
    const std::vector<CorrespondenceList> heldRegions = labelRegions(mc, labeling);
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> transforms;
    std::vector<int> newLabel(std::size_t(R) + 1, int(order.size()));  // unused and dummy: the new dummy
    for (std::size_t k = 0; k < order.size(); ++k) {
        const int l = order[k];
        newLabel[std::size_t(l)] = int(k);
        regions.push_back(heldRegions[std::size_t(l)]);
        transforms.push_back(mc.sortedTransforms[std::size_t(l)]);
    }
    // Closest-point tables follow their labels.
    auto permute = [&](std::vector<LabelingResult::ClosestPoint>& table, std::vector<Vec3f>& moved) {
        if (table.empty() || table.size() % std::size_t(R) != 0) return;
        const std::size_t n = table.size() / std::size_t(R), K = order.size();
        std::vector<LabelingResult::ClosestPoint> t(n * K);
        std::vector<Vec3f> m(moved.size() == table.size() ? n * K : 0);
        for (std::size_t v = 0; v < n; ++v)
            for (std::size_t k = 0; k < K; ++k) {
                t[v * K + k] = table[v * std::size_t(R) + std::size_t(order[k])];
                if (!m.empty()) m[k * n + v] = moved[std::size_t(order[k]) * n + v];
            }
        table.swap(t);
        moved.swap(m);
    };
    permute(labeling.closestPtsSource, labeling.movedPtsSource);
    permute(labeling.closestPtsTarget, labeling.movedPtsTarget);
    if (labeling.tableTransforms_.size() == std::size_t(R)) {
        std::vector<RigidTransform> columns;
        for (int l : order) columns.push_back(labeling.tableTransforms_[std::size_t(l)]);
        labeling.tableTransforms_ = columns;
    } else {
        labeling.tableTransforms_.clear();
    }
    for (int& l : labeling.labelsSource) l = newLabel[std::size_t(std::clamp(l, 0, R))];
    for (int& l : labeling.labelsTarget) l = newLabel[std::size_t(std::clamp(l, 0, R))];
    mc.regions = regions;
    mc.regionTransforms = transforms;
    // Already in sorted order, so sorting keeps it; no region is dropped.
    mc.sortResult(0, -1);
    buildResultRegions(labeling.labelsSource, mc.source, mc.sortedTransforms, true, labeling.regionsSource,
                       labeling.transformsSource);
    buildResultRegions(labeling.labelsTarget, mc.target, mc.sortedInverseTransforms, false, labeling.regionsTarget,
                       labeling.transformsTarget);
    return int(order.size());
}

int refitLabelMotions(MatchCandidates& mc, const LabelingResult& labeling, int rounds) {
    const int R = int(mc.sortedTransforms.size());
    if (!mc.source || !mc.target || R == 0 || mc.regionTransforms.size() != std::size_t(R)) return 0;
    const HeldVertices held(labeling, R);
    mc.source->vertices.prepareTree();
    mc.target->vertices.prepareTree();
    std::vector<char> improved(std::size_t(R), 0);
    parallelTasks(R, [&](int k, int) {
        const std::vector<int>& src = held.source[std::size_t(k)];
        const std::vector<int>& tgt = held.target[std::size_t(k)];
        if (src.size() < 3 || tgt.size() < 3) return;
        // Closest points only among the label's own vertices on the other shape: a motion fitted
        // to its part cannot slide onto the neighbouring one.
        const VertexSubsetTree sourceTree(*mc.source, src), targetTree(*mc.target, tgt);
        RigidTransform T = mc.sortedTransforms[std::size_t(k)];
        for (int round = 0; round < rounds; ++round) {
            const RigidTransform inverse = invertTransform(T);
            std::vector<Vec3f> P, Q;
            for (int v : src) {
                const Vec3f x = mc.source->vertices.point(v);
                P.push_back(x);
                Q.push_back(mc.target->vertices.point(targetTree.nearest(T.apply(x))));
            }
            for (int u : tgt) {
                const Vec3f y = mc.target->vertices.point(u);
                P.push_back(mc.source->vertices.point(sourceTree.nearest(inverse.apply(y))));
                Q.push_back(y);
            }
            T = registerQuat(P, Q);
        }
        if (heldResidual(mc, src, tgt, T) < heldResidual(mc, src, tgt, mc.sortedTransforms[std::size_t(k)])) {
            mc.sortedTransforms[std::size_t(k)] = T;
            improved[std::size_t(k)] = 1;
        }
    });
    int changed = 0;
    for (int k = 0; k < R; ++k)
        if (improved[std::size_t(k)]) {
            mc.sortedInverseTransforms[std::size_t(k)] = invertTransform(mc.sortedTransforms[std::size_t(k)]);
            mc.regionTransforms[std::size_t(k)] = mc.sortedTransforms[std::size_t(k)];
            ++changed;
        }
    logOut() << "*** Label motions refitted to their own vertices: " << changed << " of " << R << std::endl;
    return changed;
}

std::vector<int> sortedPositions(const MatchCandidates& mc) {
    std::vector<int> order(mc.regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&mc](int a, int b) { return mc.regions[std::size_t(a)].size() > mc.regions[std::size_t(b)].size(); });
    std::vector<int> position(order.size(), -1);
    for (std::size_t k = 0; k < order.size(); ++k) position[std::size_t(order[k])] = int(k);
    return position;
}

namespace {

// Centroid and principal axes of some vertices of a shape (all of them when `vertices` is null):
// axes[3k..3k+2] is the k-th axis, by increasing variance. False when the eigensolver fails.
bool principalAxes(const ShapeModel& shape, const std::vector<int>* vertices, double centre[3], double axes[9]) {
    const std::size_t count = vertices ? vertices->size() : std::size_t(shape.vertexCount());
    auto vertex = [vertices](std::size_t i) { return vertices ? (*vertices)[i] : int(i); };
    for (int a = 0; a < 3; ++a) centre[a] = 0;
    for (std::size_t i = 0; i < count; ++i)
        for (int a = 0; a < 3; ++a) centre[a] += shape.vertices.point(vertex(i))[a] / double(count);
    for (int k = 0; k < 9; ++k) axes[k] = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Vec3f p = shape.vertices.point(vertex(i));
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) axes[3 * a + b] += (p[a] - centre[a]) * (p[b] - centre[b]);
    }
    char jobz = 'V', uplo = 'U';
    int n = 3, lda = 3, lwork = 32, info = 0;
    double eig[3], work[32];
    dsyev_(&jobz, &uplo, &n, axes, &lda, eig, work, &lwork, &info);
    return info == 0;
}

}  // namespace

std::vector<RigidTransform> principalTurns(const ShapeModel& shape, const std::vector<int>& vertices) {
    double c[3], C[9];
    if (vertices.empty() || !principalAxes(shape, &vertices, c, C)) return {};
    const Vec3f centre{float(c[0]), float(c[1]), float(c[2])};
    const std::pair<int, float> turns[] = {{0, 1.0f},  {1, 1.0f},   {2, 1.0f},  {2, 0.5f},
                                           {2, -0.5f}, {2, 0.25f}, {2, -0.25f}, {2, 0.75f}, {2, -0.75f}};
    std::vector<RigidTransform> out;
    for (const auto& [axis, fraction] : turns) {
        const float angle = float(M_PI) * fraction;
        const float twist[6] = {0, 0, 0, float(C[3 * axis]) * angle, float(C[3 * axis + 1]) * angle,
                                float(C[3 * axis + 2]) * angle};
        RigidTransform turn = twistToTransform(twist);
        const Vec3f moved = turn.rotate(centre);
        for (int a = 0; a < 3; ++a) turn.t[a] = centre[a] - moved[a];
        out.push_back(turn);
    }
    return out;
}

namespace {

// A seed motion of some source vertices refined by trimmed ICP becomes a new region of the search
// when more than minRegionSize vertices are its inliers; true when it was added.
bool addFittedRegion(MatchCandidates& mc, const std::vector<int>& vertices, const RigidTransform& seed,
                     float badDistance, float inlierDistance, unsigned int minRegionSize) {
    CorrespondenceList inliers;
    const RigidTransform T = trimmedFit(mc, vertices, seed, badDistance, inlierDistance, inliers);
    if (static_cast<unsigned int>(inliers.size()) <= minRegionSize) return false;
    mc.regions.push_back(inliers);
    mc.regionTransforms.push_back(T);
    return true;
}

}  // namespace

int proposeTurnedOver(MatchCandidates& mc, const LabelingResult& labeling, float badDistance, float inlierDistance,
                      unsigned int minRegionSize, std::vector<TurnedLabel>* turnedBefore) {
    const int R = int(mc.sortedTransforms.size());
    if (!mc.source || !mc.target || R == 0 || int(labeling.labelsSource.size()) != mc.source->vertexCount()) return 0;
    const HeldVertices held(labeling, R);
    // Labels turned before with the same motion and the same vertices (give or take a twentieth)
    // would give the same proposals again.
    std::vector<char> skip(std::size_t(R), 0);
    if (turnedBefore) {
        for (int k = 0; k < R; ++k) {
            const std::size_t n = held.source[std::size_t(k)].size();
            for (const TurnedLabel& t : *turnedBefore)
                if (std::memcmp(&t.motion, &mc.sortedTransforms[std::size_t(k)], sizeof(RigidTransform)) == 0 &&
                    20 * std::max(n, t.vertices) <= 21 * std::min(n, t.vertices))
                    skip[std::size_t(k)] = 1;
        }
        for (int k = 0; k < R; ++k)
            if (!skip[std::size_t(k)])
                turnedBefore->push_back({mc.sortedTransforms[std::size_t(k)], held.source[std::size_t(k)].size()});
    }
    mc.source->vertices.prepareTree();
    mc.target->vertices.prepareTree();
    // Per label, the fitted turns: labels are fitted side by side and their regions appended in
    // label order afterwards.
    std::vector<std::vector<std::pair<CorrespondenceList, RigidTransform>>> found(static_cast<std::size_t>(R));
    parallelTasks(R, [&](int k, int) {
        const std::vector<int>& vertices = held.source[std::size_t(k)];
        if (vertices.size() <= minRegionSize || skip[std::size_t(k)]) return;
        // The label's motion after each turn about the principal axes of its vertices (a limb of
        // nearly round or square section fits its place about as well turned about its own length).
        for (const RigidTransform& turn : principalTurns(*mc.source, vertices)) {
            const RigidTransform seed = composeTransforms(mc.sortedTransforms[std::size_t(k)], turn);
            CorrespondenceList inliers;
            const RigidTransform T = trimmedFit(mc, vertices, seed, badDistance, inlierDistance, inliers, kSettleRounds);
            if (static_cast<unsigned int>(inliers.size()) <= minRegionSize) continue;
            found[std::size_t(k)].emplace_back(std::move(inliers), T);
        }
    });
    int added = 0;
    for (auto& label : found)
        for (auto& [region, T] : label) {
            mc.regions.push_back(std::move(region));
            mc.regionTransforms.push_back(T);
            ++added;
        }
    logOut() << "*** Labels turned over: " << added << " new regions" << std::endl;
    return added;
}

namespace {

// The mirror plane of a shape. Planes start through the centroid and through the centre of the
// bounding box, normal to a coordinate or principal axis, and are refined a few times from the
// vertex pairs they make (each vertex and the vertex nearest its reflection): the new normal is
// the mean direction between the pairs, the new plane passes through their mean midpoint. The plane
// that carries the most vertices, reflected, within `tolerance` of a vertex wins; false when it
// carries fewer than `minShare` of them.
bool mirrorPlane(ShapeModel& shape, float tolerance, float minShare, Vec3f& centre, Vec3f& normal) {
    const int n = shape.vertexCount();
    if (n < 4) return false;
    Vec3f low = shape.vertices.point(0), high = low;
    for (int v = 0; v < n; ++v) {
        const Vec3f p = shape.vertices.point(v);
        for (int a = 0; a < 3; ++a) {
            low[a] = std::min(low[a], p[a]);
            high[a] = std::max(high[a], p[a]);
        }
    }
    double c[3], C[9];
    const bool axes = principalAxes(shape, nullptr, c, C);
    std::vector<Vec3f> normals = {Vec3f(1, 0, 0), Vec3f(0, 1, 0), Vec3f(0, 0, 1)};
    if (axes)
        for (int axis = 0; axis < 3; ++axis)
            normals.emplace_back(float(C[3 * axis]), float(C[3 * axis + 1]), float(C[3 * axis + 2]));
    const Vec3f centres[2] = {Vec3f(float(c[0]), float(c[1]), float(c[2])), (low + high) * 0.5f};
    const float reach = 8.0f * tolerance;  // pairs farther apart do not steer the refinement
    const int step = std::max(1, n / 2000);
    auto reflect = [](const Vec3f& p, const Vec3f& o, const Vec3f& m) { return p - m * (2.0f * (p - o).dot(m)); };
    float best = 0;
    for (const Vec3f& start : centres)
        for (Vec3f m : normals) {
            if (!(m.length() > 0)) continue;
            m = m / m.length();
            Vec3f o = start;
            for (int round = 0; round < 4; ++round) {
                Vec3f direction(0, 0, 0), middle(0, 0, 0);
                int pairs = 0;
                for (int v = 0; v < n; v += step) {
                    const Vec3f p = shape.vertices.point(v);
                    const std::pair<int, float> partner = shape.closestVertex(reflect(p, o, m));
                    if (partner.first < 0 || partner.second > reach) continue;
                    const Vec3f q = shape.vertices.point(partner.first);
                    const Vec3f d = p - q;
                    direction = direction + (d.dot(m) < 0 ? d * -1.0f : d);
                    middle = middle + (p + q) * 0.5f;
                    ++pairs;
                }
                if (pairs < 3 || !(direction.length() > 0)) break;
                m = direction / direction.length();
                o = middle / float(pairs);
            }
            int near = 0, tried = 0;
            for (int v = 0; v < n; v += step, ++tried)
                if (shape.closestVertex(reflect(shape.vertices.point(v), o, m)).second < tolerance) ++near;
            const float share = float(near) / float(tried);
            if (share > best) {
                best = share;
                normal = m;
                centre = o;
            }
        }
    return best >= minShare;
}

}  // namespace

int proposeMirrored(MatchCandidates& mc, const LabelingResult& labeling, float badDistance, float inlierDistance,
                    unsigned int minRegionSize) {
    const int R = int(mc.sortedTransforms.size());
    if (!mc.source || !mc.target || R == 0 || int(labeling.labelsSource.size()) != mc.source->vertexCount()) return 0;
    Vec3f centre, normal;
    if (!mirrorPlane(*mc.source, 2.5f * inlierDistance, 0.6f, centre, normal)) {
        logOut() << "*** Labels mirrored: the source has no mirror symmetry" << std::endl;
        return 0;
    }
    const HeldVertices held(labeling, R);
    int added = 0;
    for (int k = 0; k < R; ++k) {
        const std::vector<int>& vertices = held.source[std::size_t(k)];
        if (vertices.size() <= minRegionSize) continue;
        // Each vertex paired with where its mirror partner's label carries the partner.
        std::vector<Vec3f> from, to;
        int ownPartners = 0;
        for (int v : vertices) {
            const Vec3f p = mc.source->vertices.point(v);
            const int partner = mc.source->closestVertex(p - normal * (2.0f * (p - centre).dot(normal))).first;
            const int l = partner >= 0 ? labeling.labelsSource[std::size_t(partner)] : -1;
            if (l < 0 || l >= R) continue;
            if (l == k) ++ownPartners;
            from.push_back(p);
            to.push_back(mc.sortedTransforms[std::size_t(l)].apply(mc.source->vertices.point(partner)));
        }
        // A part that is its own mirror image has no proper motion onto its partner's place.
        if (from.size() <= minRegionSize || 2 * ownPartners > int(from.size())) continue;
        if (addFittedRegion(mc, vertices, registerQuat(from, to), badDistance, inlierDistance, minRegionSize)) ++added;
    }
    logOut() << "*** Labels mirrored: " << added << " new regions" << std::endl;
    return added;
}

int selectExplainingMotions(MatchCandidates& mc, LabelingResult& labeling, float tolerance, float badDistance,
                            int minSites) {
    if (mc.sortedTransforms.empty()) return 0;
    labeling.precomputeClosestPts();
    const int R = int(mc.sortedTransforms.size());
    const std::size_t nS = labeling.closestPtsSource.size() / std::size_t(R);
    const std::size_t nT = labeling.closestPtsTarget.size() / std::size_t(R);
    // Per site (source, then target), the motions that bring it within tolerance of its best one
    // and within badDistance of the other shape.
    std::vector<std::vector<int>> near(nS + nT);
    auto collect = [&](const std::vector<LabelingResult::ClosestPoint>& table, std::size_t n, std::size_t offset) {
        for (std::size_t v = 0; v < n; ++v) {
            float best = std::numeric_limits<float>::infinity();
            for (int k = 0; k < R; ++k) best = std::min(best, table[v * std::size_t(R) + std::size_t(k)].distance);
            if (!(best < badDistance)) continue;
            for (int k = 0; k < R; ++k)
                if (table[v * std::size_t(R) + std::size_t(k)].distance <= best + tolerance)
                    near[offset + v].push_back(k);
        }
    };
    collect(labeling.closestPtsSource, nS, 0);
    collect(labeling.closestPtsTarget, nT, nS);
    // Greedy cover: the motion that is among the best for most sites not yet explained, while it
    // explains at least minSites more.
    std::vector<int> gain(std::size_t(R), 0);
    for (const auto& list : near)
        for (int k : list) ++gain[std::size_t(k)];
    std::vector<char> explained(near.size(), 0), chosen(std::size_t(R), 0);
    std::vector<std::vector<int>> sitesOf(static_cast<std::size_t>(R));
    for (std::size_t s = 0; s < near.size(); ++s)
        for (int k : near[s]) sitesOf[std::size_t(k)].push_back(int(s));
    std::vector<int> order;
    for (;;) {
        const int k = int(std::max_element(gain.begin(), gain.end()) - gain.begin());
        if (gain[std::size_t(k)] < minSites || chosen[std::size_t(k)]) break;
        chosen[std::size_t(k)] = 1;
        order.push_back(k);
        for (int s : sitesOf[std::size_t(k)]) {
            if (explained[std::size_t(s)]) continue;
            explained[std::size_t(s)] = 1;
            for (int j : near[std::size_t(s)]) --gain[std::size_t(j)];
        }
    }
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> transforms;
    for (int k : order) {
        regions.push_back(mc.sortedRegions[std::size_t(k)]);
        transforms.push_back(mc.sortedTransforms[std::size_t(k)]);
    }
    logOut() << "*** Motions that explain vertices best: " << order.size() << " of " << R << std::endl;
    mc.regions = regions;
    mc.regionTransforms = transforms;
    mc.sortResult(0, -1);
    return int(order.size());
}

}  // namespace veltrix
