// veltrix-shapes: writes a generated articulated figure in two poses as a numbered OBJ pair, or
// (with --character) a generated character in several poses.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "ShapeGenerator.h"

namespace {

int usage(const char* program) {
    std::cerr << "Usage: " << program << " <output prefix> [vertex count]\n"
              << "Writes <prefix>-000.obj (rest pose), <prefix>-001.obj (posed) and\n"
              << "<prefix>-parts.txt (the rigid part of each vertex).\n"
              << "       " << program << " --character <output prefix> [vertex count] [seed] [pose count]\n"
              << "Writes a 16-part character with skinned joints: <prefix>-000.obj (rest pose) to\n"
              << "<prefix>-00N.obj and <prefix>-parts.txt (defaults: 4000 vertices, seed 1, 4 poses).\n";
    return 1;
}

bool positiveNumber(const char* text, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value < 10000000;
}

int writeCharacter(int argc, char** argv) {
    if (argc < 3 || argc > 6) return usage(argv[0]);
    std::string prefix = argv[2];
    long vertices = 4000, seed = 1, poses = 4;
    if ((argc > 3 && !positiveNumber(argv[3], vertices)) || (argc > 4 && !positiveNumber(argv[4], seed)) ||
        (argc > 5 && !positiveNumber(argv[5], poses)))
        return usage(argv[0]);
    if (vertices < 500 || poses < 2 || poses > 4) {
        std::cerr << "The vertex count must be at least 500 and the pose count 2 to 4.\n";
        return 1;
    }
    CharacterPoses character = makeCharacter(int(vertices), unsigned(seed), int(poses));
    for (size_t k = 0; k < character.poses.size(); ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "-%03d.obj", int(k));
        if (!writeObjFile(prefix + name, character.poses[k], character.faces)) {
            std::cerr << "Could not write the file " << prefix << name << ".\n";
            return 1;
        }
    }
    if (!writePartFile(prefix + "-parts.txt", character.part)) {
        std::cerr << "Could not write the file " << prefix << "-parts.txt.\n";
        return 1;
    }
    std::cout << "Wrote " << character.poses.size() << " poses " << prefix << "-000.obj to " << prefix
              << "-00" << character.poses.size() - 1 << ".obj: "
              << character.poses[0].size() << " vertices, " << character.faces.size() << " triangles, "
              << character.componentCount << " components, " << character.partCount << " parts.\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--character") return writeCharacter(argc, argv);
    if (argc < 2 || argc > 3) return usage(argv[0]);
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
