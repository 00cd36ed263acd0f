#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "core/Log.h"
#include "MeshFixtures.h"
#include "app/Scene.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace {

std::string captureLoad(std::unique_ptr<Mesh3_real>& mesh, const std::string& path, const std::string& base,
                        const Scene& scene) {
    LogCapture log;
    mesh.reset(loadMeshShape(path, base, scene.preprocessOptions(), true));
    return log.out();
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace

// A mesh loaded with preprocessing gets frames and mean-curvature features, caches both under
// preprocessing/ and reads them back on the next load instead of computing them again.
TEST(Preprocessing, LoadComputesThenReusesTheCaches) {
    const std::string base = makeTempDir("preprocess");
    {
        Mesh3_real ball;
        makeIcosphere(ball, 4);
        for (int i = 0; i < ball.vertices.size(); ++i) ball.vertices.point(i) = ball.vertices.point(i) * 2.0f;
        ball.setFileName(base + "shapes/ball.obj", base);
        std::filesystem::create_directories(base + "shapes");
        ball.writeGeometryOBJ();
    }
    Scene scene;
    scene.totalScene_boundingBoxDiagonal = 4.0f * std::sqrt(3.0f);
    scene.scaleFactors_PC = {5.0f, 8.0f};
    scene.featureType = 4;
    scene.scaleFactors_MC = {10.0f};
    scene.ANNEpsilon_FM = 0.0f;

    std::unique_ptr<Mesh3_real> first;
    std::string out = captureLoad(first, base + "shapes/ball.obj", base, scene);
    EXPECT_NE(out.find("*** Computing principal curvatures..."), std::string::npos);
    EXPECT_NE(out.find("Computing mean curvature features..."), std::string::npos);
    EXPECT_TRUE(exists(base + "preprocessing/shapes/ball-frames.data"));
    EXPECT_TRUE(exists(base + "preprocessing/shapes/ball-features.data"));
    ASSERT_EQ(first->frames.size(), static_cast<size_t>(first->vertexCount()));
    EXPECT_EQ(first->scales, scene.squaredRadii(scene.scaleFactors_PC));
    // Sphere of radius 2: curvatures near 0.5, features near ln(1.5).
    for (int i = 0; i < first->vertexCount(); ++i) {
        for (const PrincipalFrame& f : first->frames[i]) {
            ASSERT_NEAR(f.minCurvature, 0.5f, 0.02f) << i;
            ASSERT_NEAR(f.maxCurvature, 0.5f, 0.02f) << i;
        }
        ASSERT_NEAR(first->features->point(i)[0], std::log(1.5f), 0.01f) << i;
    }

    std::unique_ptr<Mesh3_real> second;
    out = captureLoad(second, base + "shapes/ball.obj", base, scene);
    EXPECT_NE(out.find("*** Loading frames... done!\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Computing principal"), std::string::npos) << out;
    EXPECT_EQ(out.find("Computing mean"), std::string::npos) << out;
    ASSERT_EQ(second->frames.size(), first->frames.size());
    for (size_t i = 0; i < first->frames.size(); ++i)
        ASSERT_EQ(std::memcmp(first->frames[i].data(), second->frames[i].data(),
                              first->frames[i].size() * sizeof(PrincipalFrame)),
                  0);
    for (int i = 0; i < first->vertexCount(); ++i)
        ASSERT_EQ(first->features->point(i), second->features->point(i));

    // A damaged cache is reported and recomputed on the next load.
    writeText(base + "preprocessing/shapes/ball-frames.data", "Principal");
    std::unique_ptr<Mesh3_real> third;
    LogCapture log;
    third.reset(loadMeshShape(base + "shapes/ball.obj", base, scene.preprocessOptions(), true));
    const std::string err = log.err();
    out = log.out();
    EXPECT_NE(err.find("is truncated or damaged!"), std::string::npos) << err;
    EXPECT_NE(out.find("*** Computing principal curvatures..."), std::string::npos);
    EXPECT_EQ(third->frames.size(), first->frames.size());
}
