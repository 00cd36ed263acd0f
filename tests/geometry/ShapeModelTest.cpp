#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "core/Log.h"
#include "MeshFixtures.h"
#include "core/Random.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Loads an OBJ text as the loader does, without preprocessing; console output is swallowed.
std::unique_ptr<Mesh3_real> loadObj(const std::string& dir, const std::string& name, const std::string& text) {
    writeText(dir + name, text);
    std::unique_ptr<Mesh3_real> mesh(new Mesh3_real());
    mesh->setFileName(dir + name, dir);
    mesh->loadGeometry();
    mesh->computeNormals(true);
    mesh->detectBoundary();
    return mesh;
}

std::string quiet(const std::function<void()>& f) {
    LogCapture log;
    f();
    return log.out();
}

}  // namespace

TEST(ShapeModelPaths, SetFileNameSplitsAndRelates) {
    ShapeModel s;
    s.setFileName("/data/shapes/horse/horse-01.obj", "/data/shapes");
    EXPECT_EQ(s.baseDir, "/data/shapes/");
    EXPECT_EQ(s.relDir, "horse/");
    EXPECT_EQ(s.fileName, "horse-01.obj");
    EXPECT_TRUE(s.isRelative);
    EXPECT_EQ(s.fullPath(), "/data/shapes/horse/horse-01.obj");
    EXPECT_EQ(s.displayPath(), "horse/horse-01.obj");

    s.setFileName("C:\\other\\cat.obj", "D:\\data\\");
    EXPECT_EQ(s.baseDir, "D:/data/");
    EXPECT_EQ(s.relDir, "C:/other/");
    EXPECT_FALSE(s.isRelative);
    EXPECT_EQ(s.fullPath(), "C:/other/cat.obj");

    // Back below the base: relative again.
    s.setFileName("D:/data/cat.obj", "D:/data");
    EXPECT_TRUE(s.isRelative);
    EXPECT_EQ(s.relDir, "");
    EXPECT_EQ(s.fullPath(), "D:/data/cat.obj");

    // A bare name is a file in the current directory.
    s.setFileName("bunny.obj", "/data");
    EXPECT_EQ(s.relDir, "");
    EXPECT_EQ(s.fileName, "bunny.obj");
    EXPECT_EQ(s.fullPath(), "bunny.obj");

    // An empty root stays empty: paths are then relative to the current directory.
    s.setFileName("shapes/bunny.obj", "");
    EXPECT_EQ(s.baseDir, "");
    EXPECT_TRUE(s.isRelative);
    EXPECT_EQ(s.fullPath(), "shapes/bunny.obj");
}

TEST(ShapeModelPaths, PreprocessingPathsCreateTheirDirectory) {
    const std::string base = makeTempDir("veltrix_paths_");
    ShapeModel s;
    s.setFileName(base + "seq/a.b.obj", base);
    const std::string dir = base + "preprocessing/seq/";
    EXPECT_FALSE(isDirectory(dir));
    EXPECT_EQ(s.framesPath(), dir + "a.b-frames.data");
    EXPECT_TRUE(isDirectory(dir));
    EXPECT_EQ(s.featuresPath(), dir + "a.b-features.data");
    EXPECT_EQ(s.spinImagesPath(), dir + "a.b-spinImages.data");

    // Not below the base: still under the base's preprocessing directory.
    s.setFileName("/elsewhere/x.obj", base);
    EXPECT_EQ(s.framesPath(), base + "preprocessing//elsewhere/x-frames.data");

    // A directory that cannot be made is reported; the path is returned all the same.
    writeText(base + "blocker", "");
    s.setFileName(base + "blocker/y.obj", base);
    s.preprocessingDir = "blocker/";
    s.relDir = "sub/";
    LogCapture log;
    EXPECT_EQ(s.framesPath(), base + "blocker/sub/y-frames.data");
    EXPECT_EQ(log.err(), "Could not make path: " + base + "blocker/sub/\n");
}

