// veltrix-shapes: writes a generated articulated figure in two poses as a numbered OBJ pair, with
// --frames N as a numbered sequence that moves from the rest pose to the full pose, or (with
// --character) a generated character in several poses.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "ShapeGenerator.h"
#include "Version.h"

namespace {

std::string framePath(const std::string& prefix, int frame) {
    std::string number = std::to_string(frame);
    if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
    return prefix + "-" + number + ".obj";
}

int usage(const char* program, std::ostream& out = std::cerr) {
    out << "Usage: " << program << " [--frames N] <output prefix> [vertex count]\n"
              << "Writes <prefix>-000.obj (rest pose), <prefix>-001.obj (posed) and\n"
              << "<prefix>-parts.txt (the rigid part of each vertex). With --frames N (2 to 1000),\n"
              << "writes <prefix>-000.obj to <prefix>-<N-1>.obj, frame k posed by k/(N-1) of the\n"
              << "full pose; every frame has the same vertices in the same order.\n"
              << "       " << program << " --character <output prefix> [vertex count] [seed] [pose count]\n"
              << "Writes a 16-part character with skinned joints: <prefix>-000.obj (rest pose) to\n"
              << "<prefix>-00N.obj and <prefix>-parts.txt (defaults: 4000 vertices, seed 1, 4 poses).\n"
              << "       " << program << " --help | --version\n";
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
    if (prefix.empty() || prefix[0] == '-') return usage(argv[0]);
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
        if (!writeObjFile(framePath(prefix, int(k)), character.poses[k], character.faces)) {
            std::cerr << "Could not write the file " << framePath(prefix, int(k)) << ".\n";
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
    std::ostringstream help;
    usage(argv[0], help);
    if (answeredHelpOrVersion(argc, argv, "veltrix-shapes", help.str())) return 0;
    if (argc >= 2 && std::string(argv[1]) == "--character") return writeCharacter(argc, argv);
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
    if (prefix.empty() || prefix[0] == '-') return usage(argv[0]);  // an unknown option, not a prefix
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
