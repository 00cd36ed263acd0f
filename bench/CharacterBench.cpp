// Accuracy on generated characters: every character of the corpus (16 parts, skinned joints,
// interpenetrating open components, noise) is registered from its rest pose to each of its other
// poses, once with the demo parameters (with the unit set to the pair's diagonal) and once with
// the character preset, unedited. Each pair is scaled to a bounding-box diagonal of 100 first.
// Prints, per pair, the fraction of source vertices within 2 % of the diagonal of their true
// partner and the maximum symmetric Hausdorff error, then the mean, the worst pair and the
// median Hausdorff error.
//
//   bench_characters [vertices per character, default 4000] [characters, default 3]
#include <QDomDocument>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "AutoProcess.h"
#include "GroundTruthReport.h"
#include "MatchCandidates.h"
#include "Random.h"
#include "Scene.h"
#include "ShapeGenerator.h"
#include "XmlParam.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    float within2 = 0, hausdorff = 0;  // Hausdorff in percent of the diagonal
    float offButFitting = 0;           // wrong vertices that closest points cannot see
    int labels = 0;
    double seconds = 0;
};

// One registration of source.obj onto target.obj in `dir` with the parameter file; the run's
// console output is swallowed.
Outcome registerPair(const fs::path& dir, const char* parameters, bool unitIsDiagonal) {
    Outcome outcome;
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    std::streambuf* errors = std::cerr.rdbuf(quiet.rdbuf());
    // The optimiser prints through C stdio: standard output goes to /dev/null meanwhile.
    std::fflush(stdout);
    const int savedOut = dup(1), null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    auto start = std::chrono::steady_clock::now();
    {
        Scene scene;
        xmlParam store;
        scene.registerParams(store);
        QDomDocument doc;
        if (store.readParamXML(parameters, doc)) store.loadParamXML(doc);
        randomSeed(1);
        scene.rootDir = dir.string() + "/";
        scene.defaultFile.clear();
        scene.defaultSourceFile = (dir / "source.obj").string();
        scene.defaultTargetFile = (dir / "target.obj").string();
        scene.autoSaveCorrespondenceResult = (dir / "result.gc").string();
        scene.autoProcessMode = 1;
        if (unitIsDiagonal) scene.totalScene_boundingBoxDiagonal = 100;
        fs::remove_all(dir / "preprocessing");
        GroundTruthReport report;
        std::string error;
        if (scene.loadStartupShapes() && runAutoModeSteps(scene, true).succeeded &&
            makeGroundTruthReport(*scene.labeling, report, error)) {
            outcome.within2 = report.within2;
            outcome.hausdorff = 100 * report.hausdorff / report.diagonal;
            outcome.labels = int(report.labels.size());
            outcome.offButFitting = report.offButFitting;
        }
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fflush(stdout);
    if (savedOut >= 0) dup2(savedOut, 1);
    if (savedOut >= 0) close(savedOut);
    if (null >= 0) close(null);
    std::cout.rdbuf(console);
    std::cerr.rdbuf(errors);
    return outcome;
}

void writeScaled(const fs::path& file, const std::vector<std::array<float, 3>>& pose,
                 const std::vector<std::array<int, 3>>& faces, float scale) {
    std::vector<std::array<float, 3>> scaled = pose;
    for (auto& p : scaled)
        for (float& c : p) c *= scale;
    writeObjFile(file.string(), scaled, faces);
}

float median(std::vector<float> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int vertices = argc > 1 ? std::atoi(argv[1]) : 4000;
    const int characters = argc > 2 ? std::atoi(argv[2]) : 3;
    if (vertices < 500 || characters < 1) {
        std::cerr << "Usage: " << argv[0] << " [vertices >= 500] [characters >= 1]" << std::endl;
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / "veltrix_characters";
    const char* configs[2] = {VELTRIX_DEMO_PARAMS, VELTRIX_CHARACTER_PARAMS};
    std::vector<float> within[2], hausdorff[2];
    std::printf("%-9s %8s | %-24s | %-24s\n", "pair", "vertices", "demo parameters", "character preset");
    std::printf("%-9s %8s | %8s %9s %5s | %8s %9s %5s %6s %7s\n", "", "", "within 2%", "Hausdorff", "labels",
                "within 2%", "Hausdorff", "labels", "hidden", "time");
    for (int c = 1; c <= characters; ++c) {
        CharacterPoses character = makeCharacter(vertices, unsigned(c));
        const auto& rest = character.poses[0];
        std::array<float, 3> lo = rest[0], hi = rest[0];
        for (const auto& p : rest)
            for (int d = 0; d < 3; ++d) {
                lo[d] = std::min(lo[d], p[d]);
                hi[d] = std::max(hi[d], p[d]);
            }
        const float diagonal = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                         (hi[2] - lo[2]) * (hi[2] - lo[2]));
        for (std::size_t k = 1; k < character.poses.size(); ++k) {
            Outcome result[2];
            for (int config = 0; config < 2; ++config) {
                fs::path dir = root / ("c" + std::to_string(c) + "-" + std::to_string(k) + "-" + std::to_string(config));
                fs::remove_all(dir);
                fs::create_directories(dir);
                writeScaled(dir / "source.obj", rest, character.faces, 100 / diagonal);
                writeScaled(dir / "target.obj", character.poses[k], character.faces, 100 / diagonal);
                result[config] = registerPair(dir, configs[config], config == 0);
                within[config].push_back(result[config].within2);
                hausdorff[config].push_back(result[config].hausdorff);
                fs::remove_all(dir);
            }
            std::printf("%d: 0->%zu %9zu | %8.3f %8.1f%% %6d | %8.3f %8.1f%% %6d %6.3f %5.1fs\n", c, k,
                        rest.size(), result[0].within2, result[0].hausdorff, result[0].labels, result[1].within2,
                        result[1].hausdorff, result[1].labels, result[1].offButFitting, result[1].seconds);
            std::fflush(stdout);
        }
    }
    for (int config = 0; config < 2; ++config) {
        float mean = 0;
        for (float w : within[config]) mean += w / float(within[config].size());
        std::printf("%-18s mean within 2%%: %.3f  worst pair: %.3f  median Hausdorff: %.1f%% of the diagonal\n",
                    config == 0 ? "demo parameters:" : "character preset:", mean,
                    *std::min_element(within[config].begin(), within[config].end()), median(hausdorff[config]));
    }
    return 0;
}
