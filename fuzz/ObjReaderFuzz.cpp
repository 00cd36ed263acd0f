// libFuzzer target over the OBJ reader and the mesh set-up: objRead, loadGeometry, computeNormals,
// detectBoundary. Built and run by tools/fuzz.sh obj (clang); the test suite replays its inputs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "geometry/ShapeModel.h"

using namespace veltrix;

// Inputs with a line starting with m are skipped: a material library would be looked up next to
// the input file, outside what the fuzzer controls.
static bool namesMaterialLibrary(const uint8_t* data, size_t size) {
    size_t i = 0;
    auto space = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < size) {
        while (i < size && space(data[i])) ++i;
        const size_t start = i;
        while (i < size && !space(data[i])) ++i;
        if (i == start) break;
        if (data[start] == 'm') return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (namesMaterialLibrary(data, size)) return 0;
    static std::string path;
    if (path.empty()) {
        char dir[] = "/tmp/veltrix_fuzzXXXXXX";
        if (!mkdtemp(dir)) std::abort();
        path = std::string(dir) + "/input.obj";
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    static std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    {
        Mesh3_real mesh;
        mesh.setFileName(path, "");
        if (mesh.loadGeometry()) {
            mesh.computeNormals(true);
            mesh.detectBoundary();
        }
    }
    std::cout.rdbuf(saved);
    sink.str("");
    return 0;
}
