#pragma once
#include <array>
#include <vector>

namespace veltrix {

// Another triangulation of a triangle surface, for shape pairs that do not share one: the surface
// is decimated by quadric edge collapse (VTK), then every vertex is relaxed towards the centre of
// its neighbours and projected back onto the input surface, so that no vertex stays where an
// input vertex was and the new vertices lie on the input's surface. Optionally a connected patch
// of the surface is cut out (a hole, as a scan leaves) and the vertices are displaced along their
// normals (scan noise). Same input and options, same output.
struct RemeshOptions {
    double keptFaces = 0.5;  // share of the input's faces the decimation keeps
    int relaxRounds = 3;     // relaxation rounds, each followed by the projection
    double hole = 0;         // share of the surface area removed as one connected patch
    double noise = 0;        // standard deviation of the normal displacement, share of the box diagonal
    unsigned seed = 1;       // for the hole's place and the noise
};

struct RemeshedSurface {
    std::vector<std::array<float, 3>> vertices;
    std::vector<std::array<int, 3>> faces;  // 0-based, the input's winding
    double holeArea = 0;                    // share of the remeshed surface's area cut out
};

// Faces naming a vertex that does not exist are ignored. An input without faces gives an empty
// result.
RemeshedSurface remeshSurface(const std::vector<std::array<float, 3>>& vertices,
                              const std::vector<std::array<int, 3>>& faces, const RemeshOptions& options);

}  // namespace veltrix
