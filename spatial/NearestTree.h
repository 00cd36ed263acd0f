#pragma once
#include <cstddef>
#include <utility>
#include <vector>

namespace veltrix {

// Exact nearest-point, k-nearest and fixed-radius search over D-dimensional points held as double
// rows (the copy the containers make for ANN). Unlike an ANN search it keeps no state outside the
// query, so any number of threads may query one tree at once. Squared distances are summed over the
// coordinates in order in double precision, as ANN sums them; among equally near points the lowest
// index wins and comes first.
template <int D>
class BasicNearestTree {
public:
    // One result: squared distance and point index, ordered by distance, then index.
    typedef std::pair<double, int> Hit;

    void build(double** points, int n);
    void clear();
    bool empty() const { return order_.empty(); }

    // The nearest point's index and squared distance; false on an empty tree. A valid hint (a
    // point likely near q, such as the answer of a neighbouring query) starts the search with its
    // distance as the bound: fewer cells are visited and the answer is the same.
    bool nearest(const double* q, int& index, double& squaredDistance, int hint = -1) const;
    // The k nearest points (all when k exceeds the count), nearest first, into hits (its storage is
    // reused, so a caller keeping it per thread allocates nothing once it is large enough).
    void kNearest(const double* q, int k, std::vector<Hit>& hits) const;
    // Every point whose squared distance is at most sqRadius, nearest first.
    void within(const double* q, double sqRadius, std::vector<Hit>& hits) const;
    // Whether some point's squared distance is at most sqRadius; stops at the first one found and
    // leaves its index in *found. A valid hint is tried first (a point found by a similar query).
    bool anyWithin(const double* q, double sqRadius, int* found = nullptr, int hint = -1) const;

private:
    struct Node {
        int begin, end;   // range of order_ under this node
        int left, right;  // children, -1 for a leaf
        int dim;
        double split;  // points left have coordinate <= split, right >= split
        double low[D], high[D];  // bounding box of the node's points
    };
    int buildNode(int begin, int end);
    // offsets: per axis, q's signed offset from the node's cell along that axis (0 inside).
    template <class Leaf, class Bound>
    void descend(int node, const double* q, double* offsets, Leaf& leaf, Bound& bound) const;
    // The nearest point below the best so far (best -1: none yet).
    void search(const double* q, int& best, double& bestDistance) const;
    void searchWithin(int node, const double* q, double sqRadius, std::vector<Hit>& hits) const;
    int searchAny(int node, const double* q, double sqRadius) const;

    std::vector<double> coords_;  // D coordinates per point, by point index
    std::vector<double> leafCoords_;  // the same coordinates in order_ order
    std::vector<int> order_;      // point indices, grouped by leaf
    std::vector<Node> nodes_;
};

using NearestTree = BasicNearestTree<3>;
// Transformation space (twists of six coordinates), for the mean shift's ball queries.
using TwistTree = BasicNearestTree<6>;
extern template class BasicNearestTree<3>;
extern template class BasicNearestTree<6>;

}  // namespace veltrix
