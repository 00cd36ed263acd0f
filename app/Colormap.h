#pragma once
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

// Maps a value in [0, 1] to an RGB colour by piecewise-linear interpolation between control points.
class Colormap {
public:
    std::vector<float> values;  // control-point positions, strictly increasing
    std::vector<Vec3f> colors;  // one RGB colour (components in [0, 1]) per control point

    // The default map: 0 -> red (1, 0, 0), 1 -> yellow (1, 1, 0).
    Colormap();
    void setDefault();

    // t is clamped to [0, 1]; outside the control points the first or last colour is returned.
    Vec3f color(float t) const;

    // Text file, one line per control point: "value, [r,g,b]".
    bool save(const std::string& fileName) const;
    // A file whose values are not strictly increasing leaves the default map and returns false.
    bool load(const std::string& fileName);
};

}  // namespace veltrix