TEST(ShapeModelPaths, DeriveFileNameSkipsTakenNames) {
    const std::string base = makeTempDir("veltrix_derive_");
    ShapeModel s;
    s.setFileName(base + "bunny.obj", base);
    EXPECT_EQ(quiet([&] { s.deriveFileName("copy"); }), "new filename: bunny_copy.obj\n");

    // Taken by the shape file, then by a frames file, then by a features file.
    writeText(base + "bunny_copy.obj", "");
    writeText(base + "preprocessing/bunny_copy1-frames.data", "");
    writeText(base + "preprocessing/bunny_copy2-features.data", "");
    s.setFileName(base + "bunny.obj", base);
    s.deriveFileName("copy");
    EXPECT_EQ(s.fileName, "bunny_copy3.obj");

    s.fileName = "noext";
    s.deriveFileName("sample");
    EXPECT_EQ(s.fileName, "noext_sample");
}

TEST(MeshLoading, BoundingBoxFacesAndStatus) {
    const std::string dir = makeTempDir("veltrix_load_");
    // x decreases from first to last vertex; vertex 6 is in no triangle.
    auto mesh = loadObj(dir, "m.obj",
                        "v 5 0 0\nv 4 1 0\nv 3 0 1\nv 2 -1 0\nv -1 0 -2\nv 0 9 0\n"
                        "f 1 2 3\nf 1 3 4\nf -4 -3 -2\n");
    EXPECT_EQ(mesh->boundingBoxMax, Vec3f(5, 9, 1));
    EXPECT_EQ(mesh->boundingBoxMin, Vec3f(-1, -1, -2));
    ASSERT_EQ(mesh->faces.size(), 3u);
    EXPECT_EQ(mesh->faces[0], Triangle({0, 1, 2}));
    EXPECT_EQ(mesh->faces[1], Triangle({0, 2, 3}));
    EXPECT_EQ(mesh->faces[2], Triangle({2, 3, 4}));
    // With facet normals, each corner refers to its triangle (its index in the file).
    EXPECT_EQ(mesh->faceNormalIndices[1], Triangle({1, 1, 1}));
    EXPECT_EQ(mesh->vertexStatus[5], STATUS_ISOLATED);
    EXPECT_FALSE(mesh->normals.point(5).isFinite());
    // An open strip: every used vertex is on the border.
    for (int v = 0; v < 5; ++v) EXPECT_EQ(mesh->vertexStatus[v], STATUS_BOUNDARY);
}

// One square (a quad) with a triangle standing on an edge, written in every format read: the same
// five vertices, three triangles and total area of 1.5; STL and glTF repeat corners, which are merged.
TEST(MeshLoading, PlyStlOffAndGltfFilesGiveTheSameMesh) {
    const std::string dir = makeTempDir("veltrix_formats_");
    std::string stl = "solid s\n";
    for (const char* corners : {"0 0 0\nvertex 1 0 0\nvertex 1 1 0", "0 0 0\nvertex 1 1 0\nvertex 0 1 0",
                                "0 0 0\nvertex 1 0 0\nvertex 0 0 1"})
        stl += std::string("facet normal 0 0 0\nouter loop\nvertex ") + corners + "\nendloop\nendfacet\n";
    const std::string vertices = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n0 0 1\n";
    const std::pair<std::string, std::string> files[] = {
        {"m.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nf 1 2 3 4\nf 1 2 5\n"},
        {"m.off", "OFF\n# comment\n5 2 0\n" + vertices + "4 0 1 2 3\n3 0 1 4 255 0 0\n"},
        {"m.ply", "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
                  "element face 2\nproperty list uchar int vertex_indices\nend_header\n" + vertices +
                  "4 0 1 2 3\n3 0 1 4\n"},
        {"M.STL", stl + "endsolid s\n"},
        // glTF: the three triangles with a vertex of their own per corner, as exporters write
        // flat-shaded meshes; the corners are welded back into five vertices.
        {"m.gltf", R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
                   R"("meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],"accessors":[{"bufferView":0,)"
                   R"("componentType":5126,"count":9,"type":"VEC3","min":[0,0,0],"max":[1,1,1]}],)"
                   R"("bufferViews":[{"buffer":0,"byteLength":108}],"buffers":[{"byteLength":108,"uri":)"
                   R"("data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAACAPwAAgD8AAAAA)"
                   R"(AAAAAAAAAAAAAAAAAACAPwAAgD8AAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAAAAAAIA/"}]})"}};
    for (const auto& [name, text] : files) {
        auto mesh = loadObj(dir, name, text);
        ASSERT_EQ(mesh->vertexCount(), 5) << name;
        ASSERT_EQ(mesh->faces.size(), 3u) << name;
        float area = 0;
        for (const Triangle& t : mesh->faces)
            area += 0.5f * (mesh->vertices.point(t[1]) - mesh->vertices.point(t[0]))
                               .cross(mesh->vertices.point(t[2]) - mesh->vertices.point(t[0]))
                               .length();
        EXPECT_FLOAT_EQ(area, 1.5f) << name;
        EXPECT_EQ(mesh->boundingBoxMax, Vec3f(1, 1, 1)) << name;
    }
    // Unknown formats and broken files are refused with the file and the reason.
    const std::pair<std::string, std::string> bad[] = {
        {"m.xyz", "unknown shape format \"xyz\""},
        {"b.off", "line 6: a face index is out of range"},
        {"c.ply", "not a PLY file"},
        {"d.glb", "not a readable glTF file (no vertices could be read)"}};
    writeText(dir + "b.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n");
    writeText(dir + "d.glb", "glTF\x02");
    writeText(dir + "c.ply", "solid\n");
    for (const auto& [name, reason] : bad) {
        Mesh3_real mesh;
        mesh.setFileName(dir + name, dir);
        LogCapture log;
        EXPECT_FALSE(mesh.loadGeometry());
        EXPECT_NE(log.err().find("cannot read " + dir + name + ": " + reason), std::string::npos) << log.err();
    }
}

