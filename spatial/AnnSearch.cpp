#include "AnnSearch.h"

#include <ANN/ANN.h>

#include <algorithm>

double** annAllocPointArray(int n, int dim) { return annAllocPts(n, dim); }

ANNkd_tree* annNewTree(double** points, int n, int dim) {
    return new ANNkd_tree(points, n, dim, 1, ANN_KD_SUGGEST);
}

void annReleaseTree(double**& annPoints, ANNkd_tree*& tree) {
    delete tree;
    tree = nullptr;
    if (annPoints) annDeallocPts(annPoints);
    annPoints = nullptr;
}

void annSearch(ANNkd_tree* tree, int treeSize, double* q, int k, float sqRadius, double epsilon,
               std::vector<int>& outIndices, std::vector<float>& outDistances) {
    outIndices.clear();
    outDistances.clear();
    if (!tree || treeSize <= 0) return;

    int count = 0;
    std::vector<ANNidx> indices;
    std::vector<ANNdist> squaredDistances;
    if (sqRadius < 0.0f) {
        // ANN leaves the slots beyond the set's size undefined, so never ask for more.
        count = std::min(k, treeSize);
        if (count <= 0) return;
        indices.resize(count);
        squaredDistances.resize(count);
        tree->annkSearch(q, count, indices.data(), squaredDistances.data(), epsilon);
    } else {
        // Count first, then fetch exactly that many.
        count = tree->annkFRSearch(q, sqRadius, 0, nullptr, nullptr, epsilon);
        if (count <= 0) return;
        indices.resize(count);
        squaredDistances.resize(count);
        tree->annkFRSearch(q, sqRadius, count, indices.data(), squaredDistances.data(), epsilon);
    }
    outIndices.resize(count);
    outDistances.resize(count);
    for (int i = 0; i < count; ++i) {
        outIndices[i] = indices[i];
        outDistances[i] = static_cast<float>(std::sqrt(squaredDistances[i]));
    }
}
