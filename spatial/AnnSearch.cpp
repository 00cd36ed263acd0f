#include "spatial/AnnSearch.h"

#include <ANN/ANN.h>

#include <algorithm>
#include <mutex>

namespace veltrix {

// ANN keeps the state of a search (query, result list, counters) and its shared trivial leaf in
// globals, so every call into it holds this lock; the containers can then be queried from several
// threads at once.
static std::mutex& annMutex() {
    static std::mutex m;
    return m;
}

double** annAllocPointArray(int n, int dim) { return annAllocPts(n, dim); }

ANNkd_tree* annNewTree(double** points, int n, int dim) {
    std::lock_guard<std::mutex> lock(annMutex());
    return new ANNkd_tree(points, n, dim, 1, ANN_KD_SUGGEST);
}

void annReleaseTree(double**& annPoints, ANNkd_tree*& tree) {
    std::lock_guard<std::mutex> lock(annMutex());
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

    // The result buffers live as long as the process and only grow, so a query allocates nothing
    // once they are large enough; they are used under the lock only.
    static std::vector<ANNidx> indices(64);
    static std::vector<ANNdist> squaredDistances(64);
    static int lastCount = 0;
    std::unique_lock<std::mutex> lock(annMutex());
    int count = 0;
    if (sqRadius < 0.0f) {
        // ANN leaves the slots beyond the set's size undefined, so never ask for more.
        count = std::min(k, treeSize);
        if (count <= 0) return;
        if (indices.size() < size_t(count)) {
            indices.resize(size_t(count));
            squaredDistances.resize(size_t(count));
        }
        tree->annkSearch(q, count, indices.data(), squaredDistances.data(), epsilon);
    } else {
        // One search with room for twice the last ball (ANN fills every slot asked for, so the room
        // is not simply all of the buffers): with at most that many points in the ball the list is
        // complete, nearest first, as a search for exactly that many gives it. Only a fuller ball
        // is searched again, with room for all of it.
        const int room = std::min(int(indices.size()), std::max(64, 2 * lastCount));
        count = tree->annkFRSearch(q, sqRadius, room, indices.data(), squaredDistances.data(), epsilon);
        lastCount = count;
        if (count <= 0) return;
        if (count > room) {
            if (indices.size() < size_t(count)) {
                indices.resize(size_t(count));
                squaredDistances.resize(size_t(count));
            }
            tree->annkFRSearch(q, sqRadius, count, indices.data(), squaredDistances.data(), epsilon);
        }
    }
    outIndices.resize(size_t(count));
    outDistances.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        outIndices[i] = indices[i];
        outDistances[i] = static_cast<float>(std::sqrt(squaredDistances[i]));
    }
}

}  // namespace veltrix