TEST(MeshLoading, ConsoleLinesAndFileNormals) {
    const std::string dir = makeTempDir("veltrix_info_");
    writeText(dir + "t.obj", "v 0 0 0\nv 3 0 0\nv 0 4 0\nv 7 7 7\nvn 0 0 1\nvn 0 0 1\nf 1//1 2//2 3//1\n");
    Mesh3_real mesh;
    mesh.setFileName(dir + "t.obj", dir);
    const std::string out = quiet([&] {
        mesh.loadGeometry();
        mesh.printInfo();
        mesh.computeNormals(true);
        mesh.detectBoundary();
    });
    EXPECT_EQ(out,
              "*** Filename: t.obj\n*** Number of vertices: 4\n*** Number of faces: 1\n"
              "*** Bounding box diagonal length: 12.1244\n"
              "*** Computing normals on triangle mesh... done!\n"
              "****** Number of isolated vertices (no adjacent triangles): 1\n"
              "****** Number of boundary edges detected: 3\n");
    EXPECT_EQ(mesh.faceNormalIndices[0], Triangle({0, 1, 0}));
    EXPECT_EQ(mesh.edgeList->edges.size(), 3u);
    for (int v = 0; v < 3; ++v) EXPECT_EQ(mesh.vertexStatus[v], STATUS_BOUNDARY);
    EXPECT_EQ(mesh.vertexStatus[3], STATUS_ISOLATED);
    EXPECT_NEAR(mesh.normals.point(0).z, 1.0f, 1e-6f);

    // Without force, existing per-vertex normals are kept and nothing is printed.
    mesh.normals.point(0) = Vec3f(1, 0, 0);
    EXPECT_EQ(quiet([&] { mesh.computeNormals(false); }), "");
    EXPECT_EQ(mesh.normals.point(0), Vec3f(1, 0, 0));
}

TEST(MeshTopology, ClosedSphereAndEdgeList) {
    Mesh3_real mesh;
    makeIcosphere(mesh, 2);
    mesh.computeNormals(true);
    mesh.detectBoundary();
    const int V = mesh.vertexCount(), F = static_cast<int>(mesh.faces.size());
    const std::vector<MeshEdge>& edges = mesh.edgeList->edges;
    EXPECT_EQ(V - static_cast<int>(edges.size()) + F, 2);  // Euler characteristic of a sphere
    for (size_t e = 0; e < edges.size(); ++e) {
        EXPECT_NE(edges[e].secondFace, 0) << "closed: no boundary edge";
        EXPECT_LT(edges[e].firstFace, edges[e].secondFace);
        // Listed under both ends with its index.
        for (int end : {edges[e].firstVertex, edges[e].secondVertex}) {
            const int other = end == edges[e].firstVertex ? edges[e].secondVertex : edges[e].firstVertex;
            const auto& adj = mesh.edgeList->adjacency[end];
            EXPECT_NE(std::find(adj.begin(), adj.end(), std::make_pair(other, static_cast<int>(e))), adj.end());
        }
    }
    for (int v = 0; v < V; ++v) {
        EXPECT_EQ(mesh.vertexStatus[v], STATUS_INTERIOR);
        // Outward normals close to the radial direction.
        EXPECT_GT(mesh.normals.point(v).dot(mesh.vertices.point(v)), 0.99f);
    }
}

