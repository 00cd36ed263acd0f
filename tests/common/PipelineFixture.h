#pragma once
// A generated articulated pair on disk and a scene set up with the demo parameters.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/Log.h"
#include "app/Scene.h"
#include "geometry/ShapeGenerator.h"
#include "app/XmlParam.h"

namespace fs = std::filesystem;

namespace veltrix {

// Per-test, per-process scratch directory under the system's temporary directory, so that two
// checkouts testing on one machine at once do not share it.
inline fs::path scratchDirectory(const std::string& tag) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = fs::temp_directory_path() /
                   ("veltrix_" + tag + "_" + std::string(info ? info->test_suite_name() : "suite") + "_" +
                    std::string(info ? info->name() : "all") + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Reads the bundled demo settings into the scene (paths are set by the caller).
inline void loadDemoParameters(Scene& scene) {
    xmlParam store;
    scene.registerParams(store);
    XmlDocument doc;
    LogCapture quiet;
    bool read = store.readParamXML(VELTRIX_TEST_DATA_DIR "/params/demo.xml", doc);
    store.loadParamXML(doc);
    ASSERT_TRUE(read);
}

// The demo settings on the generated pair written to dir as frames 0 and 1 of figure-*.obj, with
// the result file result.gc.
inline void useDemoPair(Scene& scene, const fs::path& dir) {
    loadDemoParameters(scene);
    scene.rootDir = dir.string() + "/";
    scene.defaultSourceFile.clear();
    scene.defaultTargetFile.clear();
    scene.defaultFile = (dir / "figure-000.obj").string();
    scene.sourceFrame = 0;
    scene.targetFrame = 1;
    scene.autoSaveCorrespondenceResult = "result.gc";
}

// Writes the parameters of the scene as a parameter file.
inline void writeParameterFile(Scene& scene, const fs::path& file) {
    xmlParam store;
    scene.registerParams(store);
    XmlDocument doc = store.makeParamXML();
    ASSERT_TRUE(store.writeParamXML(file.string().c_str(), doc));
}

inline void writePair(const ArticulatedPair& pair, const fs::path& dir) {
    ASSERT_TRUE(writeObjFile((dir / "figure-000.obj").string(), pair.source, pair.faces));
    ASSERT_TRUE(writeObjFile((dir / "figure-001.obj").string(), pair.target, pair.faces));
}

inline int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

}  // namespace veltrix
