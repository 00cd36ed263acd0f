#include "app/LabelPalette.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>

namespace veltrix {

namespace {

// Sixteen colours of distinct hue or lightness, none darker than a shaded surface can show,
// ordered so that the first few are the most different. The closest two differ by 25 in CIELAB,
// and every one by 28 from the no-label grey.
const unsigned kFixedColors[] = {0xe6194b, 0x4363d8, 0x3cb44b, 0xf58231, 0x911eb4, 0x42d4f4,
                                 0xf032e6, 0xffe119, 0x469990, 0x9a6324, 0xfabed4, 0x808000,
                                 0xdcbeff, 0x800000, 0xaaffc3, 0xbfef45};
const int kFixedCount = int(sizeof kFixedColors / sizeof kFixedColors[0]);
const float kNoLabelGrey = 0.6f;

Vec3f fromHex(unsigned rgb) {
    return Vec3f(float((rgb >> 16) & 0xff) / 255.0f, float((rgb >> 8) & 0xff) / 255.0f, float(rgb & 0xff) / 255.0f);
}

double linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

double labF(double t) {
    const double d = 6.0 / 29.0;
    return t > d * d * d ? std::cbrt(t) : t / (3 * d * d) + 4.0 / 29.0;
}

// Candidates for colours beyond the fixed list: an sRGB grid without the greys, the very dark and
// the very light colours, which read badly on a lit surface or against the white background.
std::vector<Vec3f> extraCandidates() {
    std::vector<Vec3f> candidates;
    const int steps = 12;
    for (int r = 0; r <= steps; ++r)
        for (int g = 0; g <= steps; ++g)
            for (int b = 0; b <= steps; ++b) {
                const Vec3f rgb(float(r) / steps, float(g) / steps, float(b) / steps);
                const Vec3f lab = toLab(rgb);
                if (lab.x < 30 || lab.x > 90 || std::hypot(lab.y, lab.z) < 25) continue;
                candidates.push_back(rgb);
            }
    return candidates;
}

// Neighbours this far apart (CIELAB) read as clearly different parts; among the colours at least
// this far from every coloured neighbour the earliest of the palette is taken, so that a result
// with few labels shows the palette's first, strongest colours.
const float kFarEnough = 60.0f;

}  // namespace

Vec3f toLab(const Vec3f& rgb) {
    const double r = linear(rgb.x), g = linear(rgb.y), b = linear(rgb.z);
    const double x = (0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const double z = (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883;
    const double fx = labF(x), fy = labF(y), fz = labF(z);
    return Vec3f(float(116 * fy - 16), float(500 * (fx - fy)), float(200 * (fy - fz)));
}

float colorDifference(const Vec3f& a, const Vec3f& b) { return (toLab(a) - toLab(b)).length(); }

Vec3f noLabelColor() { return Vec3f(kNoLabelGrey, kNoLabelGrey, kNoLabelGrey); }

std::vector<Vec3f> qualitativePalette(int count) {
    std::vector<Vec3f> palette;
    for (int i = 0; i < kFixedCount; ++i) palette.push_back(fromHex(kFixedColors[i]));
    if (count <= kFixedCount) return palette;

    // Farthest-point choice: every candidate keeps its distance to the nearest colour so far.
    const std::vector<Vec3f> candidates = extraCandidates();
    std::vector<Vec3f> labs;
    for (const Vec3f& c : candidates) labs.push_back(toLab(c));
    std::vector<float> nearest(candidates.size(), FLT_MAX);
    auto taken = [&](const Vec3f& rgb) {
        const Vec3f lab = toLab(rgb);
        for (size_t i = 0; i < labs.size(); ++i) nearest[i] = std::min(nearest[i], (labs[i] - lab).length());
    };
    for (const Vec3f& c : palette) taken(c);
    for (const Vec3f& c : {noLabelColor(), Vec3f(1, 1, 1), Vec3f(0, 0, 0)}) taken(c);
    while (int(palette.size()) < count) {
        const size_t best = size_t(std::max_element(nearest.begin(), nearest.end()) - nearest.begin());
        palette.push_back(candidates[best]);
        taken(candidates[best]);  // its own distance becomes 0: never chosen twice
    }
    return palette;
}

LabelAdjacency::LabelAdjacency(int labelCount)
    : neighbours(size_t(std::max(labelCount, 0))), size(size_t(std::max(labelCount, 0)), 0) {}

void LabelAdjacency::addEdge(int a, int b) {
    const int n = labelCount();
    if (a == b || a < 0 || b < 0 || a >= n || b >= n) return;
    for (auto [from, to] : {std::pair<int, int>(a, b), std::pair<int, int>(b, a)}) {
        std::vector<int>& list = neighbours[size_t(from)];
        auto at = std::lower_bound(list.begin(), list.end(), to);
        if (at == list.end() || *at != to) list.insert(at, to);
    }
}

void LabelAdjacency::addVertices(const std::vector<int>& labels) {
    for (int l : labels)
        if (l >= 0 && l < labelCount()) ++size[size_t(l)];
}

void LabelAdjacency::addMesh(const std::vector<std::array<int, 3>>& faces, const std::vector<int>& labels) {
    addVertices(labels);
    const int n = int(labels.size());
    for (const auto& f : faces) {
        if (std::any_of(f.begin(), f.end(), [n](int v) { return v < 0 || v >= n; })) continue;
        for (int c = 0; c < 3; ++c) addEdge(labels[size_t(f[c])], labels[size_t(f[(c + 1) % 3])]);
    }
}

std::vector<int> assignPaletteColors(const LabelAdjacency& adjacency, const std::vector<Vec3f>& palette) {
    const int n = adjacency.labelCount();
    std::vector<int> assigned(size_t(n), -1);
    if (palette.empty()) return assigned;
    std::vector<Vec3f> labs;
    for (const Vec3f& c : palette) labs.push_back(toLab(c));

    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return adjacency.size[size_t(a)] > adjacency.size[size_t(b)]; });
    std::vector<bool> used(palette.size(), false);
    size_t usedCount = 0;
    for (int label : order) {
        const bool reuse = usedCount == palette.size();
        int best = -1;
        float bestScore = -1;
        for (size_t p = 0; p < palette.size(); ++p) {
            if (used[p] && !reuse) continue;
            float score = kFarEnough;  // no coloured neighbour: any colour will do
            for (int other : adjacency.neighbours[size_t(label)])
                if (assigned[size_t(other)] >= 0)
                    score = std::min(score, (labs[p] - labs[size_t(assigned[size_t(other)])]).length());
            if (score > bestScore) {
                bestScore = score;
                best = int(p);
            }
        }
        assigned[size_t(label)] = best;
        if (!used[size_t(best)]) {
            used[size_t(best)] = true;
            ++usedCount;
        }
    }
    return assigned;
}

std::vector<Vec3f> labelColors(const LabelAdjacency& adjacency) {
    const std::vector<Vec3f> palette = qualitativePalette(adjacency.labelCount());
    std::vector<Vec3f> colors;
    for (int p : assignPaletteColors(adjacency, palette)) colors.push_back(palette[size_t(p)]);
    return colors;
}

}  // namespace veltrix
