#pragma once

namespace veltrix {

// Wavefront OBJ reader with material libraries: plain records, C allocation, two passes over the
// file (count, then fill). Polygons are split into triangle fans. Knows nothing of shapes.

struct ObjTriangle {
    // 1-based indices into the model's lists; negative (relative) indices of the file are resolved.
    int vindices[3];  // vertex indices, always in range
    int nindices[3];  // normal indices; 0 when the face format gives none
    int tindices[3];  // texture coordinate indices; 0 when not given
    int findex;       // 1-based facet normal index, set by objFacetNormals
};

struct ObjGroup {
    char* name;                 // owned; keeps the blanks that followed the keyword
    unsigned int numtriangles;
    unsigned int* triangles;    // owned, 0-based triangle indices
    unsigned int material;      // material index
    ObjGroup* next;
};

struct ObjMaterial {
    char* name;  // owned or null
    float diffuse[4];
    float ambient[4];
    float specular[4];
    float emissive[4];
    float shininess;
};

struct ObjModel {
    char* pathname;    // owned copy of the path given to objRead
    char* mtllibname;  // owned or null

    unsigned int numvertices;
    float* vertices;  // 3 * (numvertices + 1); vertex k (1-based) at 3k, entry 0 unused

    unsigned int numnormals;
    float* normals;  // 3 * (numnormals + 1), 1-based, or null

    unsigned int numtexcoords;
    float* texcoords;  // 2 * (numtexcoords + 1), 1-based, or null

    unsigned int numfacetnorms;
    float* facetnorms;  // 3 * (numfacetnorms + 1), 1-based unit normal per triangle, or null

    unsigned int numtriangles;
    ObjTriangle* triangles;  // 0-based

    unsigned int nummaterials;
    ObjMaterial* materials;  // material 0 is "default"; null without a library

    unsigned int numgroups;
    ObjGroup* groups;  // newest first

    float position[3];
};

// Reads an OBJ file. A file that cannot be opened, an unknown word beginning with v, or a face
// index that names no vertex, normal or texture coordinate of the file (the message gives the file
// and line) prints a message and gives null. A material library that cannot be opened is only a
// warning: the model then has no materials. Owned by the caller; release with objDelete.
// Memory exhaustion throws std::bad_alloc.
ObjModel* objRead(const char* path);
// One unit normal per triangle into facetnorms (replacing earlier ones); triangle i gets findex
// i + 1. A triangle naming a vertex outside the model gets a zero normal.
void objFacetNormals(ObjModel* model);
void objDelete(ObjModel* model);

// The passes, exposed for testing.
ObjGroup* objFindGroup(ObjModel* model, const char* name);
ObjGroup* objAddGroup(ObjModel* model, const char* name);
unsigned int objFindMaterial(ObjModel* model, const char* name);

}  // namespace veltrix