TEST(MeshTopology, DegenerateTriangleDoesNotPoisonNormals) {
    // Vertex 3 duplicates vertex 1: the sliver (1, 3, 2) has a zero-length edge.
    Mesh3_real mesh;
    mesh.vertices.setPoints({Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(0, 1, 0), Vec3f(1, 0, 0), Vec3f(5, 5, 5)});
    mesh.faces = {{0, 1, 2}, {1, 3, 2}, {4, 4, 4}};
    mesh.vertexStatus.assign(5, STATUS_INTERIOR);
    const std::string out = quiet([&] { mesh.computeNormals(true); });
    EXPECT_NE(out.find("(no adjacent triangles): 2\n"), std::string::npos);
    for (int v : {0, 1, 2}) {
        EXPECT_EQ(mesh.vertexStatus[v], STATUS_INTERIOR);
        EXPECT_NEAR(mesh.normals.point(v).z, 1.0f, 1e-6f);
    }
    EXPECT_EQ(mesh.vertexStatus[3], STATUS_ISOLATED);
    EXPECT_EQ(mesh.vertexStatus[4], STATUS_ISOLATED);
}

TEST(MeshTopology, SingleTriangleAndGridBorder) {
    Mesh3_real tri;
    tri.vertices.setPoints({Vec3f(0, 0, 0), Vec3f(1, 0, 0), Vec3f(0, 1, 0)});
    tri.faces = {{0, 1, 2}};
    tri.vertexStatus.assign(3, STATUS_INTERIOR);
    EXPECT_EQ(quiet([&] { tri.detectBoundary(); }), "****** Number of boundary edges detected: 3\n");
    ASSERT_EQ(tri.edgeList->edges.size(), 3u);
    EXPECT_EQ(tri.edgeList->edges[0].firstVertex, 0);
    EXPECT_EQ(tri.edgeList->edges[1].secondVertex, 2);  // order (t0, t1), (t0, t2), (t1, t2)
    for (int s : tri.vertexStatus) EXPECT_EQ(s, STATUS_BOUNDARY);

    Mesh3_real grid;
    makeGrid(grid, 4);
    grid.detectBoundary();
    int boundary = 0;
    for (const MeshEdge& e : grid.edgeList->edges) boundary += e.isBoundary();
    EXPECT_EQ(boundary, 16);
    for (int v = 0; v < grid.vertexCount(); ++v) {
        const Vec3f& p = grid.vertices.point(v);
        const bool border = p.x == 0 || p.y == 0 || p.x == 4 || p.y == 4;
        EXPECT_EQ(grid.vertexStatus[v], border ? STATUS_BOUNDARY : STATUS_INTERIOR);
    }
}

TEST(MeshFiles, WriteReadBackAndNeverOverwrite) {
    const std::string dir = makeTempDir("veltrix_write_");
    Mesh3_real mesh;
    makeIcosphere(mesh, 1);
    mesh.vertices.point(0) = Vec3f(1.0f / 3.0f, 123456.789f, -1e-8f);
    mesh.setFileName(dir + "sphere.obj", dir);
    const std::string out = quiet([&] { mesh.writeGeometryOBJ(); });
    EXPECT_EQ(out, "Saving vertex and triangle data in " + dir + "sphere.obj ......done!\n");
    const std::string text = readText(dir + "sphere.obj");
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "v 0.333333 123457 -1e-08\n");
    const Triangle& f0 = mesh.faces[0];
    const std::string firstFace = "\ng foo\nf " + std::to_string(f0[0] + 1) + " " + std::to_string(f0[1] + 1) + " " +
                                  std::to_string(f0[2] + 1) + "\n";
    EXPECT_NE(text.find(firstFace), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 3), "\ng\n");

    auto back = loadObj(dir, "sphere.obj", text);
    ASSERT_EQ(back->vertexCount(), mesh.vertexCount());
    EXPECT_EQ(back->faces, mesh.faces);
    for (int v = 0; v < mesh.vertexCount(); ++v) {
        const Vec3f d = back->vertices.point(v) - mesh.vertices.point(v);
        EXPECT_LE(d.length(), 1e-5f * std::max(1.0f, mesh.vertices.point(v).length()));
    }

    // A second write refuses and leaves the file as it was.
    mesh.vertices.point(0) = Vec3f(9, 9, 9);
    {
        LogCapture log;
        mesh.writeGeometryOBJ();
        EXPECT_EQ(log.out(), "");
        EXPECT_EQ(log.err(), "Error in Mesh3_real::writeGeometryOBJ(): File " + dir + "sphere.obj already exists.\n");
    }
    EXPECT_EQ(readText(dir + "sphere.obj"), text);

    mesh.setFileName(dir + "no/such/dir/x.obj", dir);
    LogCapture log;
    mesh.writeGeometryOBJ();
    EXPECT_EQ(log.err(), "Error in Mesh3_real::writeGeometryOBJ(): Could not open output file " + dir +
              "no/such/dir/x.obj for writing!\n");
}

