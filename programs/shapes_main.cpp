// veltrix-shapes: writes a generated articulated figure in two poses as a numbered OBJ pair, with
// --frames N as a numbered sequence that moves from the rest pose to the full pose, or (with
// --character) a generated character in several poses, with --remesh also its poses with other
// triangulations.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "geometry/ShapeGenerator.h"
#include "core/Version.h"

using namespace veltrix;

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
              << "       " << program
              << " --character [--remesh] <output prefix> [vertex count] [seed] [pose count]\n"
              << "Writes a 16-part character with skinned joints: <prefix>-000.obj (rest pose) to\n"
              << "<prefix>-00N.obj and <prefix>-parts.txt (defaults: 4000 vertices, seed 1, 4 poses).\n"
              << "With --remesh, also for every pose k after the rest pose: <prefix>-00k-remeshed.obj (the\n"
              << "pose with another triangulation: about half the faces, new vertices on the same surface),\n"
              << "<prefix>-00k-remeshed-hole.obj (the same with noise of 0.1 % of the diagonal and a hole of\n"
              << "about 5 % of the surface) and <prefix>-00k-reference.obj (the pose with the rest pose's\n"
              << "triangulation: vertex i is the true place of rest vertex i, for veltrix-gtreport --reference).\n"
              << "       " << program << " --help | --version\n";
    return 1;
}

bool positiveNumber(const char* text, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value < 10000000;
}

// Pose k of the character with other triangulations, and the pose itself as the reference.
bool writeRemeshed(const std::string& prefix, const CharacterPoses& character, unsigned seed, int k) {
    const std::string stem = framePath(prefix, k);
    const std::string base = stem.substr(0, stem.size() - 4);
    for (bool scanLike : {false, true}) {
        const RemeshedSurface remeshed = remeshCharacterPose(character, k, seed, scanLike);
        const std::string path = base + (scanLike ? "-remeshed-hole.obj" : "-remeshed.obj");
        if (remeshed.faces.empty() || !writeObjFile(path, remeshed.vertices, remeshed.faces)) {
            std::cerr << "Could not write the file " << path << ".\n";
            return false;
        }
        std::cout << "Wrote " << path << ": " << remeshed.vertices.size() << " vertices, "
                  << remeshed.faces.size() << " triangles";
        if (scanLike)
            std::cout << ", " << int(std::lround(100 * remeshed.holeArea)) << " % of the surface cut out";
        std::cout << ".\n";
    }
    if (!writeObjFile(base + "-reference.obj", character.poses[size_t(k)], character.faces)) {
        std::cerr << "Could not write the file " << base << "-reference.obj.\n";
        return false;
    }
    return true;
}

int writeCharacter(int argc, char** argv) {
    bool remesh = false;
    if (argc > 2 && std::string(argv[2]) == "--remesh") {
        remesh = true;
        for (int i = 2; i + 1 < argc; ++i) argv[i] = argv[i + 1];
        --argc;
    }
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
    for (size_t k = 1; remesh && k < character.poses.size(); ++k)
        if (!writeRemeshed(prefix, character, unsigned(seed), int(k))) return 1;
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
