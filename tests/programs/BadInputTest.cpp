// Bad inputs of the headless runner, by kind: each is refused with a message that names it and
// a non-zero exit status, and no half-made output is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <regex>

#include "BatchRun.h"
#include "app/ResultExport.h"

using namespace veltrix;

namespace {

// The parameter file with one element's text replaced.
void setValue(const fs::path& file, const std::string& name, const std::string& value) {
    const std::string text = readFile(file);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("(<" + name + " type=\"\\w+\">)[^<]*(</" + name + ">)")));
    std::ofstream(file, std::ios::binary) << m.prefix().str() << m[1].str() << value << m[2].str() << m.suffix().str();
}

void expectRefused(const RunResult& r, int status, const std::string& message) {
    EXPECT_EQ(r.status, status) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err.substr(0, 2000);
}

// A generated pair in dir read as a two-frame sequence with the demo settings.
ArticulatedPair writeSmallPair(const fs::path& dir, Scene& scene) {
    ArticulatedPair pair = makeArticulatedPair(600);
    writePair(pair, dir);
    loadDemoParameters(scene);
    scene.rootDir = dir.string() + "/";
    scene.defaultFile = (dir / "figure-000.obj").string();
    scene.targetFrame = 1;
    scene.autoSaveCorrespondenceResult = "result.gc";
    scene.alignDistanceFile = "distances.txt";
    scene.memoryLimitMB = 100;  // far above what the pair needs with these settings
    return pair;
}

// The pair registered into result.gc; mode3.xml measures it into distances.txt.
ArticulatedPair registerSmallPair(const fs::path& dir, Scene& scene) {
    ArticulatedPair pair = writeSmallPair(dir, scene);
    scene.autoProcessMode = 1;
    writeParameterFile(scene, dir / "mode1.xml");
    scene.autoProcessMode = 3;
    writeParameterFile(scene, dir / "mode3.xml");
    EXPECT_EQ(runBatch(dir, "--seed 3 mode1.xml").status, 0);
    return pair;
}

}  // namespace

TEST(BadInput, ParametersAreRefusedBeforeAnyWork) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    writeSmallPair(dir, scene);
    const std::string longRoot(10 * 1024 * 1024, 'r');
    const std::vector<std::array<std::string, 3>> cases = {
        {"maxIter_MS", "1e20", "\"1e20\" is out of range [0, 1e+06]"},
        {"maxIter_MS", "nan", "\"nan\" is not a finite number"},
        {"radius_MS", "0.3x", "\"0.3x\" is not a number"},
        {"scaleFactors_PC", "2,,nan,", "\"2,,nan,\" holds \"nan\", which is not a finite number"},
        {"totalScene_boundingBoxDiagonal", "inf", "\"inf\" is not a finite number"},
        {"autoProcessMode", "abc", "\"abc\" is not a 32-bit integer"},
        {"imageWidth_SI", "100000", "\"100000\" is out of range [1, 1000]"},
        {"rootDir", longRoot, "\"" + longRoot.substr(0, 60) + "...\" (10485760 characters) is longer than 4096"},
    };
    for (const auto& [name, value, message] : cases) {
        writeParameterFile(scene, dir / "p.xml");
        setValue(dir / "p.xml", name, value);
        RunResult r = runBatch(dir, "p.xml");
        expectRefused(r, 1, "veltrix-batch: parameter " + name + " in p.xml: " + message);
        EXPECT_EQ(r.out.find("Loading new shape"), std::string::npos) << name;
        EXPECT_LT(r.out.size() + r.err.size(), 100000u) << name;
    }
    std::ofstream(dir / "page.xml") << "<html><head><title>x</title></head><body><p>y</p></body></html>\n";
    expectRefused(runBatch(dir, "page.xml"), 1, "page.xml: not a parameter file (its root element is <html>");
    std::ofstream(dir / "page.xml") << "<!DOCTYPE html><html><body>a<br>b</body></html>\n";
    expectRefused(runBatch(dir, "page.xml"), 1, "page.xml: not a parameter file (no well-formed XML");

    // A run beyond the memory bound, estimated from the files' vertex counts before loading.
    scene.featureType = 5;
    scene.imageWidth_SI = 200;  // 160 kB per vertex
    writeParameterFile(scene, dir / "big.xml");
    RunResult big = runBatch(dir, "big.xml");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(big.err, match,
                                  std::regex("the run needs an estimated ([0-9]+) MB of memory for 6.. source and 6.. "
                                             "target vertices, more than the 100 MB of memoryLimitMB")))
        << big.err;
    EXPECT_GT(std::stoi(match[1].str()), 180);
    EXPECT_EQ(big.out.find("Loading new shape"), std::string::npos);
    fs::remove_all(dir);
}

