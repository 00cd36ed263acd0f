#pragma once
#include "spatial/KdTreeSet.h"

namespace veltrix {

// A growable list of 3-D points (single precision) with a kd-tree built on the first query; the
// tree rules are those of KdTreeSet. OpenGL drawing (draw, drawNamed, drawSubset) lives with the
// viewers.
class PointSetANN : public KdTreeSet<Vec3f> {
public:
    PointSetANN() : KdTreeSet(3) {}
};

}  // namespace veltrix
