#pragma once
#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "spatial/FeatureSetANN.h"
#include "spatial/PointSetANN.h"
#include "geometry/PrincipalFrames.h"
#include "geometry/SpinImages.h"
#include "core/Vec3f.h"

namespace veltrix {

class Mesh3_real;

// Per-vertex status values of ShapeModel::vertexStatus.
enum VertexStatus { STATUS_INTERIOR = 0, STATUS_BOUNDARY = 1, STATUS_ISOLATED = 2 };

// Three 0-based vertex indices.
typedef std::array<int, 3> Triangle;

// A shape: vertices with unit normals, per-vertex status, multi-scale principal frames, features,
// spin images and the file names under which it and its preprocessing data are stored. Frames,
// features, spin images and sub-samples are computed by the free functions of PrincipalFrames.h,
// Features.h, SpinImages.h and Sampling.h.
// A plain ShapeModel (kind 1) is a point set, such as a sub-sample; Mesh3_real (kind 0) is a mesh.
class ShapeModel {
public:
    int kind;          // 0 triangle mesh, 1 point set
    bool isRelative;   // relDir is relative to baseDir
    PointSetANN vertices;  // positions; index = vertex number
    PointSetANN normals;   // one unit normal per vertex once computeNormals has run
    Vec3f boundingBoxMin;
    Vec3f boundingBoxMax;
    std::vector<std::vector<PrincipalFrame>> frames;  // [vertex][scale]
    std::unique_ptr<FeatureSetANN> features;          // one vector per vertex, or null
    std::vector<float> scales;                        // squared radii of the frame scales
    std::vector<float> featureScales;                 // one scale (squared radius) per feature component
    std::vector<int> vertexStatus;                    // VertexStatus, one per vertex
    SpinImageStack spinImages;
    std::string baseDir;           // root directory, ends in "/" once set
    std::string relDir;            // directory of the shape file, ends in "/" unless empty
    std::string preprocessingDir;  // "preprocessing/"
    std::string fileName;          // file name without directory
    float meshResolution;          // unit length of the spin-image bins (model units)

    explicit ShapeModel(int shapeKind = 1);
    // Copies every field; the feature set is copied too (never shared).
    ShapeModel(const ShapeModel& other);
    ShapeModel& operator=(const ShapeModel& other) = delete;
    virtual ~ShapeModel();

    // ---- virtual operations (fixed order) ----

    // A copy tagged "copy" (deriveFileName). Owned by the caller.
    virtual ShapeModel* clone() const;
    // False when the geometry could not be read (the reader has printed why); the shape is unchanged.
    virtual bool loadGeometry();
    virtual void computeNormals(bool force);
    // Nearest vertex: (index, Euclidean distance); (0, +infinity) when there are no vertices.
    virtual std::pair<int, float> closestVertex(const Vec3f& point);
    // The same, searched from a vertex likely near the point (the answer of a neighbouring query):
    // cheaper, same answer.
    std::pair<int, float> closestVertex(const Vec3f& point, int hint);
    // Nearest vertex, or at a boundary vertex the projection onto its tangent plane. Returns the
    // nearest vertex's index as closestVertex does, so callers need not search twice.
    virtual int closestSurfacePoint(const Vec3f& point, Vec3f& position, float& distance);
    // The following three return the squared distance, or 3.4028235e38 (writing nothing) when
    // there are no vertices.
    virtual float closestVertexIndex(const Vec3f& point, int& index);
    // Copies the vertex position and its frame at the last scale (the shape must have frames).
    virtual float closestVertexFrame(const Vec3f& point, Vec3f& position, PrincipalFrame& frame);
    virtual float closestPoint(const Vec3f& point, Vec3f& position);

    // ---- distances to the surface ----

    // Given triangles, closestSurfacePoint and closestDistance measure to the nearest point of the
    // triangles around the nearest vertex instead of to the vertex: distances that do not grow
    // with the spacing of the vertices, so that shapes triangulated differently compare fairly.
    // An empty list measures to vertices again.
    void measureToTriangles(const std::vector<Triangle>& triangles);
    bool measuresToTriangles() const { return !ringStart_.empty(); }
    // Distance from p to the triangles around vertex v, the nearest point to *nearest; without
    // triangles around v, the distance to v. Safe to call from several threads.
    float distanceAround(const Vec3f& p, int v, Vec3f* nearest = nullptr) const;
    // The nearest vertex, and the distance to the surface there (closestVertex's answer unless
    // measuring to triangles).
    std::pair<int, float> closestDistance(const Vec3f& point);
    std::pair<int, float> closestDistance(const Vec3f& point, int hint);
    // closestDistance(point).second < distance, answered without a full nearest search when some
    // vertex lies clearly inside the distance or (measuring to vertices) none lies near it. A hint
    // (in and out, -1 none) remembers a vertex found inside, to be tried first by a similar query.
    bool closerThan(const Vec3f& point, float distance, int* hint = nullptr);
    // Drawing is done by the viewers (ShapeDrawing.h), which keeps OpenGL out of this library.
    // Point set: positions of randomly drawn vertices (every vertex once when count <= 0 or
    // count >= vertexCount()). Mesh: area-weighted evenly spread surface points.
    virtual void randomSurfaceSample(int count, PointSetANN& out);

    // ---- file names (ShapeModel.cpp) ----

