#include "spatial/NearestTree.h"

#include <algorithm>

namespace veltrix {

namespace {
const int kLeafSize = 8;

// Squared distance between two points, summed over the coordinates in order (x, y, z in 3-D).
template <int D>
inline double sqDistance(const double* q, const double* c) {
    double d = 0.0;
    for (int k = 0; k < D; ++k) {
        const double t = q[k] - c[k];
        d = d + t * t;
    }
    return d;
}

// Squared distance from q to a cell, summed in the same order as a point's distance.
// Every offset is at most the point's coordinate difference on that axis, and rounding is
// monotone, so no point of the cell gets a smaller computed distance: a cell whose bound exceeds
// the best distance can hold neither a nearer point nor an equally near one.
template <int D>
inline double cellBound(const double* offsets) {
    double d = 0.0;
    for (int k = 0; k < D; ++k) d = d + offsets[k] * offsets[k];
    return d;
}

// The same bound for the bounding box of a node's points. Its corners are point coordinates, so
// the argument above holds too. Unlike a cell of the splitting planes, a tight box does not reach
// into the empty space around a surface, so a query far from the points (a vertex carried away by
// a wrong motion) skips the leaves whose cells, but not whose points, come near it.
template <int D>
inline double boxBound(const double* q, const double* low, const double* high) {
    double d = 0.0;
    for (int k = 0; k < D; ++k) {
        const double t = q[k] < low[k] ? low[k] - q[k] : (q[k] > high[k] ? q[k] - high[k] : 0.0);
        d = d + t * t;
    }
    return d;
}
}  // namespace

template <int D>
void BasicNearestTree<D>::clear() {
    coords_.clear();
    leafCoords_.clear();
    order_.clear();
    nodes_.clear();
}

template <int D>
void BasicNearestTree<D>::build(double** points, int n) {
    clear();
    if (!points || n <= 0) return;
    coords_.resize(size_t(n) * D);
    order_.resize(size_t(n));
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < D; ++c) coords_[size_t(i) * D + c] = points[i][c];
        order_[size_t(i)] = i;
    }
    nodes_.reserve(size_t(2 * (n / kLeafSize + 1)));
    buildNode(0, n);
    // The leaves scan their points in order_ order; a copy laid out that way keeps each leaf's
    // coordinates together in memory.
    leafCoords_.resize(coords_.size());
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < D; ++c) leafCoords_[size_t(i) * D + c] = coords_[size_t(order_[size_t(i)]) * D + c];
}

template <int D>
int BasicNearestTree<D>::buildNode(int begin, int end) {
    const int id = int(nodes_.size());
    double low[D], high[D];
    for (int c = 0; c < D; ++c) low[c] = high[c] = coords_[size_t(order_[size_t(begin)]) * D + c];
    for (int i = begin + 1; i < end; ++i)
        for (int c = 0; c < D; ++c) {
            const double v = coords_[size_t(order_[size_t(i)]) * D + c];
            low[c] = std::min(low[c], v);
            high[c] = std::max(high[c], v);
        }
    Node leaf{begin, end, -1, -1, 0, 0.0, {}, {}};
    std::copy(low, low + D, leaf.low);
    std::copy(high, high + D, leaf.high);
    nodes_.push_back(leaf);
    if (end - begin <= kLeafSize) return id;
    // Split the widest extent at the median.
    int dim = 0;
    for (int c = 1; c < D; ++c)
        if (high[c] - low[c] > high[dim] - low[dim]) dim = c;
    if (!(high[dim] > low[dim])) return id;  // all points equal: one leaf
    const int mid = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + begin, order_.begin() + mid, order_.begin() + end, [&](int a, int b) {
        return coords_[size_t(a) * D + dim] < coords_[size_t(b) * D + dim];
    });
    const double split = coords_[size_t(order_[size_t(mid)]) * D + dim];
    const int left = buildNode(begin, mid);
    const int right = buildNode(mid, end);
    Node& node = nodes_[size_t(id)];
    node.left = left;
    node.right = right;
    node.dim = dim;
    node.split = split;
    return id;
}

template <int D>
bool BasicNearestTree<D>::nearest(const double* q, int& index, double& squaredDistance, int hint) const {
    if (order_.empty()) return false;
    int best = -1;
    double bestDistance = 0.0;
    if (hint >= 0 && hint < int(order_.size())) {
        // The hint's distance is summed as a leaf sums it; the search keeps the least (distance,
        // index) over all points, and no cell it skips holds a point below the bound.
        const double d = sqDistance<D>(q, &coords_[size_t(hint) * D]);
        if (d == d) {
            best = hint;
            bestDistance = d;
        }
    }
    search(q, best, bestDistance);
    index = best;
    squaredDistance = bestDistance;
    return best >= 0;
}

