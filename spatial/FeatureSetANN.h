#pragma once
#include "spatial/KdTreeSet.h"

namespace veltrix {

// A growable list of d-dimensional float vectors with a kd-tree built on the first query; the tree
// rules are those of KdTreeSet. A negative dimension counts as 0.
class FeatureSetANN : public KdTreeSet<FeatureVector> {
public:
    explicit FeatureSetANN(int dimension) : KdTreeSet(dimension) {}
};

}  // namespace veltrix
