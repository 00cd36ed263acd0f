// veltrix-shapes: writes a generated articulated figure in two poses as a numbered OBJ pair, or
// with --frames N as a numbered sequence that moves from the rest pose to the full pose.
#include <cstdlib>
#include <iostream>
#include <string>

#include "ShapeGenerator.h"

namespace {

std::string framePath(const std::string& prefix, int frame) {
    std::string number = std::to_string(frame);
    if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
    return prefix + "-" + number + ".obj";
}

int usage(const char* program) {
    std::cerr << "Usage: " << program << " [--frames N] <output prefix> [vertex count]\n"
              << "Writes <prefix>-000.obj (rest pose), <prefix>-001.obj (posed) and\n"
              << "<prefix>-parts.txt (the rigid part of each vertex). With --frames N (2 to 1000),\n"
              << "writes <prefix>-000.obj to <prefix>-<N-1>.obj, frame k posed by k/(N-1) of the\n"
              << "full pose; every frame has the same vertices in the same order.\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 2;
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "--frames") {
        if (argc < 3) return usage(argv[0]);
        char* end = nullptr;
        long n = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || n < 2 || n > 1000) return usage(argv[0]);
        frames = int(n);
        first = 3;
    }
    if (argc - first < 1 || argc - first > 2) return usage(argv[0]);
    std::string prefix = argv[first];
    int vertices = argc - first == 2 ? std::atoi(argv[first + 1]) : 3000;
    if (vertices < 100) {
        std::cerr << "The vertex count must be at least 100.\n";
        return 1;
    }
    ArticulatedPair pair = makeArticulatedPair(vertices);
    bool written = writeObjFile(framePath(prefix, 0), pair.source, pair.faces) &&
                   writePartFile(prefix + "-parts.txt", pair.part);
    for (int k = 1; k < frames && written; ++k) {
        const ArticulatedPair posed =
            k + 1 == frames ? pair : makeArticulatedPair(vertices, double(k) / (frames - 1));
        written = writeObjFile(framePath(prefix, k), posed.target, posed.faces);
    }
    if (!written) {
        std::cerr << "Could not write the files " << prefix << "-*.\n";
        return 1;
    }
    std::cout << "Wrote " << framePath(prefix, 0) << (frames == 2 ? " and " : " to ") << framePath(prefix, frames - 1)
              << ": "
              << pair.source.size() << " vertices, " << pair.faces.size() << " triangles each.\n";
    return 0;
}
