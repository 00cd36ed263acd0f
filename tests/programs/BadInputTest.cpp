// Bad inputs of the headless runner, by kind: each is refused with a message that names it and
// a non-zero exit status, and no half-made output is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "BatchRun.h"
#include "ResultExport.h"

namespace {

// The parameter file with one element's text replaced.
void setValue(const fs::path& file, const std::string& name, const std::string& value) {
    const std::string text = readFile(file);
    const std::regex element("(<" + name + " type=\"[a-zA-Z]+\">)[^<]*(</" + name + ">)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, element)) << name;
    std::ofstream(file, std::ios::binary) << match.prefix().str() << match[1].str() << value << match[2].str()
                                          << match.suffix().str();
}

}  // namespace

TEST(BadInput, ParameterValuesAreRefusedBeforeAnyWork) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    loadDemoParameters(scene);
    const std::string longRoot(10 * 1024 * 1024, 'r');
    const struct {
        const char* name;
        std::string value, message;
    } cases[] = {
        {"maxIter_MS", "1e20", "\"1e20\" is out of range [0, 1e+06]"},
        {"maxIter_MS", "nan", "\"nan\" is not a finite number"},
        {"radius_MS", "0.3x", "\"0.3x\" is not a number"},
        {"scaleFactors_PC", "2,,nan,", "\"2,,nan,\" holds \"nan\", which is not a finite number"},
        {"totalScene_boundingBoxDiagonal", "inf", "\"inf\" is not a finite number"},
        {"autoProcessMode", "abc", "\"abc\" is not a 32-bit integer"},
        {"autoProcessMode", "7", "\"7\" is out of range [0, 3]"},
        {"imageWidth_SI", "100000", "\"100000\" is out of range [1, 1000]"},
        {"rootDir", longRoot, "\"" + longRoot.substr(0, 60) + "...\" (10485760 characters) is longer than 4096 characters"},
    };
    for (const auto& c : cases) {
        writeParameterFile(scene, dir / "p.xml");
        setValue(dir / "p.xml", c.name, c.value);
        RunResult r = runBatch(dir, "p.xml");
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find("veltrix-batch: parameter " + std::string(c.name) + " in p.xml: " + c.message + "\n"),
                  std::string::npos)
            << r.err.substr(0, 1000);
        EXPECT_EQ(r.out.find("Loading new shape"), std::string::npos) << c.name;
        EXPECT_LT(r.out.size() + r.err.size(), 100000u) << c.name;
    }

    std::ofstream(dir / "page.xml") << "<html><head><title>x</title></head><body><p>y</p></body></html>\n";
    RunResult html = runBatch(dir, "page.xml");
    EXPECT_EQ(html.status, 1);
    EXPECT_NE(html.err.find("cannot read the parameter file page.xml: not a parameter file (its root element is <html>"),
              std::string::npos)
        << html.err;
    std::ofstream(dir / "page.xml") << "<!DOCTYPE html><html><body>a<br>b</body></html>\n";
    html = runBatch(dir, "page.xml");
    EXPECT_EQ(html.status, 1);
    EXPECT_NE(html.err.find("cannot read the parameter file page.xml: not a parameter file (no well-formed XML"),
              std::string::npos)
        << html.err;
    fs::remove_all(dir);
}

