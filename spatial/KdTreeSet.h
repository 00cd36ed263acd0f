#pragma once
#include <type_traits>
#include <vector>

#include "spatial/NearestTree.h"
#include "core/Vec3f.h"

class ANNkd_tree;

namespace veltrix {

// One feature vector; a FeatureSetANN of dimension d reads its first d values.
typedef std::vector<float> FeatureVector;

// A growable list of points (Vec3f, or FeatureVector of a dimension fixed per set) with an ANN
// kd-tree built on the first query. PointSetANN and FeatureSetANN are its two forms.
//
// The tree describes the points as they were when it was built. setPoints, clear, assignment,
// removePoints and a shrinking resize release it; point() writes, addPoint and a growing resize do
// not, so a caller that changed points in place passes reuseTree = false to its next query (or
// calls releaseTree). Copies never share a tree.
template <class Point>
class KdTreeSet {
public:
    KdTreeSet(const KdTreeSet& other);
    KdTreeSet& operator=(const KdTreeSet& other);
    ~KdTreeSet();

    // Coordinates per point: 3 for Vec3f.
    int dimension() const { return dimension_; }
    int size() const { return static_cast<int>(points_.size()); }
    bool empty() const { return points_.empty(); }
    Point& point(int i) { return points_[i]; }
    const Point& point(int i) const { return points_[i]; }
    // All points, index = point number.
    const std::vector<Point>& points() const { return points_; }

    void addPoint(const Point& p) { points_.push_back(p); }
    // New entries are zero points (vectors of d zeros); the tree is kept when growing (it only
    // names existing points) and released when shrinking.
    void resize(int n);
    // Releases the tree and replaces all points by the given ones.
    void setPoints(const std::vector<Point>& points);
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
    // A feature query's first d values are used; missing values of the query or of a stored
    // vector count as 0.
    // Once the tree exists (reuseTree true), queries may come from several threads at once. Exact
    // searches (epsilon 0) over 3-D points run without ANN and without its lock; among equally near
    // points the lower index comes first.
    // hint: for that exact nearest-point search, a point index likely near the query (-1 none);
    // it makes the search cheaper, never different.
    void ANNquery(const Point& query, int k, float sqRadius, std::vector<int>& outIndices,
                  std::vector<float>& outDistances, bool reuseTree, int hint = -1);
    void knnQuery(const Point& query, int k, std::vector<int>& outIndices, std::vector<float>& outDistances,
                  bool reuseTree, int hint = -1) {
        ANNquery(query, k, -1.0f, outIndices, outDistances, reuseTree, hint);
    }
    void rangeQuery(const Point& query, float sqRadius, std::vector<int>& outIndices,
                    std::vector<float>& outDistances, bool reuseTree) {
        ANNquery(query, 0, sqRadius, outIndices, outDistances, reuseTree);
    }

    // Whether some point lies within sqrt(sqRadius) of the query; an exact search over 3-D points
    // stops at the first one it finds, leaves its index in *found (when it can tell) and tries a
    // valid hint first. Thread-safe once the tree exists, as reuseTree queries are.
    bool anyWithin(const Point& query, double sqRadius, int* found = nullptr, int hint = -1);

    // Erases the points at the given indices (any order; duplicates and out-of-range indices are
    // ignored) and releases the tree when any went.
    void removePoints(std::vector<int> indexList);

protected:
    explicit KdTreeSet(int dimension) : dimension_(dimension < 0 ? 0 : dimension) {}

private:
    static constexpr bool kExactNearest = std::is_same<Point, Vec3f>::value;

    void buildTree();

    int dimension_;
    std::vector<Point> points_;
    double** annPoints_ = nullptr;  // owned double copy of points_ made when the tree is built
    ANNkd_tree* tree_ = nullptr;    // owned, over annPoints_
    // The same points for exact searches without ANN's lock: 3-D points (nearest, k-nearest and
    // ball queries) and six-coordinate twists (ball queries).
    static constexpr int kTwistDimension = 6;
    std::conditional_t<kExactNearest, NearestTree, TwistTree> nearestTree_;
    bool exactBalls() const { return kExactNearest || dimension_ == kTwistDimension; }
    double epsilon_ = 0.0;
    int treeSize_ = 0;  // number of points in the tree
};

extern template class KdTreeSet<Vec3f>;
extern template class KdTreeSet<FeatureVector>;

}  // namespace veltrix
