#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "core/Log.h"
#include "MeshFixtures.h"
#include "geometry/ObjReader.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace {

class ObjReaderTest : public testing::Test {
protected:
    void SetUp() override { dir = makeTempDir("veltrix_obj_"); }
    std::string file(const std::string& name, const std::string& text) { return writeText(dir + name, text); }
    std::string dir;
};

void expectTriangle(const ObjTriangle& t, int a, int b, int c) {
    EXPECT_EQ(t.vindices[0], a);
    EXPECT_EQ(t.vindices[1], b);
    EXPECT_EQ(t.vindices[2], c);
}

const char* kFourVertices = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\n";

}  // namespace

TEST_F(ObjReaderTest, PolygonsBecomeFans) {
    const std::string path = file("fan.obj", std::string(kFourVertices) +
                                                 "f 1 2 3 4\n"
                                                 "f 1 2 3 4 5\n"
                                                 "f 3 2 1\n");
    ObjModel* m = objRead(path.c_str());
    ASSERT_EQ(m->numvertices, 5u);
    ASSERT_EQ(m->numtriangles, 6u);
    expectTriangle(m->triangles[0], 1, 2, 3);
    expectTriangle(m->triangles[1], 1, 3, 4);
    expectTriangle(m->triangles[2], 1, 2, 3);
    expectTriangle(m->triangles[3], 1, 3, 4);
    expectTriangle(m->triangles[4], 1, 4, 5);
    expectTriangle(m->triangles[5], 3, 2, 1);
    EXPECT_EQ(m->vertices[3 * 3 + 0], 1.0f);  // vertex 3 is (1, 1, 0), 1-based
    EXPECT_EQ(m->vertices[3 * 3 + 1], 1.0f);
    EXPECT_EQ(m->normals, nullptr);
    EXPECT_EQ(m->texcoords, nullptr);
    objDelete(m);
}

TEST_F(ObjReaderTest, CornerFormats) {
    const std::string path = file("corners.obj", std::string(kFourVertices) +
                                                     "vn 0 0 1\nvn 0 1 0\nvn 1 0 0\n"
                                                     "vt 0.5 0.25\nvt 1 1\nvt 0 0\n"
                                                     "f 1//3 2//2 3//1\n"
                                                     "f 1/2 2/3 3/1\n"
                                                     "f 4/1/2 3/2/3 2/3/1\n"
                                                     "f 1 2 3\n");
    ObjModel* m = objRead(path.c_str());
    ASSERT_EQ(m->numtriangles, 4u);
    ASSERT_EQ(m->numnormals, 3u);
    ASSERT_EQ(m->numtexcoords, 3u);
    const ObjTriangle& vn = m->triangles[0];
    EXPECT_EQ(vn.nindices[0], 3);
    EXPECT_EQ(vn.nindices[2], 1);
    EXPECT_EQ(vn.tindices[0], 0);
    const ObjTriangle& vt = m->triangles[1];
    EXPECT_EQ(vt.tindices[0], 2);
    EXPECT_EQ(vt.tindices[1], 3);
    EXPECT_EQ(vt.nindices[0], 0);
    const ObjTriangle& vtn = m->triangles[2];
    expectTriangle(vtn, 4, 3, 2);
    EXPECT_EQ(vtn.tindices[1], 2);
    EXPECT_EQ(vtn.nindices[1], 3);
    EXPECT_EQ(m->triangles[3].nindices[0], 0);
    EXPECT_EQ(m->texcoords[2 * 1 + 0], 0.5f);
    EXPECT_EQ(m->texcoords[2 * 1 + 1], 0.25f);
    EXPECT_EQ(m->normals[3 * 2 + 1], 1.0f);
    objDelete(m);
}

TEST_F(ObjReaderTest, FaceEndsAtFirstUnscannableCorner) {
    // The second face continues on the next line; "g" after a face is a token again; a face with
    // two corners makes no triangle.
    const std::string path = file("stop.obj", std::string(kFourVertices) +
                                                  "f 1 2\n3 4\n"
                                                  "f 1 2 x 4\n"
                                                  "g part\n"
                                                  "f 2 3\n"
                                                  "s off\n");
    ObjModel* m = objRead(path.c_str());
    ASSERT_EQ(m->numtriangles, 2u);
    expectTriangle(m->triangles[0], 1, 2, 3);
    expectTriangle(m->triangles[1], 1, 3, 4);
    ASSERT_NE(objFindGroup(m, " part"), nullptr);
    objDelete(m);
}

