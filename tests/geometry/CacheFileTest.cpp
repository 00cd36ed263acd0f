#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "geometry/CacheFile.h"
#include "MeshFixtures.h"

using namespace veltrix;

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// A cache replaced only on commit: an abandoned write leaves the old file and no temporary file;
// a committed one holds the little-endian numbers and its trailer, and reads back verified.
TEST(CacheFile, WriterReplacesTheOldFileOnlyOnCommit) {
    const std::string dir = makeTempDir("cache_");
    const std::string path = dir + "/shape-frames.data";
    { std::ofstream(path, std::ios::binary) << "old"; }
    {
        CacheWriter abandoned(path);
        ASSERT_TRUE(abandoned.isOpen());
        abandoned.writeInt32(7);
    }
    EXPECT_EQ(contents(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);

    CacheWriter out(path);
    const float values[2] = {1.0f, -2.5f};
    out.writeInt32(0x01020304);
    out.writeFloats(values, 2);
    ASSERT_TRUE(out.commit(42));
    const std::string bytes = contents(path);
    ASSERT_EQ(bytes.size(), 4u + 8u + 20u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(bytes.substr(4, 4), std::string("\x00\x00\x80\x3f", 4));
    EXPECT_EQ(bytes.substr(12, 4), "VXC1");

    CacheReader in(path, true);
    int32_t n = 0;
    float back[2] = {};
    ASSERT_TRUE(in.readInt32(n) && in.readFloats(back, 2));
    EXPECT_EQ(n, 0x01020304);
    EXPECT_EQ(back[1], -2.5f);
    EXPECT_TRUE(in.verify(42, "test"));
}