TEST(ShapeQueries, ClosestVertexQueriesMatchBruteForce) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> u(-1, 1);
    ShapeModel s;
    for (int i = 0; i < 300; ++i) {
        s.vertices.addPoint(Vec3f(u(rng), u(rng), u(rng)));
        s.normals.addPoint(Vec3f(0, 0, 1));
        s.vertexStatus.push_back(STATUS_INTERIOR);
        PrincipalFrame f;
        f.minCurvature = float(i);
        f.maxCurvature = float(i) + 1;
        s.frames.push_back({PrincipalFrame(), f});
    }
    for (int trial = 0; trial < 30; ++trial) {
        const Vec3f q(u(rng), u(rng), u(rng));
        int best = 0;
        for (int i = 1; i < s.vertexCount(); ++i)
            if ((s.vertices.point(i) - q).squaredLength() < (s.vertices.point(best) - q).squaredLength()) best = i;
        const float d2 = (s.vertices.point(best) - q).squaredLength();

        const std::pair<int, float> cv = s.closestVertex(q);
        EXPECT_EQ(cv.first, best);
        EXPECT_NEAR(cv.second, std::sqrt(d2), 1e-5f);
        int index = -1;
        EXPECT_NEAR(s.closestVertexIndex(q, index), d2, 1e-5f);
        EXPECT_EQ(index, best);
        Vec3f p;
        PrincipalFrame frame;
        EXPECT_NEAR(s.closestVertexFrame(q, p, frame), d2, 1e-5f);
        EXPECT_EQ(p, s.vertices.point(best));
        EXPECT_EQ(frame.minCurvature, float(best));  // the last scale's frame
        EXPECT_NEAR(s.closestPoint(q, p), d2, 1e-5f);
    }

    ShapeModel empty;
    EXPECT_EQ(empty.closestVertex(Vec3f()).first, 0);
    EXPECT_TRUE(std::isinf(empty.closestVertex(Vec3f()).second));
    int untouched = 7;
    EXPECT_EQ(empty.closestVertexIndex(Vec3f(), untouched), 3.4028235e38f);
    EXPECT_EQ(untouched, 7);
}

TEST(ShapeQueries, ClosestSurfacePointProjectsAtBoundary) {
    ShapeModel s;
    s.vertices.setPoints({Vec3f(0, 0, 0), Vec3f(10, 0, 0)});
    s.normals.setPoints({Vec3f(0, 0, 1), Vec3f(0, 0, 1)});
    s.vertexStatus = {STATUS_INTERIOR, STATUS_BOUNDARY};
    Vec3f p;
    float d = 0;
    s.closestSurfacePoint(Vec3f(1, 1, 2), p, d);
    EXPECT_EQ(p, Vec3f(0, 0, 0));
    EXPECT_NEAR(d, std::sqrt(6.0f), 1e-6f);
    s.closestSurfacePoint(Vec3f(12, 1, -3), p, d);
    EXPECT_EQ(p, Vec3f(12, 1, 0));
    EXPECT_FLOAT_EQ(d, 3.0f);
}