TEST_F(ObjReaderTest, GroupsAndMaterials) {
    file("mats.mtl",
         "# materials\n"
         "newmtl red\nKd 1 0 0\nKa 0.1 0.2 0.3\nKs 0.5 0.5 0.5\nNs 1000\nKe 9 9 9\n"
         "newmtl blue   extra words\nKd 0 0 1\nNs 500\n");
    const std::string path = file("groups.obj", std::string("mtllib mats.mtl\n") + kFourVertices +
                                                    "f 1 2 3\n"
                                                    "g body\n"
                                                    "usemtl blue\n"
                                                    "f 1 3 4\n"
                                                    "g  arm\n"
                                                    "usemtl nosuch\n"
                                                    "f 2 3 4\n"
                                                    "g body\n"
                                                    "usemtl red\n"
                                                    "f 1 2 4\n");
    LogCapture log;
    ObjModel* m = objRead(path.c_str());
    EXPECT_EQ(log.out(), "objFindMaterial():  can't find material \"nosuch\".\n");
    ASSERT_STREQ(m->mtllibname, "mats.mtl");

    ASSERT_EQ(m->nummaterials, 3u);
    EXPECT_STREQ(m->materials[0].name, "default");
    EXPECT_FLOAT_EQ(m->materials[0].diffuse[0], 0.8f);
    EXPECT_FLOAT_EQ(m->materials[0].shininess, 65.0f);
    const ObjMaterial& red = m->materials[1];
    EXPECT_STREQ(red.name, "red");
    EXPECT_FLOAT_EQ(red.diffuse[0], 1.0f);
    EXPECT_FLOAT_EQ(red.diffuse[3], 1.0f);
    EXPECT_FLOAT_EQ(red.ambient[2], 0.3f);
    EXPECT_FLOAT_EQ(red.specular[1], 0.5f);
    EXPECT_FLOAT_EQ(red.shininess, 128.0f);
    EXPECT_FLOAT_EQ(red.emissive[0], 0.0f);  // Ke is not read
    EXPECT_STREQ(m->materials[2].name, "blue");
    EXPECT_FLOAT_EQ(m->materials[2].shininess, 64.0f);

    // Group names keep the blanks after the keyword; newest group first.
    ASSERT_EQ(m->numgroups, 3u);
    EXPECT_STREQ(m->groups->name, "  arm");
    EXPECT_STREQ(m->groups->next->name, " body");
    EXPECT_STREQ(m->groups->next->next->name, "default");

    ObjGroup* def = objFindGroup(m, "default");
    ObjGroup* body = objFindGroup(m, " body");
    ObjGroup* arm = objFindGroup(m, "  arm");
    ASSERT_TRUE(def && body && arm);
    EXPECT_EQ(objFindGroup(m, "body"), nullptr);
    ASSERT_EQ(def->numtriangles, 1u);
    EXPECT_EQ(def->triangles[0], 0u);
    ASSERT_EQ(body->numtriangles, 2u);
    EXPECT_EQ(body->triangles[0], 1u);
    EXPECT_EQ(body->triangles[1], 3u);
    EXPECT_EQ(body->material, 1u);  // the last usemtl while the group was current
    ASSERT_EQ(arm->numtriangles, 1u);
    EXPECT_EQ(arm->material, 0u);  // unknown material falls back to 0
    objDelete(m);
}

TEST_F(ObjReaderTest, FacetNormals) {
    const std::string path = file("facets.obj", std::string(kFourVertices) +
                                                    "f 1 2 3\n"
                                                    "f 1 3 2\n"
                                                    "f 1 2 3\n"
                                                    "f 1 2 3\n"
                                                    "f 1 2 3\n"
                                                    "f 1 1 2\n");
    ObjModel* m = objRead(path.c_str());
    ASSERT_NE(m, nullptr);
    // The reader refuses such indices; a model built by other code may still hold them.
    m->triangles[2].vindices[0] = 0;
    m->triangles[3].vindices[2] = 99;
    m->triangles[4].vindices[0] = -1;
    objFacetNormals(m);
    ASSERT_EQ(m->numfacetnorms, 6u);
    EXPECT_EQ(m->triangles[0].findex, 1);
    EXPECT_EQ(m->triangles[5].findex, 6);
    EXPECT_FLOAT_EQ(m->facetnorms[3 * 1 + 2], 1.0f);
    EXPECT_FLOAT_EQ(m->facetnorms[3 * 2 + 2], -1.0f);
    // Out-of-range and degenerate triangles get zero normals instead of reading outside the array.
    for (int i = 3; i <= 6; ++i) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(m->facetnorms[3 * i + c], 0.0f) << "triangle " << i;
    }
    objDelete(m);
}

