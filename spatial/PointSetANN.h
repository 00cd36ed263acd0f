#pragma once
#include <vector>

#include "NearestTree.h"
#include "Vec3f.h"

class ANNkd_tree;

// A growable list of 3-D points (single precision) with a kd-tree built on the first query.
//
// The tree describes the points as they were when it was built. setPoints, clear, assignment,
// removePoints and a shrinking resize release it; point() writes, addPoint and a growing resize do
// not, so a caller that changed points in place passes reuseTree = false to its next query (or
// calls releaseTree). Copies never share a tree.
class PointSetANN {
public:
    PointSetANN();
    PointSetANN(const PointSetANN& other);
    PointSetANN& operator=(const PointSetANN& other);
    ~PointSetANN();

    int size() const { return static_cast<int>(points_.size()); }
    bool empty() const { return points_.empty(); }
    Vec3f& point(int i) { return points_[i]; }
    const Vec3f& point(int i) const { return points_[i]; }
    // All points, index = point number.
    const std::vector<Vec3f>& points() const { return points_; }

    void addPoint(const Vec3f& p) { points_.push_back(p); }
    // New entries are zero points; the tree is kept when growing (it only names existing points)
    // and released when shrinking.
    void resize(int n);
    // Releases the tree and replaces all points by the given ones.
    void setPoints(const std::vector<Vec3f>& points);
    // Releases the tree and erases all points.
    void clear();
    void releaseTree();
    bool hasTree() const { return tree_ != nullptr; }
    // Builds the tree now when there is none, so that threads can then query with reuseTree.
    void prepareTree() {
        if (!tree_ || !annPoints_) buildTree();
    }

    // ANN approximation bound of all later searches (0 = exact).
    void setEpsilon(double e) { epsilon_ = e; }
    double epsilon() const { return epsilon_; }

    // sqRadius < 0: the k nearest points (at most size() of them).
    // sqRadius >= 0: every point within sqrt(sqRadius); k is ignored.
    // Results come nearest first; outDistances holds Euclidean (not squared) distances.
    // Once the tree exists (reuseTree true), queries may come from several threads at once; the
    // exact single nearest point (k = 1, epsilon 0) is found without ANN and without its lock.
    void ANNquery(const Vec3f& query, int k, float sqRadius, std::vector<int>& outIndices,
                  std::vector<float>& outDistances, bool reuseTree);
    void knnQuery(const Vec3f& query, int k, std::vector<int>& outIndices, std::vector<float>& outDistances,
                  bool reuseTree) {
        ANNquery(query, k, -1.0f, outIndices, outDistances, reuseTree);
    }
    void rangeQuery(const Vec3f& query, float sqRadius, std::vector<int>& outIndices,
                    std::vector<float>& outDistances, bool reuseTree) {
        ANNquery(query, 0, sqRadius, outIndices, outDistances, reuseTree);
    }

    // Erases the points at the given indices (any order; duplicates and out-of-range indices are
    // ignored) and releases the tree when any went.
    void removePoints(std::vector<int> indexList);

    // OpenGL drawing (draw, drawNamed, drawSubset) lives with the viewers.

private:
    void buildTree();

    std::vector<Vec3f> points_;
    double** annPoints_ = nullptr;  // owned double copy of points_ made when the tree is built
    ANNkd_tree* tree_ = nullptr;    // owned, over annPoints_
    NearestTree nearestTree_;       // the same points, for single nearest-point queries
    double epsilon_ = 0.0;
    int treeSize_ = 0;  // number of points in the tree
};
