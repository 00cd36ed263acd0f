#pragma once

class ShapeModel;
class Mesh3_real;

// Sub-sampling, sub-meshes and deep copies are ShapeModel / Mesh3_real operations (see
// ShapeModel.h; defined in Sampling.cpp): subSample, validVertices, stableVertices, extractSubset,
// extractSubMesh and decimate.

// A simplified and scaled copy of mesh: its file is read again and decimated (targetReduction is
// the fraction of triangles to remove, 0 to 1), every position is multiplied by scaleFactor, and
// the result is written under a new unused name (stem_simplified.obj, ...) with normals and
// boundary computed. Owned by the caller; empty when the file cannot be read.
Mesh3_real* simplifyAndScale(const ShapeModel& mesh, float targetReduction, float scaleFactor);
