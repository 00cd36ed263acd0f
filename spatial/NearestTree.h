#pragma once
#include <vector>

// Exact nearest-point search over 3-D points held as double rows (the copy PointSetANN makes for
// ANN). Unlike an ANN search it keeps no state outside the query, so any number of threads may
// query one tree at once. Squared distances are summed over x, y, z in that order in double
// precision, as ANN sums them; among equally near points the lowest index wins.
class NearestTree {
public:
    void build(double** points, int n);
    void clear();
    bool empty() const { return order_.empty(); }

    // The nearest point's index and squared distance; false on an empty tree. A valid hint (a
    // point likely near q, such as the answer of a neighbouring query) starts the search with its
    // distance as the bound: fewer cells are visited and the answer is the same.
    bool nearest(const double* q, int& index, double& squaredDistance, int hint = -1) const;

private:
    struct Node {
        int begin, end;   // range of order_ under this node
        int left, right;  // children, -1 for a leaf
        int dim;
        double split;  // points left have coordinate <= split, right >= split
        double low[3], high[3];  // bounding box of the node's points
    };
    int buildNode(int begin, int end);
    // offsets: per axis, q's signed offset from the node's cell along that axis (0 inside).
    void search(int node, const double* q, double* offsets, int& best, double& bestDistance) const;

    std::vector<double> coords_;  // x, y, z per point, by point index
    std::vector<int> order_;      // point indices, grouped by leaf
    std::vector<Node> nodes_;
};