TEST_F(ObjReaderTest, OverlongWordsAndLines) {
    const std::string longWord(100000, 'x');
    const std::string path =
        file("long.obj", "# " + longWord + " v vp f 1 2 3\n" + std::string(kFourVertices) + "g " + longWord +
                             "\nf 1 2 3 " + std::string(5000, '0') + "4\n" + longWord + " trailing words\n" +
                             "s " + longWord + "\nf 1 2 3");
    ObjModel* m = objRead(path.c_str());
    EXPECT_EQ(m->numvertices, 5u);
    ASSERT_EQ(m->numtriangles, 3u);
    expectTriangle(m->triangles[1], 1, 3, 4);
    ObjGroup* g = objFindGroup(m, (" " + longWord).c_str());
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->numtriangles, 3u);
    objDelete(m);
}

TEST_F(ObjReaderTest, UnreadableInputsGiveNullWithTheirMessage) {
    const std::string missing = dir + "missing.obj",
                      noMtl = file("nomtl.obj", "mtllib gone.mtl\nusemtl red\n" + std::string(kFourVertices) + "f 1 2 3\n"),
                      vp = file("vp.obj", "v 0 0 0\nvp 0.5 0.5\n");
    LogCapture log;
    EXPECT_EQ(objRead(missing.c_str()), nullptr);
    // A missing material library costs the materials only.
    ObjModel* m = objRead(noMtl.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->numtriangles, 1u);
    EXPECT_EQ(m->materials, nullptr);
    objDelete(m);
    Mesh3_real mesh;
    mesh.setFileName(vp, dir);
    EXPECT_FALSE(mesh.loadGeometry());
    const std::string err = log.err(), out = log.out();
    EXPECT_NE(err.find("objRead() failed: can't open data file \"" + missing + "\"."), std::string::npos);
    EXPECT_NE(err.find("Warning in objReadMTL(): can't open material file \"" + dir + "gone.mtl\""), std::string::npos);
    EXPECT_EQ(out.find("can't find material"), std::string::npos);
    EXPECT_NE(out.find("objFirstPass(): Unknown token \"vp\"."), std::string::npos);
}

TEST_F(ObjReaderTest, RelativeIndicesResolveAndOutOfRangeIndicesFailNamingTheLine) {
    // -1 is the last vertex defined before the face, not the last of the file.
    const std::string path = file("relative.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nvn 0 0 1\nvt 0 0\n"
                                                  "f -3/-1/-1 -2/-1/-1 -1/-1/-1\nv 0 1 0\nf -4 -2 -1\n");
    ObjModel* m = objRead(path.c_str());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->numtriangles, 2u);
    expectTriangle(m->triangles[0], 1, 2, 3);
    EXPECT_EQ(m->triangles[0].nindices[2], 1);
    EXPECT_EQ(m->triangles[0].tindices[0], 1);
    expectTriangle(m->triangles[1], 1, 3, 4);
    objDelete(m);

    const struct {
        const char* face;
        const char* message;
    } bad[] = {{"f 1 2 6", "line 8: face vertex index 6 is out of range (the file defines 5 vertices)."},
               {"f 1 2 0", "line 8: face vertex index 0 is out of range"},
               {"f -6 1 2", "line 8: face vertex index -6 is out of range"},
               {"f 1 2 3 4444444444444", "line 8: face vertex index 2147483647 is out of range"},
               {"f 1//2 2//1 3//1", "line 8: face normal index 2 is out of range (the file defines 1 normals)."},
               {"f 1/3 2/1 3/1", "line 8: face texture coordinate index 3 is out of range"}};
    for (const auto& b : bad) {
        const std::string broken = file("broken.obj", std::string(kFourVertices) + "vn 0 0 1\nvt 0 0\n" + b.face + "\n");
        LogCapture log;
        EXPECT_EQ(objRead(broken.c_str()), nullptr) << b.face;
        EXPECT_EQ(log.err().find("Error in objRead(): " + broken + ", " + b.message), 0u) << log.err();
        Mesh3_real mesh;
        mesh.setFileName(broken, dir);
        EXPECT_FALSE(mesh.loadGeometry());
    }
}
