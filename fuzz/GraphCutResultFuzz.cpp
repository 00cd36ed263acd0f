// libFuzzer target: any byte string as a graph-cut result file, loaded into a search object over two
// small meshes and then measured. A rejected file must leave the previous result untouched.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "labeling/LabelingResult.h"
#include "matching/MatchCandidates.h"

using namespace veltrix;

namespace {

Mesh3_real* grid(int nx, int ny, float lift) {
    Mesh3_real* m = new Mesh3_real;
    m->baseDir = "/tmp/veltrix_fuzz/";
    m->fileName = "grid.obj";
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) m->vertices.addPoint(Vec3f(float(i), float(j), lift * float(i % 2)));
    for (int j = 0; j + 1 < ny; ++j)
        for (int i = 0; i + 1 < nx; ++i) {
            int a = j * nx + i;
            m->faces.push_back({a, a + 1, a + nx + 1});
            m->faces.push_back({a, a + nx + 1, a + nx});
        }
    m->vertexStatus.assign(m->vertexCount(), STATUS_INTERIOR);
    m->computeNormals(true);
    m->detectBoundary();
    return m;
}

// The result every input starts from: two regions and labels on both shapes.
void presetResult(MatchCandidates& mc, LabelingResult& labeling) {
    mc.regions.resize(2);
    mc.regionTransforms.resize(2);
    mc.regionTransforms[1].t[2] = 0.25f;
    for (int k = 0; k < 5; ++k) mc.regions[1].addCorrespondence(Vec3f(float(k), 0, 0), Vec3f(float(k), 0, 0.25f), k, k);
    mc.sortResult(1, -1);
    labeling.labelsSource.assign(mc.source->vertexCount(), 0);
    labeling.labelsTarget.assign(mc.target->vertexCount(), 1);
}

bool sameResult(const LabelingResult& labelsA, const LabelingResult& labelsB) {
    const MatchCandidates& a = labelsA.search();
    const MatchCandidates& b = labelsB.search();
    if (a.regions.size() != b.regions.size() || labelsA.labelsSource != labelsB.labelsSource ||
        labelsA.labelsTarget != labelsB.labelsTarget || a.sortedTransforms.size() != b.sortedTransforms.size() ||
        a.resultMinRegionSize != b.resultMinRegionSize || a.resultMaxRegions != b.resultMaxRegions)
        return false;
    for (size_t r = 0; r < a.regions.size(); ++r)
        if (a.regions[r].size() != b.regions[r].size() || a.regions[r].sourceIndices != b.regions[r].sourceIndices)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<Mesh3_real> source, target;
    static std::string path;
    static std::ostringstream sink;
    if (!source) {
        std::cout.rdbuf(sink.rdbuf());
        std::cerr.rdbuf(sink.rdbuf());
        source.reset(grid(5, 4, 0.0f));
        target.reset(grid(4, 4, 0.1f));
        path = "/tmp/veltrix_fuzz_result_" + std::to_string(getpid()) + ".gc";
    }
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    MatchCandidates mc(source.get(), target.get());
    MatchCandidates reference(source.get(), target.get());
    LabelingResult labeling(mc), referenceLabeling(reference);
    presetResult(mc, labeling);
    presetResult(reference, referenceLabeling);
    sink.str("");
    loadGraphCutResult(mc, labeling, path);
    const bool rejected = sink.str().find("Error in loadGraphCutResult()") != std::string::npos;
    if (rejected && !sameResult(labeling, referenceLabeling)) std::abort();
    labeling.maxSymmetricHausdorff();
    sink.str("");
    return 0;
}
