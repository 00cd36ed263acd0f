#pragma once
#include <vector>

class ANNkd_tree;

// One feature vector; a FeatureSetANN of dimension d reads its first d values.
typedef std::vector<float> FeatureVector;

// A growable list of d-dimensional float vectors with a kd-tree built on the first query.
// Same tree rules as PointSetANN: setPoints, clear and assignment release the tree; writes through
// point(), resize and addPoint do not. Copies never share a tree.
class FeatureSetANN {
public:
    explicit FeatureSetANN(int dimension);
    FeatureSetANN(const FeatureSetANN& other);
    FeatureSetANN& operator=(const FeatureSetANN& other);
    ~FeatureSetANN();

    int dimension() const { return dimension_; }
    int size() const { return static_cast<int>(points_.size()); }
    bool empty() const { return points_.empty(); }
    FeatureVector& point(int i) { return points_[i]; }
    const FeatureVector& point(int i) const { return points_[i]; }
    const std::vector<FeatureVector>& points() const { return points_; }

    void addPoint(const FeatureVector& p) { points_.push_back(p); }
    // New entries are vectors of d zeros; the tree is kept.
    void resize(int n) { points_.resize(n < 0 ? 0 : n, FeatureVector(dimension_, 0.0f)); }
    // Releases the tree and replaces all vectors by the given ones.
    void setPoints(const std::vector<FeatureVector>& points);
    void clear();
    void releaseTree();
    bool hasTree() const { return tree_ != nullptr; }

    void setEpsilon(double e) { epsilon_ = e; }
    double epsilon() const { return epsilon_; }

    // As PointSetANN::ANNquery; the query's first d values are used (missing values count as 0,
    // and so do missing values of stored vectors).
    void ANNquery(const FeatureVector& query, int k, float sqRadius, std::vector<int>& outIndices,
                  std::vector<float>& outDistances, bool reuseTree);
    void knnQuery(const FeatureVector& query, int k, std::vector<int>& outIndices,
                  std::vector<float>& outDistances, bool reuseTree) {
        ANNquery(query, k, -1.0f, outIndices, outDistances, reuseTree);
    }
    void rangeQuery(const FeatureVector& query, float sqRadius, std::vector<int>& outIndices,
                    std::vector<float>& outDistances, bool reuseTree) {
        ANNquery(query, 0, sqRadius, outIndices, outDistances, reuseTree);
    }

private:
    void buildTree();

    int dimension_;
    std::vector<FeatureVector> points_;
    double** annPoints_ = nullptr;
    ANNkd_tree* tree_ = nullptr;
    double epsilon_ = 0.0;
    int treeSize_ = 0;
};
