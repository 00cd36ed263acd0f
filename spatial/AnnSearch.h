#pragma once
#include "core/Log.h"

#include <cmath>
#include <iostream>
#include <vector>

class ANNkd_tree;

namespace veltrix {

// The ANN side of a KdTreeSet query.

// Allocates an ANN point array of n points of dimension dim filled by coordinate(i, c), with
// non-finite values reported and replaced by 0, and builds a kd-tree over it (bucket size 1,
// suggested split rule). Empty sets get no tree.
template <class Coordinate>
void annBuildTree(int n, int dim, Coordinate coordinate, double**& annPoints, ANNkd_tree*& tree);

// Releases the array and the tree if present.
void annReleaseTree(double**& annPoints, ANNkd_tree*& tree);

// k-nearest (sqRadius < 0, at most treeSize results) or fixed-radius search (sqRadius >= 0) with the
// query point q of the tree's dimension. Distances are returned non-squared.
void annSearch(ANNkd_tree* tree, int treeSize, double* q, int k, float sqRadius, double epsilon,
               std::vector<int>& outIndices, std::vector<float>& outDistances);

// ---- implementation of the template ----

double** annAllocPointArray(int n, int dim);
ANNkd_tree* annNewTree(double** points, int n, int dim);

template <class Coordinate>
void annBuildTree(int n, int dim, Coordinate coordinate, double**& annPoints, ANNkd_tree*& tree) {
    annReleaseTree(annPoints, tree);
    if (n <= 0 || dim <= 0) return;
    annPoints = annAllocPointArray(n, dim);
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < dim; ++c) {
            double v = coordinate(i, c);
            if (!std::isfinite(v)) {
                logErr() << "Error in ANNquery(): Non-finite floating point value at index " << i << "!"
                          << std::endl;
                v = 0.0;
            }
            annPoints[i][c] = v;
        }
    }
    tree = annNewTree(annPoints, n, dim);
}

}  // namespace veltrix
