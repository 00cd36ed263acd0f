#pragma once
#include <optional>
#include <vector>

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

// One region and motion per cluster (index = cluster index; identity for clusters not verified).
struct VerifiedRegions {
    std::vector<CorrespondenceList> regions;
    std::vector<RigidTransform> transforms;
};

// Grows, for each of the first maxClusters clusters of at least minClusterSize pairs, a region of
// source vertices that the cluster motion carries within growThreshold of the target, refining the
// motion by ICP as the region grows (when, and how long: schedule). Nothing, with an error line,
// when the search has no clusters or no samples.
std::optional<VerifiedRegions> verifyRegions(const MatchCandidates& mc, const VerifyOptions& options);
// Keeps the cluster modes as they are; a region holds only the cluster's own pairs. Reads only
// minClusterSize and maxClusters of the options.
std::optional<VerifiedRegions> skipVerification(const MatchCandidates& mc, const VerifyOptions& options);
// Makes a verification result the search's regions and motions; without one they stay as they were.
void keepVerified(MatchCandidates& mc, std::optional<VerifiedRegions> verified);

}  // namespace veltrix