// Measured to triangles, a point over the middle of a grid square is as far as its height, however
// far the vertices are; a point beyond the border measures to the border, not to a tangent plane.
TEST(ShapeQueries, DistancesToTrianglesDoNotDependOnVertexSpacing) {
    Mesh3_real grid;
    makeGrid(grid, 4);
    grid.computeNormals(true);
    grid.detectBoundary();
    const Vec3f over(1.5f, 2.5f, 0.25f), beyond(-3.0f, 2.0f, 0.0f);
    EXPECT_NEAR(grid.closestDistance(over).second, std::sqrt(0.5f + 0.0625f), 1e-5f);
    EXPECT_TRUE(grid.closerThan(over, 0.76f));
    EXPECT_FALSE(grid.closerThan(over, 0.74f));
    grid.measureToTriangles(grid.faces);
    ASSERT_TRUE(grid.measuresToTriangles());
    const std::pair<int, float> c = grid.closestDistance(over);
    EXPECT_NEAR(c.second, 0.25f, 1e-5f);
    EXPECT_TRUE(grid.closerThan(over, 0.26f));
    EXPECT_FALSE(grid.closerThan(over, 0.24f));
    EXPECT_NEAR(grid.closestDistance(over, 0).second, 0.25f, 1e-5f);
    Vec3f p;
    float d = 0;
    EXPECT_EQ(grid.closestSurfacePoint(over, p, d), c.first);
    EXPECT_NEAR(d, 0.25f, 1e-5f);
    EXPECT_NEAR((p - Vec3f(1.5f, 2.5f, 0.0f)).length(), 0.0f, 1e-5f);
    grid.closestSurfacePoint(beyond, p, d);
    EXPECT_NEAR(d, 3.0f, 1e-5f);
    std::unique_ptr<Mesh3_real> copy(grid.clone());
    EXPECT_NEAR(copy->closestDistance(over).second, 0.25f, 1e-5f);
    grid.measureToTriangles({});
    EXPECT_NEAR(grid.closestDistance(over).second, std::sqrt(0.5f + 0.0625f), 1e-5f);
}

TEST(SurfaceSampling, PointSetDrawsVertices) {
    ShapeModel s;
    for (int i = 0; i < 10; ++i) s.vertices.addPoint(Vec3f(float(i), 0, 0));
    PointSetANN out;
    randomSeed(3);
    s.randomSurfaceSample(4, out);
    ASSERT_EQ(out.size(), 4);
    randomSeed(3);
    const std::vector<int> drawn = ShapeModel::randomIndices(4, 10);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(out.point(k).x, float(drawn[k]));
    s.randomSurfaceSample(10, out);
    ASSERT_EQ(out.size(), 10);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(out.point(k).x, float(k));
    s.randomSurfaceSample(0, out);
    EXPECT_EQ(out.size(), 10);
}

TEST(SurfaceSampling, MeshSampleIsSpreadOnTheSurface) {
    Mesh3_real grid;
    makeGrid(grid, 10);  // area 100
    PointSetANN out;
    const int count = 200;
    grid.randomSurfaceSample(count, out);
    const float r = std::sqrt(100.0f / (count * 3.1415927f));
    ASSERT_GT(out.size(), count / 2);
    ASSERT_LE(out.size(), count);
    for (int i = 0; i < out.size(); ++i) {
        const Vec3f& p = out.point(i);
        EXPECT_EQ(p.z, 0.0f);
        EXPECT_TRUE(p.x >= 0 && p.x <= 10 && p.y >= 0 && p.y <= 10);
        // Every later pick lies outside the disc removed around every earlier one.
        for (int j = 0; j < i; ++j) EXPECT_GT((out.point(j) - p).length(), r * 0.999f);
    }

    // Four coincident sheets: every disc removes candidates of all four, so the candidates run out
    // early. The sample then holds what was picked, with no undefined entries.
    Mesh3_real tiny;
    makeGrid(tiny, 1);
    for (int copy = 0; copy < 3; ++copy) {
        tiny.faces.push_back(tiny.faces[0]);
        tiny.faces.push_back(tiny.faces[1]);
    }
    tiny.randomSurfaceSample(50, out);
    EXPECT_LT(out.size(), 50);
    EXPECT_GT(out.size(), 0);
    for (int i = 0; i < out.size(); ++i) EXPECT_TRUE(out.point(i).x >= 0 && out.point(i).x <= 1);

    Mesh3_real none;
    none.randomSurfaceSample(5, out);
    EXPECT_EQ(out.size(), 0);
}

