// veltrix-gtreport: accuracy of a registration result on a pair with known correspondence.
//
//   veltrix-gtreport [--reference REF.obj] [--parts PARTS.txt] <source.obj> <target.obj> <result.gc>
//
// Vertex i of the source corresponds to vertex i of the target, or, with --reference, lies at
// vertex i of REF.obj (the source's mesh in the target's pose), and the target may then have any
// triangulation. Prints the fractions of source vertices within 1, 2 and 5 % of the source's
// bounding-box diagonal of their partner, the median error, the dummy count, the Hausdorff error
// and per label the vertex count and error; with --reference also the vertices whose true place
// lies in a hole of the target, which the other figures leave out; with --parts (one true part
// per source vertex and line) the part purity. Exit status 0 on success, 1 when the shapes differ
// in vertex count (without a reference) or a file cannot be used, 2 for a bad command line.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "labeling/GroundTruthReport.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "geometry/ShapeModel.h"
#include "core/Version.h"

using namespace veltrix;

namespace {

int failure(const std::string& why) {
    std::cerr << "veltrix-gtreport: " << why << std::endl;
    return 1;
}

// Whole numbers, one per line; false when anything else is in the file.
bool readParts(const std::string& path, std::vector<int>& parts) {
    std::ifstream in(path);
    if (!in) return false;
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        const long value = std::strtol(word.c_str(), &end, 10);
        if (*end != '\0' || value < -1000000 || value > 1000000) return false;
        parts.push_back(int(value));
    }
    return in.eof();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string usage =
        std::string("Usage: ") + argv[0] +
        " [--reference REF.obj] [--parts PARTS.txt] <source.obj> <target.obj> <result.gc>\n" +
        "Vertex i of the source corresponds to vertex i of the target; prints how\n" +
        "close the result brings each source vertex to its partner. With --reference, vertex i of\n" +
        "REF.obj (the source's mesh in the target's pose) is the true place of source vertex i and the\n" +
        "target may have any triangulation; source vertices whose true place lies in a hole of the\n" +
        "target are reported apart. With --parts, the true part of every source vertex, one per line,\n" +
        "for the part purity.";
    if (answeredHelpOrVersion(argc, argv, "veltrix-gtreport", usage + "\n")) return 0;
    std::string referencePath, partsPath;
    std::vector<const char*> files;
    bool badOption = false;  // given twice or without its file
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* option = arg == "--reference" ? &referencePath : arg == "--parts" ? &partsPath : nullptr;
        if (option && i + 1 < argc && option->empty() && argv[i + 1][0] != '\0')
            *option = argv[++i];
        else if (option)
            badOption = true;
        else
            files.push_back(argv[i]);
    }
    if (badOption || files.size() != 3) {
        std::cerr << usage << std::endl;
        return 2;
    }
    for (const char* file : files)
        if (!std::ifstream(file, std::ios::binary)) return failure(std::string("cannot read ") + file);
    for (const std::string& file : {referencePath, partsPath})
        if (!file.empty() && !std::ifstream(file, std::ios::binary)) return failure("cannot read " + file);

    // The loaders and the result reader talk on the console; only the report is printed.
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    const bool referenced = !referencePath.empty();
    std::unique_ptr<Mesh3_real> shapes[3];
    const std::string paths[3] = {files[0], files[1], referencePath};
    for (int i = 0; i < (referenced ? 3 : 2); ++i) {
        shapes[i] = std::make_unique<Mesh3_real>();
        shapes[i]->setFileName(paths[i], "");
        shapes[i]->loadGeometry();
    }
    std::cout.rdbuf(console);
    for (int i = 0; i < (referenced ? 3 : 2); ++i)
        if (shapes[i]->vertexCount() == 0) return failure(paths[i] + " has no vertices");
    if (!referenced && shapes[0]->vertexCount() != shapes[1]->vertexCount())
        return failure("the vertex counts differ (source " + std::to_string(shapes[0]->vertexCount()) +
                       ", target " + std::to_string(shapes[1]->vertexCount()) +
                       "): the shapes are not one mesh in two poses");
    GroundTruth truth;
    if (referenced) truth.reference = &shapes[2]->vertices.points();
    std::vector<int> parts;
    if (!partsPath.empty()) {
        if (!readParts(partsPath, parts)) return failure(partsPath + " is not a list of part numbers");
        truth.parts = &parts;
    }

    MatchCandidates mc(shapes[0].get(), shapes[1].get());
    std::cout.rdbuf(quiet.rdbuf());
    LabelingResult labeling(mc);
    loadGraphCutResult(mc, labeling, files[2]);
    std::cout.rdbuf(console);
    GroundTruthReport report;
    std::string error;
    if (labeling.labelsSource.empty())
        return failure(std::string("no result could be read from ") + files[2]);
    if (!makeGroundTruthReport(labeling, truth, report, error)) return failure(error);
    std::cout << "Result " << files[2] << " of " << files[0] << " onto " << files[1] << "\n";
    if (referenced) std::cout << "True places of the source vertices: " << referencePath << "\n";
    printGroundTruthReport(std::cout, report);
    return 0;
}