// The estimate is made from the files' vertex counts before anything is loaded.
TEST(BadInput, RunsBeyondTheMemoryBoundAreRefusedWithTheEstimate) {
    fs::path dir = scratchDirectory("badinput");
    writePair(makeArticulatedPair(600), dir);
    Scene scene;
    loadDemoParameters(scene);
    scene.rootDir = dir.string() + "/";
    scene.defaultFile = (dir / "figure-000.obj").string();
    scene.targetFrame = 1;
    scene.featureType = 5;
    scene.imageWidth_SI = 200;  // 160 kB per vertex
    scene.memoryLimitMB = 100;
    writeParameterFile(scene, dir / "big.xml");
    RunResult big = runBatch(dir, "big.xml");
    EXPECT_EQ(big.status, 1);
    static const std::regex message("veltrix-batch: the run needs an estimated ([0-9]+) MB of memory for ([0-9]+) "
                                    "source and ([0-9]+) target vertices, more than the 100 MB of memoryLimitMB; it "
                                    "is not started\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(big.err, match, message)) << big.err;
    EXPECT_GT(std::stoi(match[1].str()), 180);
    EXPECT_EQ(match[2].str(), match[3].str());
    EXPECT_EQ(big.out.find("Loading new shape"), std::string::npos);
    fs::remove_all(dir);
}

namespace {

// A registered generated pair in dir: mode 1 has written result.gc; mode3.xml measures it into
// distances.txt.
ArticulatedPair registerSmallPair(const fs::path& dir, Scene& scene) {
    ArticulatedPair pair = makeArticulatedPair(600);
    writePair(pair, dir);
    loadDemoParameters(scene);
    scene.rootDir = dir.string() + "/";
    scene.defaultFile = (dir / "figure-000.obj").string();
    scene.sourceFrame = 0;
    scene.targetFrame = 1;
    scene.autoSaveCorrespondenceResult = "result.gc";
    scene.alignDistanceFile = "distances.txt";
    scene.memoryLimitMB = 100;  // far above what this pair needs
    scene.autoProcessMode = 1;
    writeParameterFile(scene, dir / "mode1.xml");
    scene.autoProcessMode = 3;
    writeParameterFile(scene, dir / "mode3.xml");
    RunResult first = runBatch(dir, "--seed 3 mode1.xml");
    EXPECT_EQ(first.status, 0) << first.err;
    return pair;
}

void writeInts(std::ofstream& out, const std::vector<int32_t>& values) {
    out.write(reinterpret_cast<const char*>(values.data()), std::streamsize(values.size() * 4));
}

}  // namespace

TEST(BadInput, WritesUnderFaultsLeaveWholeLinesAndSpecialFilesAlone) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    registerSmallPair(dir, scene);

    // A line that does not fit under the file size limit is taken back whole.
    const std::string before(1000, '#');
    std::ofstream(dir / "distances.txt", std::ios::binary) << before;
    RunResult limited = runBatch(dir, "mode3.xml", "trap '' XFSZ; ulimit -f 1");
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.err.find("Error in saving alignment distance: could not write to distances.txt ("),
              std::string::npos)
        << limited.err;
    EXPECT_EQ(readFile(dir / "distances.txt"), before);

    // An export that cannot be written whole leaves the previous set and no temporary; with mode 1,
    // no result file either.
    const fs::path out = dir / "out";
    fs::create_directories(out);
    for (const std::string& name : exportFileNames()) std::ofstream(out / name) << "old";
    scene.autoProcessMode = 2;
    writeParameterFile(scene, dir / "mode2.xml");
    RunResult cut = runBatch(dir, "--export-dir out --overwrite mode2.xml", "trap '' XFSZ; ulimit -f 32");
    EXPECT_EQ(cut.status, 1) << cut.err;
    // The shapes fit under the limit, the correspondences do not.
    EXPECT_NE(cut.err.find("/.correspondences.csv."), std::string::npos) << cut.err;
    for (const std::string& name : exportFileNames()) EXPECT_EQ(readFile(out / name), "old") << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4);
    scene.autoProcessMode = 1;
    scene.autoSaveCorrespondenceResult = "again.gc";
    writeParameterFile(scene, dir / "again.xml");
    cut = runBatch(dir, "--seed 3 --export-dir out2 again.xml", "trap '' XFSZ; ulimit -f 32");
    EXPECT_EQ(cut.status, 1) << cut.err;
    EXPECT_FALSE(fs::exists(dir / "again.gc"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out2"), fs::directory_iterator()), 0);

    // A pipe where the distance file or the result belongs is refused, not waited on.
    fs::remove(dir / "distances.txt");
    ASSERT_EQ(::mkfifo((dir / "distances.txt").c_str(), 0600), 0);
    RunResult pipe = runBatch(dir, "mode3.xml");
    EXPECT_EQ(pipe.status, 1);
    EXPECT_NE(pipe.err.find("could not open the alignment distance file distances.txt (not a regular file)"),
              std::string::npos)
        << pipe.err;
    fs::remove(dir / "distances.txt");
    fs::rename(dir / "result.gc", dir / "saved.gc");
    ASSERT_EQ(::mkfifo((dir / "result.gc").c_str(), 0600), 0);
    pipe = runBatch(dir, "mode3.xml");
    EXPECT_EQ(pipe.status, 1);
    EXPECT_NE(pipe.err.find("Error in CacheFile: result.gc is not a regular file!"), std::string::npos) << pipe.err;
    EXPECT_FALSE(fs::exists(dir / "distances.txt"));
    fs::remove_all(dir);
}

TEST(BadInput, ResultsThatMatchNothingOrCannotBeReadAreNamed) {
    fs::path dir = scratchDirectory("badinput");
    Scene scene;
    const ArticulatedPair pair = registerSmallPair(dir, scene);
    const int nS = int(pair.source.size()), nT = int(pair.target.size());

    // No region: label 0 is the dummy label of every vertex.
    {
        std::ofstream out(dir / "dummy.gc", std::ios::binary);
        writeInts(out, {0, 0, -1, nS, nT});
        writeInts(out, std::vector<int32_t>(size_t(nS + nT), 0));
    }
    scene.autoSaveCorrespondenceResult = "dummy.gc";
    for (int mode : {2, 3}) {
        scene.autoProcessMode = mode;
        writeParameterFile(scene, dir / "dummy.xml");
        RunResult r = runBatch(dir, "dummy.xml");
        EXPECT_EQ(r.status, 3) << mode;
        EXPECT_NE(r.err.find("veltrix-batch: nothing matched: every vertex of both shapes carries the dummy label"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "distances.txt"));
    // A registration whose dummy label costs nothing matches nothing: no result file, no export.
    scene.autoProcessMode = 1;
    scene.useDummyLabel_GC = true;
    scene.dummyLabelDataError_GC = 0;
    scene.autoSaveCorrespondenceResult = "unmatched.gc";
    writeParameterFile(scene, dir / "unmatched.xml");
    RunResult unmatched = runBatch(dir, "--seed 3 --export-dir out unmatched.xml");
    EXPECT_EQ(unmatched.status, 3) << unmatched.err;
    EXPECT_FALSE(fs::exists(dir / "unmatched.gc"));
    EXPECT_FALSE(fs::exists(dir / "out" / "summary.json"));

    // A target frame past the end of the sequence names the frame file that is missing.
    fs::remove(dir / "figure-001.obj");
    RunResult missing = runBatch(dir, "mode3.xml");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("veltrix-batch: target frame 1 of the sequence " + (dir / "figure-000.obj").string() +
                               " is missing: " + dir.string() + "/figure-001.obj cannot be loaded (1 frames loaded)"),
              std::string::npos)
        << missing.err;

    // Summaries that are no JSON or no run summary.
    std::ofstream(dir / "cut.json") << "{\"labelsUsed\": 2, \"alignmentError\": ";
    std::ofstream(dir / "other.json") << "{\"labelsUsed\": \"two\"}";
    RunResult cut = runBatch(dir, "--summary-row cut.json");
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cannot read the run summary cut.json: malformed JSON ("), std::string::npos) << cut.err;
    RunResult other = runBatch(dir, "--summary-row other.json");
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("cannot read the run summary other.json: not a run summary"), std::string::npos);
    fs::remove_all(dir);
}
