#pragma once
#include <vector>

class ShapeModel;
class Mesh3_real;

// Sub-sampling and deep copies are ShapeModel operations (see ShapeModel.h; defined in
// Sampling.cpp): subSample, validVertices, stableVertices and extractSubset.

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
