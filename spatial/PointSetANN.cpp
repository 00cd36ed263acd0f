#include "PointSetANN.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "AnnSearch.h"

PointSetANN::PointSetANN() = default;

PointSetANN::PointSetANN(const PointSetANN& other) : points_(other.points_), epsilon_(other.epsilon_) {}

PointSetANN& PointSetANN::operator=(const PointSetANN& other) {
    if (this != &other) {
        releaseTree();
        points_ = other.points_;
        epsilon_ = other.epsilon_;
    }
    return *this;
}

PointSetANN::~PointSetANN() { releaseTree(); }

void PointSetANN::setPoints(const std::vector<Vec3f>& points) {
    releaseTree();
    points_ = points;
}

void PointSetANN::clear() {
    releaseTree();
    points_.clear();
}

void PointSetANN::releaseTree() {
    nearestTree_.clear();
    annReleaseTree(annPoints_, tree_);
    treeSize_ = 0;
}

void PointSetANN::buildTree() {
    annBuildTree(
        size(), 3, [this](int i, int c) { return static_cast<double>(points_[i][c]); }, annPoints_, tree_);
    treeSize_ = tree_ ? size() : 0;
    if (tree_) nearestTree_.build(annPoints_, treeSize_);
}

void PointSetANN::ANNquery(const Vec3f& query, int k, float sqRadius, std::vector<int>& outIndices,
                           std::vector<float>& outDistances, bool reuseTree) {
    if (!reuseTree || !tree_ || !annPoints_) buildTree();
    double q[3] = {query.x, query.y, query.z};
    if (k == 1 && sqRadius < 0.0f && epsilon_ == 0.0 && std::isfinite(q[0]) && std::isfinite(q[1]) &&
        std::isfinite(q[2])) {
        int index = 0;
        double d = 0.0;
        // A distance beyond the double range is left to ANN, which reports no point then.
        if (nearestTree_.nearest(q, index, d) && d < DBL_MAX) {
            outIndices.assign(1, index);
            outDistances.assign(1, static_cast<float>(std::sqrt(d)));
            return;
        }
    }
    annSearch(tree_, treeSize_, q, k, sqRadius, epsilon_, outIndices, outDistances);
}

void PointSetANN::removePoints(std::vector<int> indexList) {
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

void PointSetANN::resize(int n) {
    const size_t count = n < 0 ? 0 : size_t(n);
    if (count < points_.size()) releaseTree();
    points_.resize(count);
}
