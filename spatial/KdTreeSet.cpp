#include "spatial/KdTreeSet.h"

#include <cfloat>
#include <cmath>

#include "spatial/AnnSearch.h"

namespace veltrix {

namespace {

// Coordinate c of a stored point; a feature vector shorter than the dimension reads as if padded
// with zeros.
double coordinate(const Vec3f& p, int c) { return static_cast<double>(p[c]); }
double coordinate(const FeatureVector& v, int c) {
    return c < static_cast<int>(v.size()) ? static_cast<double>(v[c]) : 0.0;
}

Vec3f zeroPoint(const Vec3f*, int) { return Vec3f(); }
FeatureVector zeroPoint(const FeatureVector*, int dimension) { return FeatureVector(dimension, 0.0f); }

// A tree's hits (squared distance, index) as the query's index and distance lists.
void copyHits(const std::vector<std::pair<double, int>>& hits, std::vector<int>& outIndices,
              std::vector<float>& outDistances) {
    outIndices.resize(hits.size());
    outDistances.resize(hits.size());
    for (size_t i = 0; i < hits.size(); ++i) {
        outIndices[i] = hits[i].second;
        outDistances[i] = static_cast<float>(std::sqrt(hits[i].first));
    }
}

}  // namespace

template <class Point>
KdTreeSet<Point>::KdTreeSet(const KdTreeSet& other)
    : dimension_(other.dimension_), points_(other.points_), epsilon_(other.epsilon_) {}

template <class Point>
KdTreeSet<Point>& KdTreeSet<Point>::operator=(const KdTreeSet& other) {
    if (this != &other) {
        releaseTree();
        dimension_ = other.dimension_;
        points_ = other.points_;
        epsilon_ = other.epsilon_;
    }
    return *this;
}

template <class Point>
KdTreeSet<Point>::~KdTreeSet() {
    releaseTree();
}

template <class Point>
void KdTreeSet<Point>::setPoints(const std::vector<Point>& points) {
    releaseTree();
    points_ = points;
}

template <class Point>
void KdTreeSet<Point>::clear() {
    releaseTree();
    points_.clear();
}

template <class Point>
void KdTreeSet<Point>::releaseTree() {
    nearestTree_.clear();
    annReleaseTree(annPoints_, tree_);
    treeSize_ = 0;
}

template <class Point>
void KdTreeSet<Point>::buildTree() {
    annBuildTree(
        size(), dimension_, [this](int i, int c) { return coordinate(points_[i], c); }, annPoints_, tree_);
    treeSize_ = tree_ ? size() : 0;
    if (tree_ && exactBalls()) nearestTree_.build(annPoints_, treeSize_);
}

template <class Point>
void KdTreeSet<Point>::ANNquery(const Point& query, int k, float sqRadius, std::vector<int>& outIndices,
                                std::vector<float>& outDistances, bool reuseTree, int hint) {
    if (!reuseTree || !tree_ || !annPoints_) buildTree();
    if constexpr (kExactNearest) {
        double q[3] = {query.x, query.y, query.z};
        if (epsilon_ == 0.0 && std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2])) {
            if (k == 1 && sqRadius < 0.0f) {
                int index = 0;
                double d = 0.0;
                // A distance beyond the double range is left to ANN, which reports no point then.
                if (nearestTree_.nearest(q, index, d, hint) && d < DBL_MAX) {
                    outIndices.assign(1, index);
                    outDistances.assign(1, static_cast<float>(std::sqrt(d)));
                    return;
                }
            } else if (std::fabs(q[0]) + std::fabs(q[1]) + std::fabs(q[2]) < 1e150) {
                // Exact k-nearest and fixed-radius searches without ANN's lock. The hit list of a
                // thread is kept between its queries.
                thread_local std::vector<NearestTree::Hit> hits;
                if (sqRadius < 0.0f)
                    nearestTree_.kNearest(q, k, hits);
                else
                    nearestTree_.within(q, static_cast<double>(sqRadius), hits);
                copyHits(hits, outIndices, outDistances);
                return;
            }
        }
        annSearch(tree_, treeSize_, q, k, sqRadius, epsilon_, outIndices, outDistances);
    } else {
        std::vector<double> q(dimension_);
        double size = 0.0;
        for (int c = 0; c < dimension_; ++c) {
            q[c] = coordinate(query, c);
            size += std::fabs(q[c]);
        }
        if (exactBalls() && epsilon_ == 0.0 && sqRadius >= 0.0f && size < 1e150) {
            thread_local std::vector<TwistTree::Hit> hits;
            nearestTree_.within(q.data(), static_cast<double>(sqRadius), hits);
            copyHits(hits, outIndices, outDistances);
            return;
        }
        annSearch(tree_, treeSize_, q.data(), k, sqRadius, epsilon_, outIndices, outDistances);
    }
}

template <class Point>
bool KdTreeSet<Point>::anyWithin(const Point& query, double sqRadius, int* found, int hint) {
    if (!tree_ || !annPoints_) buildTree();
    if constexpr (kExactNearest) {
        const double q[3] = {query.x, query.y, query.z};
        if (epsilon_ == 0.0 && std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2]))
            return nearestTree_.anyWithin(q, sqRadius, found, hint);
    }
    thread_local std::vector<int> indices;
    thread_local std::vector<float> distances;
    ANNquery(query, 0, static_cast<float>(sqRadius), indices, distances, true);
    if (found) *found = indices.empty() ? -1 : indices[0];
    return !indices.empty();
}

template <class Point>
void KdTreeSet<Point>::removePoints(std::vector<int> indexList) {
    if (indexList.empty()) return;
    // One compaction pass instead of erasing one by one; the surviving points keep their order.
    std::vector<char> removed(points_.size(), 0);
    for (int i : indexList) {
        if (i >= 0 && i < size()) removed[i] = 1;
    }
    size_t kept = 0;
    for (size_t i = 0; i < points_.size(); ++i) {
        if (!removed[i]) points_[kept++] = points_[i];
    }
    if (kept == points_.size()) return;
    points_.resize(kept);
    releaseTree();  // it would name points that are gone
}

template <class Point>
void KdTreeSet<Point>::resize(int n) {
    const size_t count = n < 0 ? 0 : size_t(n);
    if (count < points_.size()) releaseTree();  // it would name points that are gone
    points_.resize(count, zeroPoint(static_cast<const Point*>(nullptr), dimension_));
}

template class KdTreeSet<Vec3f>;
template class KdTreeSet<FeatureVector>;

}  // namespace veltrix