    // Splits path into relDir and fileName; relDir is made relative to baseDir when it lies below it.
    void setFileName(const std::string& path, const std::string& baseDir);
    std::string fullPath() const;     // baseDir + relDir + fileName (relDir + fileName if not relative)
    std::string displayPath() const;  // relDir + fileName
    // Preprocessing files: baseDir + preprocessingDir + relDir + stem + suffix. Creates the directory.
    std::string framesPath() const;
    std::string featuresPath() const;
    std::string spinImagesPath() const;
    // Renames the shape to stem_tag.ext (or stem_tagN.ext) so that neither the shape file nor its
    // frames or features file exists.
    void deriveFileName(const std::string& tag);

    int vertexCount() const { return vertices.size(); }
    void printInfo() const;

    // Hash of the vertex positions and normals, which every cached result depends on: a cache
    // file records the key it was computed for and is recomputed when the shape's key differs.
    uint64_t geometryKey() const;

    // count draws in [0, n) from the shared generator for 0 < count < n; else 0 .. n-1 in order.
    // randomSurfaceSample and subSample use it.
    static std::vector<int> randomIndices(int count, int n);

protected:
    std::string preprocessingFilePath(const std::string& suffix) const;

private:
    // The triangles around vertex v: ringTriangles_[ringStart_[v] .. ringStart_[v + 1]).
    std::vector<int> ringStart_;
    std::vector<Triangle> ringTriangles_;
};

// An undirected mesh edge: its end vertices, the triangle that created it and the other triangle
// sharing it (0 while there is none; triangle 0 is never a second face).
struct MeshEdge {
    int firstVertex;
    int secondVertex;
    int firstFace;
    int secondFace;
    bool isBoundary() const { return secondFace == 0; }
};

// Undirected edges of a mesh with per-vertex adjacency.
class EdgeList {
public:
    explicit EdgeList(Mesh3_real* owner) : mesh(owner) {}

    Mesh3_real* mesh;  // owner; source of the faces and the vertex count
    std::vector<MeshEdge> edges;
    // adjacency[v] = (neighbour vertex, edge index) pairs; every edge is listed at both ends.
    std::vector<std::vector<std::pair<int, int>>> adjacency;

    // Rebuilds edges and adjacency from the mesh's faces. Throws EdgeListError when an edge is
    // found in one direction only (an inconsistent mesh).
    void createEdgeList();
};

// The edge list of a mesh came out inconsistent; what() names the operation and the fault.
class EdgeListError : public std::logic_error {
public:
    explicit EdgeListError(const char* message) : std::logic_error(message) {}
};

// A triangle-mesh shape read from an OBJ file.
class Mesh3_real : public ShapeModel {
public:
    std::vector<Triangle> faces;              // 0-based vertex indices
    std::vector<Triangle> faceNormalIndices;  // per corner, 0-based normal index read from the file
    std::unique_ptr<EdgeList> edgeList;       // filled by detectBoundary

    Mesh3_real();
    // Copies every field; the copy gets its own edge list referring to itself.
    Mesh3_real(const Mesh3_real& other);
    ~Mesh3_real() override;

    Mesh3_real* clone() const override;
    // Reads fullPath() as OBJ; false, with the reader's message, when it cannot be read.
    bool loadGeometry() override;
    // Vertex normals from face normals weighted per corner by the inverse product of the squared
    // lengths of its two edges. Vertices without a finite normal become STATUS_ISOLATED.
    void computeNormals(bool force) override;
    // Area-weighted dart throwing: count points about sqrt(area / (count * pi)) apart. Fewer points
    // when the candidates run out. Reseeds the shared generator with the current time.
    void randomSurfaceSample(int count, PointSetANN& out) override;

    // Rebuilds the edge list and marks the ends of edges with one face STATUS_BOUNDARY.
    void detectBoundary();
    // Writes vertices and faces to fullPath(); never overwrites an existing file.
    void writeGeometryOBJ();
};

// The per-vertex description loading computes. The parameter file codes it as the int 1 to 5;
// other codes compute no feature.
enum class FeatureType : int {
    Curvatures = 1,      // copyCurvatureFeatures
    CurvatureRatio = 2,  // curvatureRatioFeatures
    CurvatureNorm = 3,   // curvatureNormFeatures
    MeanCurvature = 4,   // meanCurvatureFeatures
    SpinImages = 5,      // computeSpinImages, no feature
};

// What loading computes for a mesh, in the shape's own units: squared frame radii, the feature
// chosen by featureType with its squared mean-curvature radii and search error bound, the
// spin-image settings, and the mesh resolution.
struct PreprocessOptions {
    std::vector<float> frameRadiiSquared;
    int frameMaxNeighbours = 0;  // 0: the whole ball
    FeatureType featureType = FeatureType::Curvatures;
    std::vector<float> meanCurvatureRadiiSquared;
    double featureEpsilon = 0.0;
    float binSizeMultiple = 1.0f;
    int imageWidth = 15;
    float maxSupportAngle = 60.0f;
    float meshResolution = 0.01f;
};

// Reads a mesh (setFileName, loadGeometry, normals, boundary); with preprocess also frames, features
// and spin images as the options say. Null when the file cannot be read.
Mesh3_real* loadMeshShape(const std::string& path, const std::string& baseDir,
                          const PreprocessOptions& options, bool preprocess);

}  // namespace veltrix