TEST(ShapeCopies, CloneOwnsItsFeaturesAndEdges) {
    const std::string base = makeTempDir("veltrix_clone_");
    Mesh3_real mesh;
    makeIcosphere(mesh, 0);
    mesh.setFileName(base + "ico.obj", base);
    mesh.detectBoundary();
    mesh.features.reset(new FeatureSetANN(2));
    mesh.features->resize(mesh.vertexCount());

    std::unique_ptr<Mesh3_real> copy;
    EXPECT_EQ(quiet([&] { copy.reset(mesh.clone()); }), "new filename: ico_copy.obj\n");
    EXPECT_EQ(mesh.fileName, "ico.obj");
    EXPECT_EQ(copy->faces, mesh.faces);
    ASSERT_TRUE(copy->features);
    EXPECT_NE(copy->features.get(), mesh.features.get());
    EXPECT_EQ(copy->features->size(), mesh.vertexCount());
    EXPECT_EQ(copy->edgeList->mesh, copy.get());
    EXPECT_EQ(copy->edgeList->edges.size(), mesh.edgeList->edges.size());

    ShapeModel points(1);
    points.fileName = "p.obj";
    points.baseDir = base;
    std::unique_ptr<ShapeModel> pc;
    pc.reset(points.clone());
    EXPECT_EQ(pc->kind, 1);
    EXPECT_FALSE(pc->features);
    EXPECT_EQ(pc->fileName, "p_copy.obj");
}

TEST(MeshLoading, LoadMeshShapeWithAndWithoutDescriptors) {
    const std::string base = makeTempDir("veltrix_loader_");
    Mesh3_real sphere;
    makeIcosphere(sphere, 2);
    sphere.setFileName(base + "shapes/ball.obj", base);
    mkdir((base + "shapes").c_str(), 0755);
    sphere.writeGeometryOBJ();

    Scene scene;
    scene.totalScene_boundingBoxDiagonal = 4.0f;
    scene.scaleFactors_PC = {10.0f, 20.0f};
    scene.featureType = 1;

    std::unique_ptr<Mesh3_real> plain;
    const std::string out = quiet([&] { plain.reset(loadMeshShape(base + "shapes/ball.obj", base, scene.preprocessOptions(), false)); });
    EXPECT_EQ(out.substr(0, out.find('\n')), "*** Filename: shapes/ball.obj");
    EXPECT_EQ(plain->vertexCount(), sphere.vertexCount());
    EXPECT_FLOAT_EQ(plain->meshResolution, 0.04f);
    EXPECT_EQ(plain->normals.size(), plain->vertexCount());
    EXPECT_TRUE(plain->frames.empty());
    EXPECT_FALSE(plain->features);

    std::unique_ptr<Mesh3_real> full;
    full.reset(loadMeshShape(base + "shapes/ball.obj", base, scene.preprocessOptions(), true));
    ASSERT_EQ(full->frames.size(), static_cast<size_t>(full->vertexCount()));
    ASSERT_EQ(full->scales.size(), 2u);
    EXPECT_NEAR(full->scales[0], 0.16f, 1e-6f);
    EXPECT_NEAR(full->scales[1], 0.64f, 1e-6f);
    ASSERT_TRUE(full->features);
    EXPECT_EQ(full->features->dimension(), 4);
}

// Vertices that no length can be measured on are refused at loading, naming the file and line.
TEST(MeshLoading, NonFiniteOrAbsurdCoordinatesAreRefused) {
    const std::string base = makeTempDir("veltrix_badverts_");
    Scene scene;
    for (const char* bad : {"nan 0 0", "0 inf 0", "0 0 1e300", "2e15 0 0"}) {
        writeText(base + "bad.obj", std::string("# comment\nv 0 0 0\n\nv 1 0 0\nvn 0 0 1\nv ") + bad + "\nf 1 2 3\n");
        LogCapture log;
        std::unique_ptr<Mesh3_real> mesh(loadMeshShape(base + "bad.obj", base, scene.preprocessOptions(), false));
        EXPECT_FALSE(mesh) << bad;
        EXPECT_EQ(log.err().rfind("Error in loadMeshShape(): " + base + "bad.obj, line 6: vertex 2 (", 0), 0u)
            << log.err();
    }
    writeText(base + "good.obj", "v 1e14 0 0\nv 0 -1e14 0\nv 0 0 1\nf 1 2 3\n");
    LogCapture log;
    std::unique_ptr<Mesh3_real> mesh(loadMeshShape(base + "good.obj", base, scene.preprocessOptions(), false));
    EXPECT_TRUE(mesh);
}
