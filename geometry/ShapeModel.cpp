#include "geometry/ShapeModel.h"
#include "core/Log.h"
#include "geometry/CacheFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>

#include "geometry/MeshFormats.h"
#include "geometry/ObjReader.h"
#include "core/Random.h"
#include "geometry/TriangleDistance.h"

namespace veltrix {

static const float kMaxFloat = 3.4028235e38f;

// ---------------------------------------------------------------------------------------------
// ShapeModel

ShapeModel::ShapeModel(int shapeKind)
    : kind(shapeKind),
      isRelative(true),
      boundingBoxMin(0.0f, 0.0f, 0.0f),
      boundingBoxMax(0.0f, 0.0f, 0.0f),
      preprocessingDir("preprocessing/"),
      meshResolution(0.0f) {}

ShapeModel::ShapeModel(const ShapeModel& other)
    : kind(other.kind),
      isRelative(other.isRelative),
      vertices(other.vertices),
      normals(other.normals),
      boundingBoxMin(other.boundingBoxMin),
      boundingBoxMax(other.boundingBoxMax),
      frames(other.frames),
      features(other.features ? new FeatureSetANN(*other.features) : nullptr),
      scales(other.scales),
      featureScales(other.featureScales),
      vertexStatus(other.vertexStatus),
      spinImages(other.spinImages),
      baseDir(other.baseDir),
      relDir(other.relDir),
      preprocessingDir(other.preprocessingDir),
      fileName(other.fileName),
      meshResolution(other.meshResolution),
      ringStart_(other.ringStart_),
      ringTriangles_(other.ringTriangles_) {}

ShapeModel::~ShapeModel() = default;

ShapeModel* ShapeModel::clone() const {
    ShapeModel* copy = new ShapeModel(*this);
    copy->deriveFileName("copy");
    return copy;
}

bool ShapeModel::loadGeometry() { return true; }

uint64_t ShapeModel::geometryKey() const {
    const std::vector<Vec3f>& p = vertices.points();
    const std::vector<Vec3f>& n = normals.points();
    const int32_t counts[2] = {int32_t(p.size()), int32_t(n.size())};
    uint64_t key = hashBytes(kHashSeed, counts, sizeof counts);
    for (const Vec3f& v : p) key = hashBytes(key, &v.x, 3 * sizeof(float));
    for (const Vec3f& v : n) key = hashBytes(key, &v.x, 3 * sizeof(float));
    return key;
}

void ShapeModel::computeNormals(bool) {}

namespace {
// Buffers of the one-nearest queries, one pair per thread, so a query allocates nothing.
thread_local std::vector<int> nearestIndex;
thread_local std::vector<float> nearestDistance;
}  // namespace

std::pair<int, float> ShapeModel::closestVertex(const Vec3f& point) {
    vertices.knnQuery(point, 1, nearestIndex, nearestDistance, true);
    if (nearestIndex.empty()) return std::make_pair(0, std::numeric_limits<float>::infinity());
    return std::make_pair(nearestIndex[0], nearestDistance[0]);
}

std::pair<int, float> ShapeModel::closestVertex(const Vec3f& point, int hint) {
    vertices.knnQuery(point, 1, nearestIndex, nearestDistance, true, hint);
    if (nearestIndex.empty()) return std::make_pair(0, std::numeric_limits<float>::infinity());
    return std::make_pair(nearestIndex[0], nearestDistance[0]);
}

int ShapeModel::closestSurfacePoint(const Vec3f& point, Vec3f& position, float& distance) {
    std::pair<int, float> nearest = closestVertex(point);
    const int v = nearest.first;
    if (v >= vertexCount()) {  // no vertices
        distance = nearest.second;
        return v;
    }
    if (measuresToTriangles()) {
        distance = distanceAround(point, v, &position);
        return v;
    }
    const Vec3f& p = vertices.point(v);
    const bool boundary = v < static_cast<int>(vertexStatus.size()) && vertexStatus[v] == STATUS_BOUNDARY;
    if (!boundary || v >= normals.size()) {
        position = p;
        distance = nearest.second;
        return v;
    }
    // Boundary vertices stand for the surface beyond them: project onto the tangent plane.
    const Vec3f& n = normals.point(v);
    const float d = n.dot(point - p);
    position = point - d * n;
    distance = std::fabs(d);
    return v;
}

void ShapeModel::measureToTriangles(const std::vector<Triangle>& triangles) {
    ringStart_.clear();
    ringTriangles_.clear();
    const int n = vertexCount();
    if (triangles.empty() || n == 0) return;
    ringStart_.assign(std::size_t(n) + 1, 0);
    for (const Triangle& t : triangles)
        for (int c : t)
            if (c >= 0 && c < n) ++ringStart_[std::size_t(c) + 1];
    for (int v = 0; v < n; ++v) ringStart_[std::size_t(v) + 1] += ringStart_[std::size_t(v)];
    ringTriangles_.resize(std::size_t(ringStart_.back()));
    std::vector<int> next(ringStart_.begin(), ringStart_.end() - 1);
    for (const Triangle& t : triangles)
        for (int c : t)
            if (c >= 0 && c < n) ringTriangles_[std::size_t(next[std::size_t(c)]++)] = t;
}

float ShapeModel::distanceAround(const Vec3f& p, int v, Vec3f* nearest) const {
    const Vec3f& at = vertices.point(v);
    float best = (p - at).squaredLength();
    if (nearest) *nearest = at;
    if (std::size_t(v) + 1 < ringStart_.size()) {
        const int n = vertexCount();
        for (int i = ringStart_[std::size_t(v)]; i < ringStart_[std::size_t(v) + 1]; ++i) {
            const Triangle& t = ringTriangles_[std::size_t(i)];
            if (t[0] < 0 || t[1] < 0 || t[2] < 0 || t[0] >= n || t[1] >= n || t[2] >= n) continue;
            Vec3f q;
            const float d = pointTriangleSquaredDistance(p, vertices.point(t[0]), vertices.point(t[1]),
                                                         vertices.point(t[2]), &q);
            if (d < best) {
                best = d;
                if (nearest) *nearest = q;
            }
        }
    }
    return std::sqrt(best);
}

std::pair<int, float> ShapeModel::closestDistance(const Vec3f& point) {
    std::pair<int, float> c = closestVertex(point);
    if (measuresToTriangles() && c.first < vertexCount()) c.second = distanceAround(point, c.first);
    return c;
}

std::pair<int, float> ShapeModel::closestDistance(const Vec3f& point, int hint) {
    std::pair<int, float> c = closestVertex(point, hint);
    if (measuresToTriangles() && c.first < vertexCount()) c.second = distanceAround(point, c.first);
    return c;
}

bool ShapeModel::closerThan(const Vec3f& point, float distance, int* hint) {
    // The distances compared are floats rounded from double square roots: a margin of a millionth
    // keeps both shortcuts on the right side of that rounding; the rest is measured.
    const double d = distance;
    if (d > 0.0 && std::isfinite(d) && point.isFinite()) {
        int found = -1;
        if (vertices.anyWithin(point, d * d * (1.0 - 4e-6), &found, hint ? *hint : -1)) {
            if (hint) *hint = found;
            return true;
        }
        if (!measuresToTriangles() && !vertices.anyWithin(point, d * d * (1.0 + 4e-6))) return false;
    }
    return closestDistance(point).second < distance;
}

float ShapeModel::closestVertexIndex(const Vec3f& point, int& index) {
    vertices.knnQuery(point, 1, nearestIndex, nearestDistance, true);
    if (nearestIndex.empty()) return kMaxFloat;
    index = nearestIndex[0];
    return nearestDistance[0] * nearestDistance[0];
}

float ShapeModel::closestVertexFrame(const Vec3f& point, Vec3f& position, PrincipalFrame& frame) {
    vertices.knnQuery(point, 1, nearestIndex, nearestDistance, true);
    if (nearestIndex.empty()) return kMaxFloat;
    const int v = nearestIndex[0];
    position = vertices.point(v);
    if (v < static_cast<int>(frames.size()) && !frames[v].empty()) {
        frame = frames[v].back();
    } else {
        frame = PrincipalFrame();
    }
    return nearestDistance[0] * nearestDistance[0];
}

float ShapeModel::closestPoint(const Vec3f& point, Vec3f& position) {
    vertices.knnQuery(point, 1, nearestIndex, nearestDistance, true);
    if (nearestIndex.empty()) return kMaxFloat;
    position = vertices.point(nearestIndex[0]);
    return nearestDistance[0] * nearestDistance[0];
}

std::vector<int> ShapeModel::randomIndices(int count, int n) {
    std::vector<int> indices;
    if (n <= 0) return indices;
    if (count > 0 && count < n) {
        indices.reserve(count);
        for (int i = 0; i < count; ++i) {
            const uint32_t r = randomU32();
            int k = static_cast<int>(std::floor(static_cast<double>(n) * r / 4294967295.0));
            if (k >= n) k = n - 1;
            indices.push_back(k);
        }
    } else {
        indices.resize(n);
        for (int i = 0; i < n; ++i) indices[i] = i;
    }
    return indices;
}

void ShapeModel::randomSurfaceSample(int count, PointSetANN& out) {
    out.clear();
    for (int v : randomIndices(count, vertexCount())) out.addPoint(vertices.point(v));
}

// ---------------------------------------------------------------------------------------------
// File names

// The part of a file name before its extension (".obj"); a name without one is its own stem.
static void splitExtension(const std::string& fileName, std::string& stem, std::string& ext) {
    // The extension follows the last dot and holds at least one character but no separator.
    const size_t dot = fileName.rfind('.');
    if (dot != std::string::npos && dot + 1 < fileName.size() &&
        fileName.find_first_of("/\\", dot + 1) == std::string::npos) {
        stem = fileName.substr(0, dot);
        ext = fileName.substr(dot);
    } else {
        stem = fileName;
        ext.clear();
    }
}

void ShapeModel::setFileName(const std::string& path, const std::string& base) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    baseDir = base;
    std::replace(baseDir.begin(), baseDir.end(), '\\', '/');
    // An empty root means the current directory; "/" would put caches at the file-system root.
    if (!baseDir.empty() && baseDir.back() != '/') baseDir += '/';