// Visits the leaves near q first and a far side only while it may hold a point that would still
// enter the result: leaf(node) takes a leaf's points, bound(b) gives the distance a point must not
// exceed (false while any point would enter).
template <int D>
template <class Leaf, class Bound>
void BasicNearestTree<D>::descend(int id, const double* q, double* offsets, Leaf& leaf, Bound& bound) const {
    const Node& node = nodes_[size_t(id)];
    if (node.left < 0) {
        leaf(node);
        return;
    }
    const double diff = q[node.dim] - node.split;
    const int nearSide = diff < 0.0 ? node.left : node.right;
    const int farSide = diff < 0.0 ? node.right : node.left;
    // The near side's points may lie far from q too (a query carried off the surface): its box
    // prunes it like a far side once there is a bound.
    const Node& near = nodes_[size_t(nearSide)];
    double nearBound = 0.0;
    if (!bound(nearBound) || boxBound<D>(q, near.low, near.high) <= nearBound)
        descend(nearSide, q, offsets, leaf, bound);
    // Beyond the plane the offset along this axis becomes diff; the other axes keep theirs. The
    // distance to the whole cell, not to the plane alone, prunes far queries (a motion that carries
    // one shape away from the other) as well as near ones. A point at the bound may still enter
    // (an equally near point of lower index), so cells at the bound are searched.
    const double previous = offsets[node.dim];
    offsets[node.dim] = diff;
    const Node& far = nodes_[size_t(farSide)];
    double b = 0.0;
    if (!bound(b) || (cellBound<D>(offsets) <= b && boxBound<D>(q, far.low, far.high) <= b))
        descend(farSide, q, offsets, leaf, bound);
    offsets[node.dim] = previous;
}

template <int D>
void BasicNearestTree<D>::search(const double* q, int& best, double& bestDistance) const {
    auto leaf = [&](const Node& node) {
        for (int i = node.begin; i < node.end; ++i) {
            const int p = order_[size_t(i)];
            const double d = sqDistance<D>(q, &leafCoords_[size_t(i) * D]);
            // NaN distances (non-finite queries) never win, so such a query finds nothing.
            if (best < 0 ? d == d : (d < bestDistance || (d == bestDistance && p < best))) {
                best = p;
                bestDistance = d;
            }
        }
    };
    auto bound = [&](double& b) {
        b = bestDistance;
        return best >= 0;
    };
    double offsets[D] = {};
    descend(0, q, offsets, leaf, bound);
}

template <int D>
void BasicNearestTree<D>::kNearest(const double* q, int k, std::vector<Hit>& hits) const {
    hits.clear();
    if (order_.empty() || k <= 0) return;
    const size_t count = std::min(size_t(k), order_.size());
    // hits is a max-heap of the best so far, the worst on top.
    auto leaf = [&](const Node& node) {
        for (int i = node.begin; i < node.end; ++i) {
            const int p = order_[size_t(i)];
            const Hit hit(sqDistance<D>(q, &leafCoords_[size_t(i) * D]), p);
            if (!(hit.first == hit.first)) continue;  // NaN: never a neighbour
            if (hits.size() < count) {
                hits.push_back(hit);
                std::push_heap(hits.begin(), hits.end());
            } else if (hit < hits.front()) {
                std::pop_heap(hits.begin(), hits.end());
                hits.back() = hit;
                std::push_heap(hits.begin(), hits.end());
            }
        }
    };
    auto bound = [&](double& b) {
        if (hits.size() < count) return false;
        b = hits.front().first;
        return true;
    };
    double offsets[D] = {};
    descend(0, q, offsets, leaf, bound);
    std::sort_heap(hits.begin(), hits.end());
}

template <int D>
void BasicNearestTree<D>::within(const double* q, double sqRadius, std::vector<Hit>& hits) const {
    hits.clear();
    if (order_.empty() || !(sqRadius >= 0.0)) return;
    searchWithin(0, q, sqRadius, hits);
    std::sort(hits.begin(), hits.end());
}

template <int D>
void BasicNearestTree<D>::searchWithin(int id, const double* q, double sqRadius, std::vector<Hit>& hits) const {
    const Node& node = nodes_[size_t(id)];
    if (boxBound<D>(q, node.low, node.high) > sqRadius) return;
    if (node.left < 0) {
        for (int i = node.begin; i < node.end; ++i) {
            const double d = sqDistance<D>(q, &leafCoords_[size_t(i) * D]);
            if (d <= sqRadius) hits.emplace_back(d, order_[size_t(i)]);
        }
        return;
    }
    searchWithin(node.left, q, sqRadius, hits);
    searchWithin(node.right, q, sqRadius, hits);
}

template <int D>
bool BasicNearestTree<D>::anyWithin(const double* q, double sqRadius, int* found, int hint) const {
    if (order_.empty() || !(sqRadius >= 0.0)) return false;
    int point = -1;
    if (hint >= 0 && hint < int(order_.size()) && sqDistance<D>(q, &coords_[size_t(hint) * D]) <= sqRadius)
        point = hint;
    else
        point = searchAny(0, q, sqRadius);
    if (found) *found = point;
    return point >= 0;
}

template <int D>
int BasicNearestTree<D>::searchAny(int id, const double* q, double sqRadius) const {
    const Node& node = nodes_[size_t(id)];
    if (!(boxBound<D>(q, node.low, node.high) <= sqRadius)) return -1;
    if (node.left < 0) {
        for (int i = node.begin; i < node.end; ++i)
            if (sqDistance<D>(q, &leafCoords_[size_t(i) * D]) <= sqRadius) return order_[size_t(i)];
        return -1;
    }
    // The side of the split that holds q first: a hit there ends the search soonest.
    const bool leftFirst = q[node.dim] < node.split;
    const int hit = searchAny(leftFirst ? node.left : node.right, q, sqRadius);
    return hit >= 0 ? hit : searchAny(leftFirst ? node.right : node.left, q, sqRadius);
}

template class BasicNearestTree<3>;
template class BasicNearestTree<6>;

}  // namespace veltrix
