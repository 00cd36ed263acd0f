// veltrix-shapes: writes a generated articulated figure in two poses as a numbered OBJ pair.
#include <cstdlib>
#include <iostream>
#include <string>

#include "ShapeGenerator.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "Usage: " << argv[0] << " <output prefix> [vertex count]\n"
                  << "Writes <prefix>-000.obj (rest pose), <prefix>-001.obj (posed) and\n"
                  << "<prefix>-parts.txt (the rigid part of each vertex).\n";
        return 1;
    }
    std::string prefix = argv[1];
    int vertices = argc == 3 ? std::atoi(argv[2]) : 3000;
    if (vertices < 100) {
        std::cerr << "The vertex count must be at least 100.\n";
        return 1;
    }
    ArticulatedPair pair = makeArticulatedPair(vertices);
    if (!writeObjFile(prefix + "-000.obj", pair.source, pair.faces) ||
        !writeObjFile(prefix + "-001.obj", pair.target, pair.faces) ||
        !writePartFile(prefix + "-parts.txt", pair.part)) {
        std::cerr << "Could not write the files " << prefix << "-*.\n";
        return 1;
    }
    std::cout << "Wrote " << prefix << "-000.obj and " << prefix << "-001.obj: " << pair.source.size()
              << " vertices, " << pair.faces.size() << " triangles each.\n";
    return 0;
}
