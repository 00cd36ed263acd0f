#include "spatial/RadiusGrid.h"

#include <algorithm>
#include <cmath>

namespace veltrix {

namespace {
// Cells kept at most this many; a coarser grid (wider cells) answers the same, just slower.
const double kMaxCells = 4.0e6;
}  // namespace

void RadiusGrid::build(const std::vector<double>& points, double radius) {
    cellStart_.clear();
    coords_.clear();
    const std::size_t n = points.size() / 3;
    if (n == 0 || !(radius > 0.0) || !std::isfinite(radius)) return;
    double low[3], high[3];
    for (int a = 0; a < 3; ++a) {
        low[a] = high[a] = points[std::size_t(a)];
        for (std::size_t i = 1; i < n; ++i) {
            low[a] = std::min(low[a], points[3 * i + std::size_t(a)]);
            high[a] = std::max(high[a], points[3 * i + std::size_t(a)]);
        }
        if (!std::isfinite(low[a]) || !std::isfinite(high[a])) return;
    }
    // A thousandth wider than the radius: a cell index rounded off by a few ulps still leaves every
    // point within the radius in a neighbouring cell.
    cell_ = radius * 1.001;
    double volume = 1.0;
    for (int a = 0; a < 3; ++a) volume *= (high[a] - low[a]) / cell_ + 1.0;
    if (volume > kMaxCells) cell_ *= std::cbrt(volume / kMaxCells) * 1.01;
    long cells = 1;
    for (int a = 0; a < 3; ++a) {
        origin_[a] = low[a];
        dims_[a] = long((high[a] - low[a]) / cell_) + 1;
        cells *= dims_[a];
    }
    std::vector<long> cellOf(n);
    cellStart_.assign(std::size_t(cells) + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        long c = 0;
        for (int a = 0; a < 3; ++a) {
            const long k = std::clamp(long((points[3 * i + std::size_t(a)] - origin_[a]) / cell_), 0L, dims_[a] - 1);
            c = c * dims_[a] + k;
        }
        cellOf[i] = c;
        ++cellStart_[std::size_t(c) + 1];
    }
    for (std::size_t c = 0; c < std::size_t(cells); ++c) cellStart_[c + 1] += cellStart_[c];
    // Most queries of a wrong motion land far from every point: one bit answers them.
    nearPoints_.assign(std::size_t(cells), false);
    for (long x = 0; x < dims_[0]; ++x)
        for (long y = 0; y < dims_[1]; ++y)
            for (long z = 0; z < dims_[2]; ++z) {
                const std::size_t c = std::size_t((x * dims_[1] + y) * dims_[2] + z);
                if (cellStart_[c + 1] == cellStart_[c]) continue;
                for (long i = std::max(0L, x - 1); i <= std::min(dims_[0] - 1, x + 1); ++i)
                    for (long j = std::max(0L, y - 1); j <= std::min(dims_[1] - 1, y + 1); ++j)
                        for (long k = std::max(0L, z - 1); k <= std::min(dims_[2] - 1, z + 1); ++k)
                            nearPoints_[std::size_t((i * dims_[1] + j) * dims_[2] + k)] = true;
            }
    std::vector<int> next(cellStart_.begin(), cellStart_.end() - 1);
    coords_.resize(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = std::size_t(next[std::size_t(cellOf[i])]++);
        for (std::size_t a = 0; a < 3; ++a) coords_[3 * at + a] = points[3 * i + a];
    }
}

bool RadiusGrid::anyWithin(const double* q, double sqRadius) const {
    if (cellStart_.empty()) return false;
    long from[3], to[3], at[3];
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
        const double c = std::floor((q[a] - origin_[a]) / cell_);
        if (!(c >= -1.0 && c <= double(dims_[a]))) return false;  // more than a cell outside the points
        at[a] = long(c);
        inside = inside && at[a] >= 0 && at[a] < dims_[a];
        from[a] = std::max(0L, at[a] - 1);
        to[a] = std::min(dims_[a] - 1, at[a] + 1);
    }
    if (inside && !nearPoints_[std::size_t((at[0] * dims_[1] + at[1]) * dims_[2] + at[2])]) return false;
    for (long x = from[0]; x <= to[0]; ++x)
        for (long y = from[1]; y <= to[1]; ++y) {
            const long row = (x * dims_[1] + y) * dims_[2];
            const int begin = cellStart_[std::size_t(row + from[2])], end = cellStart_[std::size_t(row + to[2]) + 1];
            for (int i = begin; i < end; ++i) {
                const double* c = &coords_[3 * std::size_t(i)];
                double d = 0.0;
                for (int k = 0; k < 3; ++k) {
                    const double t = q[k] - c[k];
                    d = d + t * t;
                }
                if (d <= sqRadius) return true;
            }
        }
    return false;
}

}  // namespace veltrix