TEST(BadInput, WritesUnderFaultsLeaveWholeLinesAndSpecialFilesAlone) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    registerSmallPair(dir, scene);
    // A line that does not fit under the file size limit is taken back whole.
    const std::string before(1000, '#');
    std::ofstream(dir / "distances.txt", std::ios::binary) << before;
    expectRefused(runBatch(dir, "mode3.xml", "trap '' XFSZ; ulimit -f 1"), 1,
                  "Error in saving alignment distance: could not write to distances.txt (");
    EXPECT_EQ(readFile(dir / "distances.txt"), before);

    // An export that cannot be written whole (the shapes fit under the limit, the correspondences
    // do not) leaves the previous set and no temporary; with mode 1, no result file either.
    const fs::path out = dir / "out";
    fs::create_directories(out);
    for (const std::string& name : exportFileNames()) std::ofstream(out / name) << "old";
    scene.autoProcessMode = 2;
    writeParameterFile(scene, dir / "mode2.xml");
    expectRefused(runBatch(dir, "--export-dir out --overwrite mode2.xml", "trap '' XFSZ; ulimit -f 32"), 1,
                  "/.correspondences.csv.");
    // The same when the size limit's signal ends the process instead: no temporary stays.
    EXPECT_NE(runBatch(dir, "--export-dir out --overwrite mode2.xml", "ulimit -f 32").status, 0);
    for (const std::string& name : exportFileNames()) EXPECT_EQ(readFile(out / name), "old") << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4);
    scene.autoProcessMode = 1;
    scene.autoSaveCorrespondenceResult = "again.gc";
    writeParameterFile(scene, dir / "again.xml");
    EXPECT_EQ(runBatch(dir, "--seed 3 --export-dir out2 again.xml", "trap '' XFSZ; ulimit -f 32").status, 1);
    EXPECT_FALSE(fs::exists(dir / "again.gc"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out2"), fs::directory_iterator()), 0);

    // A pipe where the distance file or the result belongs is refused, not waited on.
    fs::remove(dir / "distances.txt");
    ASSERT_EQ(::mkfifo((dir / "distances.txt").c_str(), 0600), 0);
    expectRefused(runBatch(dir, "mode3.xml"), 1, "alignment distance file distances.txt (not a regular file)");
    fs::remove(dir / "distances.txt");
    fs::rename(dir / "result.gc", dir / "saved.gc");
    ASSERT_EQ(::mkfifo((dir / "result.gc").c_str(), 0600), 0);
    expectRefused(runBatch(dir, "mode3.xml"), 1, "Error in CacheFile: result.gc is not a regular file!");
    EXPECT_FALSE(fs::exists(dir / "distances.txt"));
    fs::remove_all(dir);
}

TEST(BadInput, ResultsThatMatchNothingOrCannotBeReadAreNamed) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    const ArticulatedPair pair = registerSmallPair(dir, scene);
    // No region: label 0 is the dummy label of every vertex.
    std::vector<int32_t> header = {0, 0, -1, int(pair.source.size()), int(pair.target.size())};
    header.resize(header.size() + pair.source.size() + pair.target.size(), 0);
    std::ofstream(dir / "dummy.gc", std::ios::binary).write(reinterpret_cast<const char*>(header.data()),
                                                            std::streamsize(header.size() * 4));
    scene.autoSaveCorrespondenceResult = "dummy.gc";
    for (int mode : {2, 3}) {
        scene.autoProcessMode = mode;
        writeParameterFile(scene, dir / "dummy.xml");
        expectRefused(runBatch(dir, "dummy.xml"), 3, "veltrix-batch: nothing matched: every vertex of both shapes");
    }
    EXPECT_FALSE(fs::exists(dir / "distances.txt"));
    // A registration whose dummy label costs nothing matches nothing: no result file, no export.
    scene.autoProcessMode = 1;
    scene.useDummyLabel_GC = true;
    scene.dummyLabelDataError_GC = 0;
    scene.autoSaveCorrespondenceResult = "unmatched.gc";
    writeParameterFile(scene, dir / "unmatched.xml");
    expectRefused(runBatch(dir, "--seed 3 --export-dir out unmatched.xml"), 3, "nothing matched");
    EXPECT_FALSE(fs::exists(dir / "unmatched.gc"));
    EXPECT_FALSE(fs::exists(dir / "out" / "summary.json"));

    // A frame that cannot be loaded is named, and not replaced by the next one.
    const std::string first = readFile(dir / "figure-000.obj");
    std::ofstream(dir / "figure-000.obj") << "v nan 0 0\n" << first;
    expectRefused(runBatch(dir, "mode3.xml"), 1, "source frame 0 of the sequence " + (dir / "figure-000.obj").string() +
                                                      " is missing: " + dir.string() + "/figure-000.obj cannot be");
    std::ofstream(dir / "figure-000.obj") << first;
    fs::remove(dir / "figure-001.obj");
    expectRefused(runBatch(dir, "mode3.xml"), 1,
                  "veltrix-batch: target frame 1 of the sequence " + (dir / "figure-000.obj").string() +
                      " is missing: " + dir.string() + "/figure-001.obj cannot be loaded (1 frames loaded)");

    std::ofstream(dir / "cut.json") << "{\"labelsUsed\": 2, \"alignmentError\": ";
    std::ofstream(dir / "other.json") << "{\"labelsUsed\": \"two\"}";
    expectRefused(runBatch(dir, "--summary-row cut.json"), 1, "the run summary cut.json: malformed JSON (");
    expectRefused(runBatch(dir, "--summary-row other.json"), 1, "the run summary other.json: not a run summary");
    fs::remove_all(dir);
}
