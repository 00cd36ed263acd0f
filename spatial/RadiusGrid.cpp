#include "RadiusGrid.h"

#include <algorithm>
#include <cmath>

namespace {
// Cells kept at most this many; a coarser grid (wider cells) answers the same, just slower.
const double kMaxCells = 4.0e6;
}  // namespace

void RadiusGrid::build(const std::vector<double>& points, double radius) {
    cellStart_.clear();
    coords_.clear();
    radius_ = 0;
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
    std::vector<int> next(cellStart_.begin(), cellStart_.end() - 1);
    coords_.resize(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = std::size_t(next[std::size_t(cellOf[i])]++);
        for (std::size_t a = 0; a < 3; ++a) coords_[3 * at + a] = points[3 * i + a];
    }
    radius_ = radius;
}

bool RadiusGrid::anyWithin(const double* q, double sqRadius) const {
    if (cellStart_.empty()) return false;
    long from[3], to[3];
    for (int a = 0; a < 3; ++a) {
        const double at = std::floor((q[a] - origin_[a]) / cell_);
        if (!(at >= -1.0 && at <= double(dims_[a]))) return false;  // more than a cell outside the points
        from[a] = std::max(0L, long(at) - 1);
        to[a] = std::min(dims_[a] - 1, long(at) + 1);
    }
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
