#pragma once
#include <array>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

// Colours for the transformation labels of a result, shared by the viewers and the exports: a
// qualitative palette of well-separated colours, and an assignment of palette colours to labels in
// which labels whose regions touch get colours far apart. Colours are sRGB with components in
// [0, 1]; distances are CIELAB differences (Euclidean, D65 white).

// CIELAB coordinates (L, a, b) of an sRGB colour.
Vec3f toLab(const Vec3f& rgb);
// Perceptual difference of two sRGB colours: the Euclidean distance of their CIELAB coordinates.
// About 2 is barely visible; 20 and more reads as another colour at a glance.
float colorDifference(const Vec3f& a, const Vec3f& b);

// Colour of vertices without a transformation (the dummy label): a neutral grey that no palette
// colour comes close to.
Vec3f noLabelColor();

// At least `count` colours: the fixed list of well-separated colours first, then, when more are
// needed, each further colour the one of a grid of saturated sRGB colours farthest (in CIELAB)
// from all colours so far and from grey, white and black. Same count, same colours.
std::vector<Vec3f> qualitativePalette(int count);

// Which labels share a border and how large their regions are, over one or more labelled meshes.
struct LabelAdjacency {
    std::vector<std::vector<int>> neighbours;  // per label, ascending, without the label itself
    std::vector<long> size;                    // vertices per label, over all meshes added

    explicit LabelAdjacency(int labelCount);
    int labelCount() const { return int(size.size()); }
    // Adds one mesh: labels[v] is the label of vertex v; values outside 0 .. labelCount - 1 (the
    // dummy label, a stale index) count nowhere. Two labels are neighbours when a triangle edge
    // joins vertices of each; faces with an index outside labels are skipped.
    void addMesh(const std::vector<std::array<int, 3>>& faces, const std::vector<int>& labels);
    // Adds the vertex counts of a labelled point set (no edges).
    void addVertices(const std::vector<int>& labels);
    void addEdge(int a, int b);
};

// Palette index per label, greedy: labels in order of decreasing region size (ties by label),
// each taking, among the palette colours not used yet (all of them once every colour is used), the
// one whose smallest difference to the colours of its already coloured neighbours is largest, where
// every difference of 60 or more counts as 60 (the earliest such colour wins: a label without
// coloured neighbours takes the first free colour). Deterministic.
std::vector<int> assignPaletteColors(const LabelAdjacency& adjacency, const std::vector<Vec3f>& palette);

// The colour of every label of the adjacency: the assignment above on a qualitative palette with
// a colour for each label.
std::vector<Vec3f> labelColors(const LabelAdjacency& adjacency);

}  // namespace veltrix
