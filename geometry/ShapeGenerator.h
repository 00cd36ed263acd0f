#pragma once
#include <array>
#include <string>
#include <vector>

// Generated articulated test figures: a body with a head, two arms and two legs, built as one
// closed triangle mesh, in a rest pose and in a second pose where every limb is turned about its
// joint and the whole figure is moved rigidly. Vertex i of the posed mesh is vertex i of the rest
// mesh, so the pair carries a per-vertex ground truth.
struct ArticulatedPair {
    std::vector<std::array<float, 3>> source;  // rest pose, one entry per vertex
    std::vector<std::array<float, 3>> target;  // posed, same vertex order
    std::vector<std::array<int, 3>> faces;     // 0-based, outward (counter-clockwise) winding
    std::vector<int> part;                     // rigid part of each vertex: 0 body, 1..4 limbs
    int partCount = 5;
    // The rigid motion of each part, applied as R * p + t (R row-major).
    std::vector<std::array<float, 12>> motions;
};

// Builds the pair on a grid whose spacing is chosen so that the mesh has about `vertices`
// vertices. The figure is about 2 model units tall. `amount` scales the pose: every turn angle and
// the shift of the whole figure (0 gives the rest pose twice, 1 the full pose).
ArticulatedPair makeArticulatedPair(int vertices, double amount = 1.0);

// Writes vertex and face lines; returns false when the file cannot be written.
bool writeObjFile(const std::string& path, const std::vector<std::array<float, 3>>& vertices,
                  const std::vector<std::array<int, 3>>& faces);
// One part index per line.
bool writePartFile(const std::string& path, const std::vector<int>& part);