    const size_t slash = p.rfind('/');
    if (slash != std::string::npos && slash + 1 < p.size()) {
        relDir = p.substr(0, slash + 1);
        fileName = p.substr(slash + 1);
    } else if (p.find('/') == std::string::npos) {
        // A bare name is a file in the current directory.
        relDir.clear();
        fileName = p;
    } else {
        // A directory: no file name.
        relDir = p;
        fileName.clear();
    }

    if (relDir.compare(0, baseDir.size(), baseDir) == 0) {
        relDir.erase(0, baseDir.size());
        isRelative = true;
    } else {
        isRelative = false;
    }
}

std::string ShapeModel::fullPath() const {
    return isRelative ? baseDir + relDir + fileName : relDir + fileName;
}

std::string ShapeModel::displayPath() const { return relDir + fileName; }

std::string ShapeModel::preprocessingFilePath(const std::string& suffix) const {
    const std::string directory = baseDir + preprocessingDir + relDir;
    std::error_code error;
    if (directory.empty() || (!std::filesystem::create_directories(directory, error) &&
                              !std::filesystem::is_directory(directory, error))) {
        logErr() << "Could not make path: " << directory << std::endl;
    }
    std::string stem, ext;
    splitExtension(fileName, stem, ext);
    return directory + stem + suffix;
}

