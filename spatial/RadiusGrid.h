#pragma once
#include <vector>

namespace veltrix {

// Fixed-radius occupancy queries over 3-D points on a uniform grid whose cells are at least the
// radius wide, so that every point within the radius of a query lies in the 27 cells around it.
// Squared distances are summed over x, y, z in double precision, as the nearest-point trees sum
// them, so anyWithin gives the same yes or no as their anyWithin for any radius up to the one
// built for. Cheaper than a tree descent when most queries miss (points carried by wrong motions).
// Safe to query from several threads once built.
class RadiusGrid {
public:
    // points: x, y, z per point. A radius that is not positive and finite leaves the grid empty.
    void build(const std::vector<double>& points, double radius);
    bool empty() const { return cellStart_.empty(); }
    // Whether some point's squared distance to q is at most sqRadius (sqRadius at most the squared
    // radius built for, q finite).
    bool anyWithin(const double* q, double sqRadius) const;

private:
    double origin_[3] = {0, 0, 0};
    double cell_ = 0;
    long dims_[3] = {0, 0, 0};
    std::vector<int> cellStart_;   // points of cell c: coords_[3 * cellStart_[c] .. 3 * cellStart_[c + 1])
    std::vector<bool> nearPoints_;  // per cell: some point lies in it or in a cell next to it
    std::vector<double> coords_;   // grouped by cell
};

}  // namespace veltrix
