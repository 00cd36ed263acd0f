#include "FeatureSetANN.h"

#include "AnnSearch.h"

FeatureSetANN::FeatureSetANN(int dimension) : dimension_(dimension < 0 ? 0 : dimension) {}

FeatureSetANN::FeatureSetANN(const FeatureSetANN& other)
    : dimension_(other.dimension_), points_(other.points_), epsilon_(other.epsilon_) {}

FeatureSetANN& FeatureSetANN::operator=(const FeatureSetANN& other) {
    if (this != &other) {
        releaseTree();
        dimension_ = other.dimension_;
        points_ = other.points_;
        epsilon_ = other.epsilon_;
    }
    return *this;
}

FeatureSetANN::~FeatureSetANN() { releaseTree(); }

void FeatureSetANN::setPoints(const std::vector<FeatureVector>& points) {
    releaseTree();
    points_ = points;
}

void FeatureSetANN::clear() {
    releaseTree();
    points_.clear();
}

void FeatureSetANN::releaseTree() {
    annReleaseTree(annPoints_, tree_);
    treeSize_ = 0;
}

void FeatureSetANN::buildTree() {
    // A vector shorter than the dimension is read as if padded with zeros.
    annBuildTree(
        size(), dimension_,
        [this](int i, int c) {
            const FeatureVector& v = points_[i];
            return c < static_cast<int>(v.size()) ? static_cast<double>(v[c]) : 0.0;
        },
        annPoints_, tree_);
    treeSize_ = tree_ ? size() : 0;
}

void FeatureSetANN::ANNquery(const FeatureVector& query, int k, float sqRadius, std::vector<int>& outIndices,
                             std::vector<float>& outDistances, bool reuseTree) {
    if (!reuseTree || !tree_ || !annPoints_) buildTree();
    std::vector<double> q(dimension_, 0.0);
    for (int c = 0; c < dimension_ && c < static_cast<int>(query.size()); ++c) q[c] = query[c];
    annSearch(tree_, treeSize_, q.data(), k, sqRadius, epsilon_, outIndices, outDistances);
}