std::string ShapeModel::framesPath() const { return preprocessingFilePath("-frames.data"); }
std::string ShapeModel::featuresPath() const { return preprocessingFilePath("-features.data"); }
std::string ShapeModel::spinImagesPath() const { return preprocessingFilePath("-spinImages.data"); }

// Something is there (a link counts when its target exists).
static bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

void ShapeModel::deriveFileName(const std::string& tag) {
    std::string stem, ext;
    splitExtension(fileName, stem, ext);
    for (long i = 0;; ++i) {
        const std::string t = i == 0 ? tag : tag + std::to_string(i);
        fileName = stem + "_" + t + ext;
        if (!fileExists(fullPath()) && !fileExists(framesPath()) && !fileExists(featuresPath())) break;
    }
    logOut() << "new filename: " << fileName << std::endl;
}

void ShapeModel::printInfo() const {
    logOut() << "*** Filename: " << displayPath() << std::endl;
    logOut() << "*** Number of vertices: " << vertexCount() << std::endl;
    if (kind == 0) {
        const Mesh3_real* mesh = dynamic_cast<const Mesh3_real*>(this);
        logOut() << "*** Number of faces: " << (mesh ? mesh->faces.size() : 0) << std::endl;
    }
    logOut() << "*** Bounding box diagonal length: " << (boundingBoxMax - boundingBoxMin).length() << std::endl;
}

