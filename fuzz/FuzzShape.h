#pragma once
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "geometry/ShapeModel.h"

namespace veltrix {

// The shape whose cache files the fuzzers feed: three vertices named fuzz.obj under a private
// temporary root, so that the description's file name matches.
inline std::unique_ptr<ShapeModel> fuzzShape(const std::string& base) {
    std::unique_ptr<ShapeModel> s(new ShapeModel(1));
    s->baseDir = base;
    s->fileName = "fuzz.obj";
    for (int i = 0; i < 3; ++i) {
        s->vertices.addPoint(Vec3f(float(i), float(i * i), 0.0f));
        s->normals.addPoint(Vec3f(0, 0, 1));
        s->vertexStatus.push_back(STATUS_INTERIOR);
    }
    return s;
}

// A scratch directory for the whole run, removed at exit.
inline const std::string& fuzzRoot() {
    struct Scratch {
        std::string path;
        Scratch() {
            std::string pattern = (std::filesystem::temp_directory_path() / "veltrix_fuzz_XXXXXX").string();
            if (mkdtemp(&pattern[0])) path = pattern + "/";
        }
        ~Scratch() {
            std::error_code error;
            if (!path.empty()) std::filesystem::remove_all(path, error);
        }
    };
    static const Scratch dir;
    return dir.path;
}

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Silences the readers' console lines while fuzzing.
struct QuietConsole {
    std::ostringstream sink;
    std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
    std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
    ~QuietConsole() {
        std::cout.rdbuf(out);
        std::cerr.rdbuf(err);
    }
};

inline void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace veltrix
