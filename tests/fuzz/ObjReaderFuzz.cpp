// libFuzzer target over the OBJ reader and the mesh set-up: objRead, loadGeometry, computeNormals,
// detectBoundary. Built and run by tools/fuzz-obj.sh (clang), not part of the test run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "ShapeModel.h"

// Inputs that end the program by design (an unknown word starting with v, a material library that
// does not exist) are skipped: those exits are the reader's documented behaviour, not faults.
static bool endsTheProgram(const uint8_t* data, size_t size) {
    size_t i = 0;
    auto space = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < size) {
        while (i < size && space(data[i])) ++i;
        const size_t start = i;
        while (i < size && !space(data[i])) ++i;
        if (i == start) break;
        const size_t len = i - start;
        if (data[start] == 'm') return true;
        if (data[start] == 'v' && len > 1 && data[start + 1] != 'n' && data[start + 1] != 't') return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (endsTheProgram(data, size)) return 0;
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
        mesh.loadGeometry();
        mesh.computeNormals(true);
        mesh.detectBoundary();
    }
    std::cout.rdbuf(saved);
    sink.str("");
    return 0;
}