// ---------------------------------------------------------------------------------------------
// EdgeList

void EdgeList::createEdgeList() {
    edges.clear();
    adjacency.clear();
    if (!mesh) return;
    const int n = mesh->vertexCount();
    adjacency.resize(n);

    auto findNeighbor = [this](int p, int q) -> int {
        for (const std::pair<int, int>& a : adjacency[p]) {
            if (a.first == q) return a.second;
        }
        return -1;
    };

    const std::vector<Triangle>& faces = mesh->faces;
    for (size_t i = 0; i < faces.size(); ++i) {
        const Triangle& t = faces[i];
        if (t[0] < 0 || t[1] < 0 || t[2] < 0 || t[0] >= n || t[1] >= n || t[2] >= n) continue;
        const int sides[3][2] = {{t[0], t[1]}, {t[0], t[2]}, {t[1], t[2]}};
        for (const auto& side : sides) {
            for (int direction = 0; direction < 2; ++direction) {
                const int p = direction == 0 ? side[0] : side[1];
                const int q = direction == 0 ? side[1] : side[0];
                const int found = findNeighbor(p, q);
                if (found >= 0) {
                    edges[found].secondFace = static_cast<int>(i);
                    continue;
                }
                int edge;
                if (direction == 0) {
                    edges.push_back(MeshEdge{p, q, static_cast<int>(i), 0});
                    edge = static_cast<int>(edges.size()) - 1;
                } else {
                    edge = findNeighbor(q, p);
                    if (edge < 0) throw EdgeListError("createEdgeList(): Reverse edge not found in adjList!");
                }
                adjacency[p].push_back(std::make_pair(q, edge));
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Mesh3_real

Mesh3_real::Mesh3_real() : ShapeModel(0), edgeList(new EdgeList(this)) {}

Mesh3_real::Mesh3_real(const Mesh3_real& other)
    : ShapeModel(other),
      faces(other.faces),
      faceNormalIndices(other.faceNormalIndices),
      edgeList(new EdgeList(this)) {
    if (other.edgeList) {
        edgeList->edges = other.edgeList->edges;
        edgeList->adjacency = other.edgeList->adjacency;
    }
}

Mesh3_real::~Mesh3_real() = default;

Mesh3_real* Mesh3_real::clone() const {
    Mesh3_real* copy = new Mesh3_real(*this);
    copy->deriveFileName("copy");
    return copy;
}

namespace {
// A mesh read from a PLY, STL or OFF file; its normals are left to computeNormals.
void setTriangleMesh(Mesh3_real& mesh, const TriangleMeshData& data) {
    const int n = static_cast<int>(data.vertices.size());
    mesh.vertices.clear();
    mesh.normals.clear();
    mesh.vertices.resize(n);
    mesh.vertexStatus.assign(n, STATUS_INTERIOR);
    mesh.boundingBoxMin = Vec3f(kMaxFloat, kMaxFloat, kMaxFloat);
    mesh.boundingBoxMax = Vec3f(-kMaxFloat, -kMaxFloat, -kMaxFloat);
    for (int i = 0; i < n; ++i) {
        const Vec3f& p = data.vertices[static_cast<size_t>(i)];
        mesh.vertices.point(i) = p;
        for (int c = 0; c < 3; ++c) {
            mesh.boundingBoxMin[c] = std::min(mesh.boundingBoxMin[c], p[c]);
            mesh.boundingBoxMax[c] = std::max(mesh.boundingBoxMax[c], p[c]);
        }
    }
    mesh.faces = data.triangles;
    mesh.faceNormalIndices.clear();
}
}  // namespace

bool Mesh3_real::loadGeometry() {
    const std::string path = fullPath();
    const std::string extension = meshFileExtension(path);
    if (isOtherMeshFormat(extension)) {
        TriangleMeshData data;
        const std::string why = readMeshFile(path, data);
        if (!why.empty()) {
            logErr() << "Error in Mesh3_real::loadGeometry(): cannot read " << path << ": " << why << "." << std::endl;
            return false;
        }
        setTriangleMesh(*this, data);
        return true;
    }
    if (extension != "obj") {
        logErr() << "Error in Mesh3_real::loadGeometry(): cannot read " << path << ": "
                 << (extension.empty() ? std::string("no file extension")
                                       : "unknown shape format \"" + extension + "\"")
                 << " (OBJ, PLY, OFF and STL files are read)." << std::endl;
        return false;
    }
    ObjModel* model = objRead(path.c_str());
    if (!model) return false;

    const bool facetNormals = model->numnormals == 0;
    if (facetNormals) objFacetNormals(model);
    const float* sourceNormals = facetNormals ? model->facetnorms : model->normals;
    const unsigned int normalCount = facetNormals ? model->numfacetnorms : model->numnormals;

    const int n = static_cast<int>(std::min<unsigned int>(model->numvertices, INT32_MAX));
    vertices.clear();
    normals.clear();
    vertices.resize(n);
    normals.resize(static_cast<int>(std::min<unsigned int>(normalCount, INT32_MAX)));
    vertexStatus.assign(n, STATUS_INTERIOR);

    boundingBoxMin = Vec3f(kMaxFloat, kMaxFloat, kMaxFloat);
    boundingBoxMax = Vec3f(-kMaxFloat, -kMaxFloat, -kMaxFloat);
    for (int i = 0; i < n; ++i) {
        const float* v = &model->vertices[3 * (static_cast<size_t>(i) + 1)];
        Vec3f& p = vertices.point(i);
        for (int c = 0; c < 3; ++c) {
            p[c] = v[c];
            if (v[c] < boundingBoxMin[c]) boundingBoxMin[c] = v[c];
            if (v[c] > boundingBoxMax[c]) boundingBoxMax[c] = v[c];
        }
    }
    for (int i = 0; i < normals.size(); ++i) {
        const float* v = &sourceNormals[3 * (static_cast<size_t>(i) + 1)];
        normals.point(i) = Vec3f(v[0], v[1], v[2]);
    }

    // Triangles naming a vertex outside the file are dropped; the others keep their order.
    faces.resize(model->numtriangles);
    faceNormalIndices.resize(model->numtriangles);
    size_t kept = 0;
    for (unsigned int i = 0; i < model->numtriangles; ++i) {
        const ObjTriangle& t = model->triangles[i];
        bool inRange = true;
        for (int k = 0; k < 3; ++k) {
            const int64_t v = static_cast<int64_t>(t.vindices[k]) - 1;
            if (v < 0 || v >= n) inRange = false;
        }
        if (!inRange) continue;
        for (int k = 0; k < 3; ++k) {
            faces[kept][k] = t.vindices[k] - 1;
            faceNormalIndices[kept][k] =
                facetNormals ? static_cast<int>(i) : static_cast<int>(static_cast<int64_t>(t.nindices[k]) - 1);
        }
        ++kept;
    }
    faces.resize(kept);
    faceNormalIndices.resize(kept);

    objDelete(model);
    return true;
}

void Mesh3_real::computeNormals(bool force) {
    const int n = vertexCount();
    if (!force && normals.size() == n) return;

    logOut() << "*** Computing normals on triangle mesh..." << std::flush;
    normals.clear();
    normals.resize(n);
    if (static_cast<int>(vertexStatus.size()) != n) vertexStatus.resize(n, STATUS_INTERIOR);

    // A corner's share is the face normal over the product of its two edges' squared lengths.
    // Shares of degenerate triangles (a zero-length edge) are not finite and are left out, so only
    // a vertex with no proper triangle ends without a normal.
    auto add = [this](int v, const Vec3f& share) {
        if (share.isFinite()) normals.point(v) += share;
    };
    for (const Triangle& t : faces) {
        if (t[0] < 0 || t[1] < 0 || t[2] < 0 || t[0] >= n || t[1] >= n || t[2] >= n) continue;
        const Vec3f& A = vertices.point(t[0]);
        const Vec3f& B = vertices.point(t[1]);
        const Vec3f& C = vertices.point(t[2]);
        const Vec3f e1 = B - A, e2 = C - A, e3 = C - B;
        const Vec3f normal = e1.cross(e2);
        const float l1 = e1.squaredLength(), l2 = e2.squaredLength(), l3 = e3.squaredLength();
        add(t[0], normal / (l1 * l2));
        add(t[1], normal / (l1 * l3));
        add(t[2], normal / (l3 * l2));
    }

    int isolated = 0;
    for (int i = 0; i < n; ++i) {
        Vec3f& normal = normals.point(i);
        normal = normal / normal.length();
        if (!normal.isFinite()) {
            vertexStatus[i] = STATUS_ISOLATED;
            ++isolated;
        }
    }
    logOut() << " done!" << std::endl;
    logOut() << "****** Number of isolated vertices (no adjacent triangles): " << isolated << std::endl;
}

void Mesh3_real::detectBoundary() {
    if (!edgeList) edgeList.reset(new EdgeList(this));
    edgeList->mesh = this;
    edgeList->createEdgeList();
    const int n = vertexCount();
    if (static_cast<int>(vertexStatus.size()) != n) vertexStatus.resize(n, STATUS_INTERIOR);
    int boundaryEdges = 0;
    for (const MeshEdge& e : edgeList->edges) {
        if (!e.isBoundary()) continue;
        vertexStatus[e.firstVertex] = STATUS_BOUNDARY;
        vertexStatus[e.secondVertex] = STATUS_BOUNDARY;
        ++boundaryEdges;
    }
    logOut() << "****** Number of boundary edges detected: " << boundaryEdges << std::endl;
}

void Mesh3_real::writeGeometryOBJ() {
    const std::string path = fullPath();
    if (fileExists(path)) {
        logErr() << "Error in Mesh3_real::writeGeometryOBJ(): File " << path << " already exists." << std::endl;
        return;
    }
    // "x": create only, so a file that appeared since the test is not overwritten either.
    FILE* file = std::fopen(path.c_str(), "wx");
    if (!file) {
        if (errno == EEXIST) {
            logErr() << "Error in Mesh3_real::writeGeometryOBJ(): File " << path << " already exists." << std::endl;
        } else {
            logErr() << "Error in Mesh3_real::writeGeometryOBJ(): Could not open output file " << path
                      << " for writing!" << std::endl;
        }
        return;
    }
    logOut() << "Saving vertex and triangle data in " << path << " ..." << std::flush;
    // "%g" is the stream's default real-number form: six significant digits.
    for (const Vec3f& v : vertices.points()) {
        std::fprintf(file, "v %g %g %g\n", static_cast<double>(v.x), static_cast<double>(v.y),
                     static_cast<double>(v.z));
    }
    std::fputs("g foo\n", file);
    for (const Triangle& t : faces) std::fprintf(file, "f %d %d %d\n", t[0] + 1, t[1] + 1, t[2] + 1);
    std::fputs("g\n", file);
    if (std::fclose(file) != 0) {
        logErr() << "Error in Mesh3_real::writeGeometryOBJ(): Could not open output file " << path
                  << " for writing!" << std::endl;
        return;
    }
    logOut() << "...done!" << std::endl;
}

// Order-statistics over the candidates still in play (a Fenwick tree of 0/1 counts), so that
// "the k-th remaining candidate" is found without compacting the candidate list.
class RemainingCandidates {
public:
    explicit RemainingCandidates(int n) : tree_(n + 1, 0), alive_(n, 1), count_(n) {
        for (int i = 1; i <= n; ++i) {
            tree_[i] += 1;
            const int parent = i + (i & -i);
            if (parent <= n) tree_[parent] += tree_[i];
        }
    }
    int count() const { return count_; }
    bool alive(int i) const { return alive_[i] != 0; }
    void remove(int i) {
        if (!alive_[i]) return;
        alive_[i] = 0;
        --count_;
        for (int j = i + 1; j < static_cast<int>(tree_.size()); j += j & -j) tree_[j] -= 1;
    }
    // Original index of the k-th (0-based) remaining candidate.
    int kth(int k) const {
        int pos = 0;
        int step = 1;
        while (step * 2 < static_cast<int>(tree_.size())) step *= 2;
        int remaining = k + 1;
        for (; step > 0; step /= 2) {
            if (pos + step < static_cast<int>(tree_.size()) && tree_[pos + step] < remaining) {
                pos += step;
                remaining -= tree_[pos];
            }
        }
        return pos;  // 1-based position pos + 1 -> 0-based index pos
    }

private:
    std::vector<int> tree_;
    std::vector<char> alive_;
    int count_;
};

void Mesh3_real::randomSurfaceSample(int count, PointSetANN& out) {
    out.clear();
    const int n = vertexCount();

    std::vector<double> cdf;
    std::vector<int> triangleOf;
    cdf.reserve(faces.size());
    double total = 0.0;
    for (size_t i = 0; i < faces.size(); ++i) {
        const Triangle& t = faces[i];
        if (t[0] < 0 || t[1] < 0 || t[2] < 0 || t[0] >= n || t[1] >= n || t[2] >= n) continue;
        const Vec3f& A = vertices.point(t[0]);
        const float area = 0.5f * (vertices.point(t[1]) - A).cross(vertices.point(t[2]) - A).length();
        if (!(area > 0.0f) || !std::isfinite(area)) continue;
        total += area;
        cdf.push_back(total);
        triangleOf.push_back(static_cast<int>(i));
    }

    randomSeedWithTime();
    if (count <= 0 || cdf.empty() || !(total > 0.0)) return;
    for (double& c : cdf) c /= total;

    // Candidates: area-weighted points on the triangles.
    PointSetANN candidates;
    const long long candidateCount = 20LL * count;
    if (candidateCount > INT32_MAX) return;
    candidates.resize(static_cast<int>(candidateCount));
    for (int c = 0; c < candidates.size(); ++c) {
        const double u = randomUniform();
        size_t k = static_cast<size_t>(std::upper_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
        if (k >= cdf.size()) k = cdf.size() - 1;
        const Triangle& t = faces[triangleOf[k]];
        double s, r;
        do {
            s = randomUniform();
            r = randomUniform();
        } while (s + r > 1.0);
        const Vec3f& A = vertices.point(t[0]);
        candidates.point(c) = A + static_cast<float>(s) * (vertices.point(t[1]) - A) +
                              static_cast<float>(r) * (vertices.point(t[2]) - A);
    }

    // Dart throwing: pick a remaining candidate, drop every candidate within r of it. The tree is
    // built once over all candidates; removed ones are skipped through the remaining set, which
    // gives the same picks as erasing them and rebuilding.
    const float r2 = static_cast<float>(total / (count * 3.1415927));
    RemainingCandidates remaining(candidates.size());
    std::vector<int> indices;
    std::vector<float> distances;
    out.resize(count);
    int picked = 0;
    for (; picked < count && remaining.count() > 0; ++picked) {
        const int k = static_cast<int>(
            std::floor(static_cast<double>(randomU32()) * 2.3283064370807974e-10 * remaining.count()));
        const int c = remaining.kth(std::min(k, remaining.count() - 1));
        out.point(picked) = candidates.point(c);
        candidates.rangeQuery(candidates.point(c), r2, indices, distances, true);
        remaining.remove(c);
        for (int i : indices) remaining.remove(i);
    }
    // Too few candidates: the set holds the points picked so far.
    out.resize(picked);
}

}  // namespace veltrix
