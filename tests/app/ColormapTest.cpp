#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/Colormap.h"
#include "core/Log.h"

using namespace veltrix;

namespace {

std::string writeFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

void expectColor(const Vec3f& c, float r, float g, float b) {
    EXPECT_NEAR(c.x, r, 1e-6f);
    EXPECT_NEAR(c.y, g, 1e-6f);
    EXPECT_NEAR(c.z, b, 1e-6f);
}

}  // namespace

TEST(Colormap, InterpolatesAndClamps) {
    Colormap map;
    expectColor(map.color(0.5f), 1, 0.5f, 0);
    expectColor(map.color(-3.0f), 1, 0, 0);
    expectColor(map.color(7.0f), 1, 1, 0);

    map.values = {0.2f, 0.5f, 0.8f};
    map.colors = {Vec3f(0, 0, 1), Vec3f(0, 1, 0), Vec3f(1, 0, 0)};
    expectColor(map.color(0.0f), 0, 0, 1);
    expectColor(map.color(0.2f), 0, 0, 1);
    expectColor(map.color(0.35f), 0, 0.5f, 0.5f);
    expectColor(map.color(0.65f), 0.5f, 0.5f, 0);
    expectColor(map.color(0.9f), 1, 0, 0);
    expectColor(map.color(1.0f), 1, 0, 0);
}

TEST(Colormap, SaveLoadRoundTrip) {
    const std::string path = testing::TempDir() + "veltrix_colormap.txt";
    std::remove(path.c_str());
    Colormap map;
    map.values = {0.0f, 0.333333f, 1.0f};
    map.colors = {Vec3f(0, 0, 0), Vec3f(0.25f, 0.5f, 0.125f), Vec3f(1, 1, 1)};
    LogCapture log;
    ASSERT_TRUE(map.save(path));
    EXPECT_EQ(log.out(), "Saving colormap...done!\n");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "0, [0,0,0]\n0.333333, [0.25,0.5,0.125]\n1, [1,1,1]\n");

    Colormap loaded;
    LogCapture log2;
    ASSERT_TRUE(loaded.load(path));
    EXPECT_EQ(log2.out(), "Loading colormap...done!\n");
    EXPECT_EQ(loaded.values, map.values);
    ASSERT_EQ(loaded.colors.size(), 3u);
    EXPECT_EQ(loaded.colors[1], map.colors[1]);
    std::remove(path.c_str());
}

TEST(Colormap, OrderCheckFallsBackToDefault) {
    // Equal values, and a trailing empty line that repeats the last control point.
    for (const std::string text : {"0, [0,0,0]\n0.5, [1,1,1]\n0.5, [0,1,0]\n", "0, [0,0,1]\n1, [0,1,0]\n\n"}) {
        const std::string path = writeFile("veltrix_colormap_bad.txt", text);
        Colormap map;
        map.values = {0.0f, 0.4f, 1.0f};
        map.colors = {Vec3f(), Vec3f(), Vec3f()};
        LogCapture log;
        EXPECT_FALSE(map.load(path));
        EXPECT_EQ(log.out(), "Loading colormap...\n");
        EXPECT_EQ(log.err(),
                  "Error in Colormap::load(): Control points must be in strictly increasing order!  Creating "
                  "default colormap.\n");
        EXPECT_EQ(map.values, std::vector<float>({0.0f, 1.0f}));
        expectColor(map.color(0.5f), 1, 0.5f, 0);
        std::remove(path.c_str());
    }
}

TEST(Colormap, MissingFileLeavesMapUnchanged) {
    Colormap map;
    map.values = {0.0f, 0.5f};
    map.colors = {Vec3f(0, 0, 1), Vec3f(0, 1, 0)};
    const std::string path = testing::TempDir() + "veltrix_no_such_colormap.txt";
    LogCapture log;
    EXPECT_FALSE(map.load(path));
    EXPECT_EQ(log.out(), "Warning in Colormap::load(): Cannot open file " + path + "!\n");
    EXPECT_EQ(map.values, std::vector<float>({0.0f, 0.5f}));
}
