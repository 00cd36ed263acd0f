// veltrix-gtreport: accuracy of a registration result on a pair with known correspondence.
//
//   veltrix-gtreport <source.obj> <target.obj> <result.gc>
//
// Vertex i of the source corresponds to vertex i of the target. Prints the fractions of source
// vertices within 1, 2 and 5 % of the source's bounding-box diagonal of their partner, the median
// error, the dummy count, the Hausdorff error and per label the vertex count and error. Exit
// status 0 on success, 1 when the shapes differ in vertex count or a file cannot be used, 2 for
// a bad command line.
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "GroundTruthReport.h"
#include "LabelingResult.h"
#include "MatchCandidates.h"
#include "ShapeModel.h"
#include "Version.h"

namespace {

int failure(const std::string& why) {
    std::cerr << "veltrix-gtreport: " << why << std::endl;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string usage = std::string("Usage: ") + argv[0] + " <source.obj> <target.obj> <result.gc>\n" +
                              "Vertex i of the source corresponds to vertex i of the target; prints how\n" +
                              "close the result brings each source vertex to its partner.";
    if (answeredHelpOrVersion(argc, argv, "veltrix-gtreport", usage + "\n")) return 0;
    if (argc != 4) {
        std::cerr << usage << std::endl;
        return 2;
    }
    for (int i = 1; i < 4; ++i)
        if (!std::ifstream(argv[i], std::ios::binary)) return failure(std::string("cannot read ") + argv[i]);

    // The loaders and the result reader talk on the console; only the report is printed.
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    std::unique_ptr<Mesh3_real> shapes[2];
    for (int i = 0; i < 2; ++i) {
        shapes[i] = std::make_unique<Mesh3_real>();
        shapes[i]->setFileName(argv[1 + i], "");
        shapes[i]->loadGeometry();
    }
    std::cout.rdbuf(console);
    for (int i = 0; i < 2; ++i)
        if (shapes[i]->vertexCount() == 0) return failure(std::string(argv[1 + i]) + " has no vertices");
    if (shapes[0]->vertexCount() != shapes[1]->vertexCount())
        return failure("the vertex counts differ (source " + std::to_string(shapes[0]->vertexCount()) +
                       ", target " + std::to_string(shapes[1]->vertexCount()) +
                       "): the shapes are not one mesh in two poses");

    MatchCandidates mc(shapes[0].get(), shapes[1].get());
    std::cout.rdbuf(quiet.rdbuf());
    LabelingResult labeling(mc);
    loadGraphCutResult(mc, labeling, argv[3]);
    std::cout.rdbuf(console);
    GroundTruthReport report;
    std::string error;
    if (labeling.labelsSource.empty()) return failure(std::string("no result could be read from ") + argv[3]);
    if (!makeGroundTruthReport(labeling, report, error)) return failure(error);
    std::cout << "Result " << argv[3] << " of " << argv[1] << " onto " << argv[2] << "\n";
    printGroundTruthReport(std::cout, report);
    return 0;
}
