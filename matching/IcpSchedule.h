#pragma once

namespace veltrix {

// When the verification refits a growing region by ICP and when an ICP run stops. The defaults
// keep the fixed rules: a refit once the region has grown by more than max(10 x cluster size, a
// quarter of the size at the last fit), and ICP rounds until the summed squared movement of the
// points changes by less than 1.1920929e-7. Both fixed rules are absolute, so on a finer mesh
// the same region takes more refits and more rounds; the two settings make them relative to the
// shape.
struct IcpSchedule {
    // > 0: a refit also waits until the region has grown by this fraction of the source vertices.
    float refitStepFraction = 0.0f;
    // > 0 (model units): ICP also stops once the root mean square movement of the points in one
    // round is below this length.
    float stopMovement = 0.0f;
    // > 0: an ICP run fits the motion to at most this many of the region's correspondences,
    // evenly spread over the list; a region of a fine mesh then costs no more rounds of queries
    // than one of a coarse mesh.
    int maxPoints = 0;
};

}  // namespace veltrix
