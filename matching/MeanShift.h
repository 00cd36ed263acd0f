#pragma once
#include "matching/Clusters.h"
#include "spatial/FeatureSetANN.h"

namespace veltrix {

// Settings of the mean-shift clustering of the candidate twists.
struct MeanShiftOptions {
    float sqBandwidth = 0.0f;  // squared radius of the flat kernel in twist space
    float rate = 1.0f;         // damping in [0, 1]: 1 moves a twist all the way to its neighbours' mean
    int maxIterations = 100;
    float annEpsilon = 0.0f;   // error bound of the range queries
};

// Flat-kernel mean shift over the twists (one per candidate pair; their search tree is built here
// for the queries), then grouping of the converged positions (within one bandwidth) into
// clusters, sorted by size; cluster 0 holds the pairs in no cluster.
Clusters clusterMotions(FeatureSetANN& twists, const MeanShiftOptions& options);

}  // namespace veltrix
