#pragma once

namespace veltrix {

// Work done by the last clusterMotions run on the calling thread, for benchmarks and diagnostics.
struct MeanShiftStats {
    int iterations = 0;        // shifting iterations run
    long shiftQueries = 0;     // range queries of the shifting iterations
    long shiftNeighbours = 0;  // twists returned by those queries, summed
    long groupingQueries = 0;  // range queries of the consolidation
};

const MeanShiftStats& lastMeanShiftStats();

}  // namespace veltrix
