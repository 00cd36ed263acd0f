// libFuzzer target: any byte string as the result file of a fixed pair of small meshes; a file
// that loads is exported. The export of a loaded result must succeed whenever it holds source
// labels and leave exactly its four files, complete and readable, in the directory.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzShape.h"
#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"
#include "app/ResultExport.h"
#include "app/Scene.h"
#include "app/ShapeAnimation.h"

using namespace veltrix;

namespace {

// An nx by ny grid of unit squares, every second column lifted, as OBJ text.
std::string gridObj(int nx, int ny, float lift) {
    std::ostringstream obj;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) obj << "v " << i << ' ' << j << ' ' << lift * float(i % 2) << '\n';
    for (int j = 0; j + 1 < ny; ++j)
        for (int i = 0; i + 1 < nx; ++i) {
            const int a = j * nx + i + 1;
            obj << "f " << a << ' ' << a + 1 << ' ' << a + nx + 1 << "\nf " << a << ' ' << a + nx + 1 << ' '
                << a + nx << '\n';
        }
    return obj.str();
}

// The scene with its two shapes, loaded once; source and target differ in vertex count so that a
// mix-up of the two shapes' labels shows.
Scene& fuzzScene() {
    static Scene scene;
    static bool loaded = false;
    if (!loaded) {
        std::ofstream(fuzzRoot() + "source.obj") << gridObj(5, 4, 0.0f);
        std::ofstream(fuzzRoot() + "target.obj") << gridObj(4, 4, 0.1f);
        scene.rootDir = fuzzRoot();
        scene.newAnimation();
        require(scene.addShape(fuzzRoot() + "source.obj", false) && scene.addShape(fuzzRoot() + "target.obj", false));
        scene.source = scene.getAnimation()->frame(0);
        scene.target = scene.getAnimation()->frame(1);
        scene.autoSaveCorrespondenceResult = fuzzRoot() + "result.gc";
        loaded = true;
    }
    return scene;
}

size_t lineCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QuietConsole quiet;
    Scene& scene = fuzzScene();
    writeFile(scene.autoSaveCorrespondenceResult, data, size);
    scene.createMatchCandidates(scene.source, scene.target, true);
    if (!loadGraphCutResult(*scene.matchCandidates, *scene.labeling, scene.autoSaveCorrespondenceResult)) return 0;

    const std::string dir = fuzzRoot() + "export";
    const std::string why = exportResult(scene, dir, {true, true, "p.xml"});
    if (scene.labeling->labelsSource.empty()) {
        require(!why.empty());
        return 0;
    }
    require(why.empty());
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++entries;
    }
    require(entries == exportFileNames().size());  // no temporary left
    require(lineCount(dir + "/correspondences.csv") == size_t(scene.source->vertexCount()) + 1);
    require(!summaryRow(dir + "/summary.json").empty());
    return 0;
}
