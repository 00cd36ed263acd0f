#pragma once
#include <array>
#include <string>
#include <vector>

#include "core/Vec3f.h"

namespace veltrix {

// Triangle meshes in the formats other than OBJ: PLY, STL and glTF/GLB through VTK's readers, OFF
// read here. Polygons are split into triangle fans; the coincident corners of an STL file's
// triangles, and the vertices a glTF file splits along seams, are merged into shared vertices.

struct TriangleMeshData {
    std::vector<Vec3f> vertices;
    std::vector<std::array<int, 3>> triangles;  // 0-based vertex indices, all in range
};

// The lower-case extension of path without its dot ("ply"), empty when there is none.
std::string meshFileExtension(const std::string& path);

// True for the extensions readMeshFile reads.
bool isOtherMeshFormat(const std::string& extension);

// Reads a PLY, STL, OFF, glTF or GLB file by its extension. Returns an empty string on success, otherwise the
// reason (unreadable file, a malformed OFF line with its number, an index out of range, no vertices).
std::string readMeshFile(const std::string& path, TriangleMeshData& mesh);

}  // namespace veltrix
