#pragma once
#include <array>
#include <string>
#include <vector>

#include "geometry/Remesh.h"

namespace veltrix {

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

// Generated game-style characters: 16 rigid parts (pelvis, torso, head, upper and lower arms,
// hands, thighs, shins, feet and a staff carried in the right hand) built from 8 separate closed
// or open components that interpenetrate (body, head, two arms with hands, two legs with feet, the
// staff, a backpack). Within a component the skin near a joint follows both parts (linear-blend
// skinning), so the motion there is not rigid. Every pose is a deformation of the same mesh
// (vertex i corresponds to vertex i), with small noise and positions quantised to 1/1024 unit.
// Pose 0 is the rest pose; poses 1 to 3 are a stride with a raised arm, a crouch and an overhead
// swing with a lunge, each jittered by the seed. About 2 model units tall.
struct CharacterPoses {
    std::vector<std::vector<std::array<float, 3>>> poses;  // pose k, one entry per vertex
    std::vector<std::array<int, 3>> faces;                 // 0-based, outward winding
    std::vector<int> part;                                 // part with the largest skin weight
    int partCount = 16;
    int componentCount = 0;
};

// Builds a character of about `vertices` vertices; the seed sets its proportions, the pose
// jitter and the noise. Same arguments, same output.
CharacterPoses makeCharacter(int vertices, unsigned seed, int poseCount = 4);

// Pose `pose` of a character with another triangulation of the same surface: about half the
// faces, no vertex where a vertex of the pose is. With `scanLike`, also normal noise of 0.1 % of
// the bounding-box diagonal and a hole of about 5 % of the surface. `seed` is the character's;
// the hole and the noise differ from pose to pose.
RemeshedSurface remeshCharacterPose(const CharacterPoses& character, int pose, unsigned seed, bool scanLike);

}  // namespace veltrix
