#include "matching/Clusters.h"

#include <algorithm>
#include <utility>

#include "core/Log.h"

namespace veltrix {

void Clusters::clear() {
    label.clear();
    modes.clear();
    sizes.clear();
    stats = MeanShiftStats();
}

void Clusters::sortBySize() {
    logOut() << "sorting..." << std::flush;
    const int k = static_cast<int>(sizes.size());
    if (k == 0) return;
    std::vector<std::pair<unsigned int, int>> order;
    order.reserve(k);
    for (int c = 0; c < k; ++c) order.emplace_back(static_cast<unsigned int>(sizes[c]), c);
    std::stable_sort(order.begin(), order.end(),
                     [](const std::pair<unsigned int, int>& a, const std::pair<unsigned int, int>& b) {
                         if (a.second == 0 || b.second == 0) return a.second == 0 && b.second != 0;
                         return a.first > b.first;
                     });

    std::vector<int> newIndex(k, 0);
    std::vector<FeatureVector> sortedModes(k);
    std::vector<int> sortedSizes(k);
    for (int p = 0; p < k; ++p) {
        const int old = order[p].second;
        newIndex[old] = p;
        sortedModes[p] = old < modes.size() ? modes.point(old) : FeatureVector(6, 0.0f);
        sortedSizes[p] = sizes[old];
    }
    for (int& l : label)
        if (l >= 0 && l < k) l = newIndex[l];
    modes.setPoints(sortedModes);
    sizes = sortedSizes;
}

}  // namespace veltrix
