#pragma once
// The alignment error measures with the point-to-triangle distance and the triangle hierarchy of
// the geometry layer, which other layers use as well.
#include "geometry/TriangleDistance.h"

namespace veltrix {


}  // namespace veltrix
