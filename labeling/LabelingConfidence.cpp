// How much a labelling can be trusted to have put the parts in their places: parts whose motions
// tear them away from the parts they touch (a left arm sent to the right shoulder) are suspect.
#include <algorithm>
#include <map>
#include <numeric>
#include <vector>

#include "labeling/LabelingResult.h"
#include "spatial/NearestTree.h"

namespace veltrix {

namespace {

int findRoot(std::vector<int>& parent, int x) {
    while (parent[std::size_t(x)] != x) x = parent[std::size_t(x)] = parent[std::size_t(parent[std::size_t(x)])];
    return x;
}

}  // namespace

LabelingConfidence measureConfidence(const MatchCandidates& search, const LabelingResult& labeling,
                                     float contactDistance, float tearDistance) {
    LabelingConfidence result;
    const ShapeModel* source = search.source;
    const int R = int(search.sortedTransforms.size());
    if (!source || R == 0 || int(labeling.labelsSource.size()) != source->vertexCount()) return result;
    const int n = source->vertexCount();
    std::vector<double> coords(3 * std::size_t(n));
    std::vector<double*> rows(static_cast<std::size_t>(n));
    for (int v = 0; v < n; ++v) {
        const Vec3f p = source->vertices.point(v);
        for (int a = 0; a < 3; ++a) coords[3 * std::size_t(v) + std::size_t(a)] = p[a];
        rows[std::size_t(v)] = &coords[3 * std::size_t(v)];
    }
    NearestTree tree;
    tree.build(rows.data(), n);

    // Every pair of nearby source vertices with two different labels is a contact of the labels;
    // it holds when both motions carry the pair to about the same place.
    auto valid = [R](int l) { return l >= 0 && l < R; };
    std::map<std::pair<int, int>, std::vector<float>> gaps;
    std::vector<NearestTree::Hit> hits;
    for (int u = 0; u < n; ++u) {
        const int a = labeling.labelsSource[std::size_t(u)];
        if (!valid(a)) continue;
        tree.within(rows[std::size_t(u)], double(contactDistance) * contactDistance, hits);
        const Vec3f x = source->vertices.point(u);
        for (const NearestTree::Hit& hit : hits) {
            const int b = labeling.labelsSource[std::size_t(hit.second)];
            if (!valid(b) || b <= a) continue;
            const Vec3f y = source->vertices.point(hit.second);
            gaps[{a, b}].push_back((search.sortedTransforms[std::size_t(a)].apply(x) -
                                    search.sortedTransforms[std::size_t(b)].apply(y)).length());
        }
    }

    // Labels joined by holding contacts form pieces; the piece with the most vertices is the body,
    // and every other piece torn from something it touches is detached.
    std::vector<int> parent(static_cast<std::size_t>(R)), size(static_cast<std::size_t>(R), 0);
    std::iota(parent.begin(), parent.end(), 0);
    for (int l : labeling.labelsSource)
        if (valid(l)) ++size[std::size_t(l)];
    std::vector<std::pair<int, int>> torn;
    for (auto& [pair, list] : gaps) {
        if (list.size() < 3) continue;
        ++result.contactPairs;
        // The nearer quarter of the contacts decides: a joint holds where the parts meet.
        auto quarter = list.begin() + std::ptrdiff_t(list.size() / 4);
        std::nth_element(list.begin(), quarter, list.end());
        if (*quarter > tearDistance) torn.push_back(pair);
        else parent[std::size_t(findRoot(parent, pair.first))] = findRoot(parent, pair.second);
    }
    result.tornPairs = int(torn.size());
    std::vector<int> pieceSize(std::size_t(R), 0);
    for (int l = 0; l < R; ++l) pieceSize[std::size_t(findRoot(parent, l))] += size[std::size_t(l)];
    const int body = int(std::max_element(pieceSize.begin(), pieceSize.end()) - pieceSize.begin());
    std::vector<bool> detached(std::size_t(R), false);
    for (const auto& [a, b] : torn)
        for (int l : {a, b})
            if (findRoot(parent, l) != body) detached[std::size_t(findRoot(parent, l))] = true;
    long detachedVertices = 0;
    for (int l = 0; l < R; ++l)
        if (detached[std::size_t(findRoot(parent, l))] && size[std::size_t(l)] > 0) {
            ++result.detachedLabels;
            result.detached.push_back(l);
            detachedVertices += size[std::size_t(l)];
        }
    result.measured = true;
    result.detachedShare = float(double(detachedVertices) / double(n));
    result.confidence = 1.0f - result.detachedShare;
    return result;
}

}  // namespace veltrix
