#pragma once
#include <vector>

namespace veltrix {

class ShapeModel;
class Mesh3_real;

// A point set (owned by the caller) of the vertices that ShapeModel::randomIndices(count,
// vertexCount()) draws and that are interior (validVertices) and stable at ratioThreshold
// (stableVertices), copied by extractSubset; null, with a warning, when none is left.
ShapeModel* subSample(ShapeModel& shape, int count, float ratioThreshold);
// The indices that name interior vertices, in the order given.
std::vector<int> validVertices(const ShapeModel& shape, const std::vector<int>& indices);
// The indices of vertices whose |minimum / maximum curvature| lies in (0, ratioThreshold) at every
// frame scale; every index when the shape has no frames.
std::vector<int> stableVertices(const ShapeModel& shape, const std::vector<int>& indices, float ratioThreshold);
// Copies the selected vertices of shape with their normals, status, frames, features and spin
// images into target (a new point set when null) and names it after shape (tag "sample").
// Indices that name no vertex are skipped. Returns target.
ShapeModel* extractSubset(ShapeModel& shape, const std::vector<int>& indices, ShapeModel* target);

// A new mesh (owned by the caller) of the selected vertices of mesh, in the order given, and the
// triangles whose three corners are selected. Indices outside the mesh are skipped; for a vertex
// listed twice the later position wins.
Mesh3_real* extractSubMesh(Mesh3_real& mesh, const std::vector<int>& selection);
// Replaces the vertices and triangles of mesh by its file (fullPath()) read again and decimated:
// targetReduction is the fraction of triangles to remove (0 to 1). Normals are zero and every
// vertex is interior until computed; an unreadable file gives an empty mesh.
void loadDecimated(Mesh3_real& mesh, float targetReduction);

// A simplified and scaled copy of mesh: its file is read again and decimated (targetReduction is
// the fraction of triangles to remove, 0 to 1), every position is multiplied by scaleFactor, and
// the result is written under a new unused name (stem_simplified.obj, ...) with normals and
// boundary computed. Owned by the caller; empty when the file cannot be read.
Mesh3_real* simplifyAndScale(const ShapeModel& mesh, float targetReduction, float scaleFactor);

}  // namespace veltrix
