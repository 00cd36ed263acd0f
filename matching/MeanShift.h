#pragma once
#include "matching/MatchCandidates.h"

namespace veltrix {

// Settings of the mean-shift clustering of the candidate twists.
struct MeanShiftOptions {
    float sqBandwidth = 0.0f;  // squared radius of the flat kernel in twist space
    float rate = 1.0f;         // damping in [0, 1]: 1 moves a twist all the way to its neighbours' mean
    int maxIterations = 100;
    float annEpsilon = 0.0f;   // error bound of the range queries
};

// Flat-kernel mean shift over the twists of mc.transformationSpace, then grouping of the converged
// positions (within one bandwidth) into clusters, sorted by size. Fills mc.clusterLabel,
// mc.clusterModes and mc.clusterSizes; cluster 0 holds the pairs in no cluster.
void clusterMotions(MatchCandidates& mc, const MeanShiftOptions& options);

}  // namespace veltrix
