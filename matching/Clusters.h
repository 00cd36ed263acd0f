#pragma once
#include <vector>

#include "spatial/FeatureSetANN.h"

namespace veltrix {

// Work done by a mean-shift clustering, for benchmarks and diagnostics.
struct MeanShiftStats {
    int iterations = 0;        // shifting iterations run
    long shiftQueries = 0;     // range queries of the shifting iterations
    long shiftNeighbours = 0;  // twists returned by those queries, summed
    long groupingQueries = 0;  // range queries of the consolidation
};

// The clusters of the candidate twists. Cluster 0 is the group of pairs in no cluster.
struct Clusters {
    std::vector<int> label;  // per pair
    FeatureSetANN modes{6};  // per cluster: mean twist; entry 0 the zero twist
    std::vector<int> sizes;  // per cluster: member count; entry 0 the unclustered pairs
    MeanShiftStats stats;

    void clear();
    // Cluster 0 stays first; the others follow by size, largest first.
    void sortBySize();
};

}  // namespace veltrix
