#pragma once
#include "matching/IcpSchedule.h"
#include "matching/MatchCandidates.h"

namespace veltrix {

// Settings of the verification of the mean-shift clusters.
struct VerifyOptions {
    unsigned int minClusterSize = 0;  // smaller clusters are not verified
    int maxClusters = -1;             // at most this many clusters, largest first; negative: all
    float growThreshold = 0.0f;       // model units
    float annEpsilon = 0.0f;          // error bound of the neighbour and closest-point queries
    IcpSchedule schedule;
};

// Grows, for each of the first maxClusters clusters of at least minClusterSize pairs, a region of
// source vertices that the cluster motion carries within growThreshold of the target, refining the
// motion by ICP as the region grows (when, and how long: schedule). Fills mc.regions and
// mc.regionTransforms, one entry per cluster.
void verifyRegions(MatchCandidates& mc, const VerifyOptions& options);
// Keeps the cluster modes as they are; a region holds only the cluster's own pairs. Reads only
// minClusterSize and maxClusters of the options.
void skipVerification(MatchCandidates& mc, const VerifyOptions& options);

}  // namespace veltrix
