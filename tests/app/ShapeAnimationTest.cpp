#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/Log.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"
#include "geometry/ShapeModel.h"

using namespace veltrix;

namespace fs = std::filesystem;

TEST(PathFunctions, SplitDirectoryAndExtension) {
    EXPECT_EQ(splitPath("data/sub\\walk.obj"), std::make_pair(std::string("data/sub\\"), std::string("walk.obj")));
    EXPECT_EQ(splitPath("/abs/x"), std::make_pair(std::string("/abs/"), std::string("x")));
    // No separator, or nothing after the last one: both parts empty.
    EXPECT_EQ(splitPath("walk.obj"), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(splitPath("data/"), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(directoryOf("a/b/c.obj"), "a/b/");

    EXPECT_EQ(stripExtension("a/b.tar.gz"), "a/b.tar");
    EXPECT_EQ(stripExtension("dir.v2/file"), "dir.v2/file");
    EXPECT_EQ(stripExtension("name."), "name.");
}

TEST(FrameSequence, ParsesTheLastRunOfDigits) {
    FrameSequence walk("data/walk_0012.obj");
    EXPECT_TRUE(walk.isNumbered());
    EXPECT_EQ(walk.first, 12);
    EXPECT_EQ(walk.digits, 4);
    EXPECT_EQ(walk.pattern, "data/walk_%1.obj");
    EXPECT_EQ(walk.frameFileName(13), "data/walk_0013.obj");

    FrameSequence run("d1/run3_0005.obj");
    EXPECT_EQ(run.pattern, "d1/run3_%1.obj");
    EXPECT_EQ(run.digits, 4);
    EXPECT_EQ(run.first, 5);

    FrameSequence two("x/s_08.obj");
    EXPECT_EQ(two.frameFileName(999), "x/s_999.obj");
    EXPECT_EQ(two.frameFileName(7), "x/s_07.obj");

    FrameSequence horse("data/horse.obj");
    EXPECT_FALSE(horse.isNumbered());
    EXPECT_TRUE(horse.isValid());
    EXPECT_EQ(horse.first, 0);
    EXPECT_EQ(horse.frameFileName(5), "data/horse.obj");

    FrameSequence bare("horse.obj");  // no directory part: nothing parsed
    EXPECT_FALSE(bare.isValid());
    EXPECT_EQ(bare.first, 0);
    EXPECT_EQ(bare.last, 0);
    EXPECT_EQ(bare.skip, 1);
}

namespace {

// A closed tetrahedron, shifted so that every frame has its own position.
void writeTetrahedron(const fs::path& path, float shift) {
    std::ofstream out(path);
    out << "v " << shift << " 0 0\nv " << 1 + shift << " 0 0\nv " << shift << " 1 0\nv " << shift
        << " 0 1\n";
    out << "f 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n";
}

class SequenceOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("veltrix_seq_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (int n = 8; n <= 11; ++n) writeTetrahedron(dir / ("s_" + std::to_string(n < 10 ? 0 : 1) +
                                                               std::to_string(n % 10) + ".obj"),
                                                        float(n));
        scene.rootDir = dir.string() + "/";
        scene.totalScene_boundingBoxDiagonal = 1.0f;
        first = (dir / "s_08.obj").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string first;
    Scene scene;
};

}  // namespace

TEST_F(SequenceOnDisk, CountsAndLoadsEveryFrame) {
    LogCapture log;
    int loaded = openSequence(scene, first, 0, 1);
    std::string out = log.out();
    ASSERT_EQ(loaded, 4);
    EXPECT_NE(out.find("Loading frames [8,11] skip 1..."), std::string::npos) << out;
    for (const char* number : {" 8", " 9", " 10", " 11"}) EXPECT_NE(out.find(number), std::string::npos);
    EXPECT_EQ(scene.lastDir, dir.string() + "/");
    // Frame 0 is both source and target; the frames are in number order.
    EXPECT_EQ(scene.source, scene.target);
    EXPECT_EQ(scene.source, scene.getAnimation()->frame(0));
    EXPECT_FLOAT_EQ(scene.getAnimation()->frame(3)->vertices.point(0).x, 11.0f);
}

TEST_F(SequenceOnDisk, SkipAndMaximumLimitTheFrames) {
    ASSERT_EQ(openSequence(scene, first, 0, 2), 2);
    EXPECT_FLOAT_EQ(scene.getAnimation()->frame(1)->vertices.point(0).x, 10.0f);
    ASSERT_EQ(openSequence(scene, first, 1, 1), 1);
    EXPECT_FLOAT_EQ(scene.getAnimation()->frame(0)->vertices.point(0).x, 8.0f);
    // A skip that would never leave the first frame is replaced by 1.
    LogCapture log;
    EXPECT_EQ(openSequence(scene, first, 0, 0), 4);
    std::string err = log.err();
    EXPECT_NE(err.find("Warning in openSequence(): frame skip 0"), std::string::npos) << err;
}

TEST_F(SequenceOnDisk, MissingFirstFileLoadsNothing) {
    LogCapture log;
    EXPECT_EQ(openSequence(scene, (dir / "s_05.obj").string(), 0, 1), 0);
    std::string err = log.err();
    std::string out = log.out();
    EXPECT_NE(out.find("Loading frames [5,4] skip 1..."), std::string::npos) << out;
    EXPECT_EQ(scene.getAnimation()->frameCount(), 0);
    EXPECT_EQ(scene.source, nullptr);
}

TEST_F(SequenceOnDisk, FrameOutOfRangeReportsOnce) {
    openSequence(scene, first, 0, 1);
    const ShapeAnimation* animation = scene.getAnimation();
    LogCapture log;
    EXPECT_EQ(animation->frame(animation->frameCount()), nullptr);
    EXPECT_EQ(log.err(), "Error in ShapeAnimation::frame(): frame # out of range.");
    LogCapture log2;
    EXPECT_EQ(animation->frame(-1), nullptr);
    EXPECT_NE(log2.err(), "");
}
